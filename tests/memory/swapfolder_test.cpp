// Where the swap file goes and that it never has a name: the folder rule over
// described folders, the real folders and variables behind it, the unnamed
// file and its fallback, and processes killed while making swap files.
#include "memory/SwapFolder.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "VQDataMatrixLib.h"
#include "memory/FileCache.h"
#include "platform/testlib/ScopedEnv.h"
#include "support/TraceCapture.h"

namespace vq {
namespace {

using Note = SwapFolderChoice::Note;

// A private folder below `base`, removed with its contents. path ends in '/'
// (empty when the folder could not be made).
struct ScratchFolder {
  explicit ScratchFolder(std::string base = "/tmp") {
    base += "/vqswapXXXXXX";
    if (mkdtemp(base.data()) != nullptr) path = base + "/";
  }
  ~ScratchFolder() {
    std::error_code ec;
    if (!path.empty()) std::filesystem::remove_all(path, ec);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  std::string path;
};

// The entries of `folder` whose names start with "CFileCache".
std::vector<std::string> NamedSwapFiles(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec))
    if (entry.path().filename().string().starts_with("CFileCache")) names.push_back(entry.path().filename().string());
  return names;
}

// Where the process's descriptors that lie in `folder` point, as /proc shows
// it: "<folder>#<inode> (deleted)" for a file that never had a name.
std::vector<std::string> OpenFilesIn(const std::string& folder) {
  std::vector<std::string> targets;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
    const std::string target = std::filesystem::read_symlink(entry.path(), ec).string();
    if (!ec && target.starts_with(folder)) targets.push_back(target);
  }
  return targets;
}

TEST(SwapFolder, ChoiceFollowsWhatBacksEachCandidate) {
  // What backs $VQ_SWAP_DIR, $TMPDIR, /var/tmp and /tmp: 'd' disk, 'm' memory,
  // 'x' unusable, '-' variable unset; the one chosen (-1: none).
  struct Case {
    const char* media;
    int chosen;
    Note note;
    bool userSkipped;
  };
  const Case cases[] = {
      {"dddd", 0, Note::kNone, false},         {"mddd", 0, Note::kUserFolderInMemory, false},
      {"xddd", 1, Note::kNone, true},          {"-ddm", 1, Note::kNone, false},
      {"-mdd", 2, Note::kNone, false},         {"--dm", 2, Note::kNone, false},
      {"-mxd", 3, Note::kNone, false},         {"-mmm", 1, Note::kNoDiskFolder, false},
      {"-xmm", 2, Note::kNoDiskFolder, false}, {"x-xm", 3, Note::kNoDiskFolder, true},
      {"-xxx", -1, Note::kNone, false},        {"x-xx", -1, Note::kNone, true},
  };
  const char* const paths[] = {"/swap/", "/scratch/", "/var/tmp/", "/tmp/"};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.media);
    std::vector<SwapFolderCandidate> all;
    for (int i = 0; i < 4; ++i) {
      const char m = c.media[i];
      all.push_back({paths[i], m == 'd'   ? FolderMedium::kDisk
                               : m == 'm' ? FolderMedium::kMemory
                                          : FolderMedium::kUnusable});
    }
    std::vector<SwapFolderCandidate> defaults;
    for (int i = 1; i < 4; ++i)
      if (c.media[i] != '-') defaults.push_back(all[i]);
    const SwapFolderChoice choice = ChooseSwapFolder(c.media[0] == '-' ? nullptr : &all[0], defaults);
    EXPECT_EQ(choice.folder != nullptr ? choice.folder->path : "none", c.chosen < 0 ? "none" : paths[c.chosen]);
    EXPECT_EQ(choice.note, c.note);
    EXPECT_EQ(choice.userFolderSkipped, c.userSkipped);
  }
}

TEST(SwapFolder, MemoryBackedFileSystemsAndRamDisks) {
  struct Case {
    uint32_t fsType;
    const char* device;
    FolderMedium medium;
  };
  const Case cases[] = {
      {0x01021994, "", FolderMedium::kMemory},          // tmpfs
      {0x858458f6, "", FolderMedium::kMemory},          // ramfs
      {0x958458f6, "", FolderMedium::kMemory},          // hugetlbfs
      {0xEF53, "zram0", FolderMedium::kMemory},         // ext4 on a compressed RAM disk
      {0x58465342, "ram12", FolderMedium::kMemory},     // xfs on a RAM disk
      {0xEF53, "sda1", FolderMedium::kDisk},            // ext4 on a disk partition
      {0x9123683E, "nvme0n1p2", FolderMedium::kDisk},   // btrfs on a disk partition
      {0xEF53, "ramdisk-backup", FolderMedium::kDisk},  // a device named so, not a RAM disk
      {0x794C7630, "", FolderMedium::kDisk},            // overlay: its upper layer cannot be told
  };
  for (const Case& c : cases)
    EXPECT_EQ(MediumOfFileSystem(c.fsType, c.device), c.medium) << std::hex << c.fsType << " on " << c.device;
}

TEST(SwapFolder, ProbeTellsUsableFoldersFromOthers) {
  ScratchFolder scratch;
  ASSERT_FALSE(scratch.path.empty());
  close(open((scratch.path + "plain").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600));
  const SwapFolderCandidate here = ProbeSwapFolder(scratch.path.substr(0, scratch.path.size() - 1));
  EXPECT_EQ(here.path, scratch.path) << "a trailing '/' is added";
  EXPECT_NE(here.medium, FolderMedium::kUnusable);
  for (auto [name, error] : {std::pair{"missing", ENOENT}, std::pair{"plain", ENOTDIR}}) {
    const SwapFolderCandidate other = ProbeSwapFolder(scratch.path + name);
    EXPECT_EQ(other.medium, FolderMedium::kUnusable) << name;
    EXPECT_EQ(other.error, error) << name;
  }
}

// The real folders through the variables; the memory-backed cases run where
// /dev/shm is a tmpfs.
TEST(SwapFolder, TempFolderFollowsTheVariablesAndTheRealFolders) {
  ScratchFolder disk;
  ASSERT_FALSE(disk.path.empty());
  std::optional<ScratchFolder> shm;
  if (ProbeSwapFolder("/dev/shm").medium == FolderMedium::kMemory) shm.emplace("/dev/shm");
  const std::string memory = shm ? shm->path : "", missing = disk.path + "missing";
  const bool diskDefault = ProbeSwapFolder("/var/tmp").medium == FolderMedium::kDisk ||
                           ProbeSwapFolder("/tmp").medium == FolderMedium::kDisk;
  struct Case {
    bool runs;
    std::string swapDir, tmpDir, expected;  // unset when empty; expected empty: anything but tmpDir
    const char* traceLine;
  };
  const Case cases[] = {
      {ProbeSwapFolder(disk.path).medium == FolderMedium::kDisk, missing, disk.path, disk.path,
       "is not a writable folder"},
      {true, disk.path, missing, disk.path, nullptr},
      {!memory.empty() && diskDefault, "", memory, "", nullptr},
      {!memory.empty(), memory, disk.path, memory, "swapping to it frees no memory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.swapDir + " / " + c.tmpDir);
    if (!c.runs) continue;
    ScopedEnv swapDir("VQ_SWAP_DIR", c.swapDir.empty() ? nullptr : c.swapDir.c_str());
    ScopedEnv tmpDir("TMPDIR", c.tmpDir.c_str());
    test::TraceCapture trace;
    std::string folder;
    int error = 0;
    ASSERT_TRUE(SwapFileOps().TempFolder(&folder, &error));
    EXPECT_TRUE(c.expected.empty() ? folder != c.tmpDir : folder == c.expected) << folder;
    EXPECT_EQ(trace.Count("VQ_SWAP_DIR=") + trace.Count("No disk-backed folder"), c.traceLine ? 1u : 0u);
    if (c.traceLine != nullptr) {
      EXPECT_TRUE(trace.Contains(c.traceLine));
    }
  }
}

// While a matrix with a swap file lives, its folder holds no swap file name,
// and where the file system offers unnamed files the file never had one.
TEST(SwapFile, HasNoNameWhileTheMatrixLives) {
  ScratchFolder scratch;
  ASSERT_FALSE(scratch.path.empty());
  ScopedEnv swapDir("VQ_SWAP_DIR", scratch.path.c_str());
  const int probe = open(scratch.path.c_str(), O_TMPFILE | O_RDWR | O_EXCL | O_CLOEXEC, 0600);
  if (probe >= 0) close(probe);
  ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
  {
    vq::ComPtr<IVQDataMatrix> m;
    ASSERT_EQ(CoCreateInstance(CLSID_VQDataMatrix, nullptr, CLSCTX_INPROC_SERVER, IID_IVQDataMatrix, m.put_void()),
              S_OK);
    ASSERT_EQ(m->Initialize2(4, 1, 1, 1, 1024, 1, dataFormatFloat64, matrixSingleObject), S_OK);
    ASSERT_EQ(m->AllSaveToDisk(), S_OK);
    EXPECT_EQ(NamedSwapFiles(scratch.path), std::vector<std::string>{});
    const std::vector<std::string> open = OpenFilesIn(scratch.path);
    ASSERT_EQ(open.size(), 1u) << "the matrix's swap file is open in VQ_SWAP_DIR";
    EXPECT_TRUE(open[0].ends_with(" (deleted)")) << open[0];
    EXPECT_TRUE(probe < 0 || open[0].find("CFileCache") == std::string::npos) << open[0] << ": it had a name";
  }
  CoUninitialize();
}

// Where the file system refuses unnamed files, a named one is made and
// unlinked at once; any other refusal is the caller's failure.
TEST(SwapFile, FallsBackToANamedFileOnlyWhereUnnamedOnesAreRefused) {
  struct RefusingOps : SwapFileOps {
    int refusal = 0;
    int OpenUnnamed(const std::string&, int* error) override { return *error = refusal, -1; }
  };
  ScratchFolder scratch;
  ASSERT_FALSE(scratch.path.empty());
  for (int refusal : {EOPNOTSUPP, EISDIR, EINVAL, EACCES, ENOSPC}) {
    SCOPED_TRACE(refusal);
    RefusingOps ops;
    ops.refusal = refusal;
    bool direct = false;
    std::string name;
    int error = 0;
    const int fd = ops.CreateUnlinked(scratch.path, "CFileCache", false, &direct, &name, &error);
    if (refusal == EACCES || refusal == ENOSPC) {
      EXPECT_EQ(fd, -1);
      EXPECT_EQ(error, refusal);
      continue;
    }
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(name.starts_with(scratch.path + "CFileCache")) << name;
    EXPECT_EQ(NamedSwapFiles(scratch.path), std::vector<std::string>{});
    EXPECT_EQ(OpenFilesIn(scratch.path), std::vector<std::string>{name + " (deleted)"});
    ops.Close(fd);
  }
}

// Children make swap files over and over and are killed at random points.
// A named file lives from its creation to its unlink, a good part of such a
// loop: before unnamed files, about one kill in four left one behind.
TEST(SwapFile, KilledProcessesLeaveNoFileBehind) {
  ScratchFolder scratch;
  ASSERT_FALSE(scratch.path.empty());
  ScopedEnv swapDir("VQ_SWAP_DIR", scratch.path.c_str());
  const unsigned seed = std::random_device()();
  SCOPED_TRACE(testing::Message() << "seed " << seed);
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> delayUs(0, 2000);
  constexpr int kRounds = 40;
  for (int round = 0; round < kRounds; ++round) {
    int ready[2];
    ASSERT_EQ(pipe2(ready, O_CLOEXEC), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      const uint8_t block[700] = {1, 2, 3};
      for (uint32_t i = 0;; ++i) {
        CFileCache cache;
        const bool made = cache.Initialize((i & 1) != 0) && cache.WriteBlock(block, sizeof block) == 1;
        const char answer = made ? 'y' : 'n';
        if (i == 0 && (write(ready[1], &answer, 1) != 1 || !made)) _exit(1);
      }
    }
    close(ready[1]);
    char answer = 0;
    const bool started = read(ready[0], &answer, 1) == 1 && answer == 'y';
    close(ready[0]);
    if (started) usleep(static_cast<useconds_t>(delayUs(random)));
    kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(started) << "the child could not make a swap file";
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
  }
  EXPECT_EQ(NamedSwapFiles(scratch.path), std::vector<std::string>{});
}

}  // namespace
}  // namespace vq
