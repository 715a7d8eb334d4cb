// Where the swap file goes and that it never has a name: the folder rule over
// described folders, the real folders and variables behind it, the unnamed
// file and its fallback, and processes killed while making swap files.
#include "memory/SwapFolder.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "VQDataMatrixLib.h"
#include "memory/FileCache.h"
#include "support/TraceCapture.h"

namespace vq {
namespace {

using Medium = FolderMedium;
using Note = SwapFolderChoice::Note;

// Sets (or, given null, removes) an environment variable while it lives.
class ScopedVariable {
 public:
  ScopedVariable(const char* name, const char* value) : m_Name(name) {
    if (const char* old = std::getenv(name)) m_Old = old;
    if (value != nullptr) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedVariable() {
    if (m_Old) {
      setenv(m_Name, m_Old->c_str(), 1);
    } else {
      unsetenv(m_Name);
    }
  }
  ScopedVariable(const ScopedVariable&) = delete;
  ScopedVariable& operator=(const ScopedVariable&) = delete;

 private:
  const char* m_Name;
  std::optional<std::string> m_Old;
};

// A private folder below `base`, removed with its contents. Path() ends in '/'.
class ScratchFolder {
 public:
  explicit ScratchFolder(const std::string& base = "/tmp") {
    std::string pattern = base + "/vqswapXXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) m_Path = pattern + "/";
  }
  ~ScratchFolder() {
    std::error_code ec;
    if (!m_Path.empty()) std::filesystem::remove_all(m_Path, ec);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  const std::string& Path() const { return m_Path; }
  bool Exists() const { return !m_Path.empty(); }

 private:
  std::string m_Path;
};

// The swap files that have a name in `folder`.
std::vector<std::string> NamedSwapFiles(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.starts_with("CFileCache")) names.push_back(name);
  }
  return names;
}

// What the process's open descriptors that lie in `folder` point to, as
// /proc/self/fd shows it ("<folder>#<inode> (deleted)" for an unnamed file).
std::vector<std::string> OpenFilesIn(const std::string& folder) {
  std::vector<std::string> targets;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
    const std::string target = std::filesystem::read_symlink(entry.path(), ec).string();
    if (!ec && target.starts_with(folder)) targets.push_back(target);
  }
  return targets;
}

bool OffersUnnamedFiles(const std::string& folder) {
  const int fd = open(folder.c_str(), O_TMPFILE | O_RDWR | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  close(fd);
  return true;
}

// The order of the rule: the user's folder whatever backs it, else the first
// disk-backed default, else the first usable one with a note.
TEST(SwapFolder, ChoiceFollowsWhatBacksEachCandidate) {
  const SwapFolderCandidate userDisk{"/data/swap/", Medium::kDisk}, userMemory{"/dev/shm/swap/", Medium::kMemory},
      userMissing{"/no/such/", Medium::kUnusable, ENOENT};
  auto tmpdir = [](Medium m) { return SwapFolderCandidate{"/scratch/", m}; };
  auto varTmp = [](Medium m) { return SwapFolderCandidate{"/var/tmp/", m}; };
  auto tmp = [](Medium m) { return SwapFolderCandidate{"/tmp/", m}; };
  constexpr Medium kDisk = Medium::kDisk, kMemory = Medium::kMemory, kNone = Medium::kUnusable;
  struct Case {
    const char* what;
    const SwapFolderCandidate* user;
    std::vector<SwapFolderCandidate> defaults;
    const char* chosen;  // null: none
    Note note;
    bool userSkipped;
  };
  const Case cases[] = {
      {"user folder on disk", &userDisk, {tmpdir(kDisk), varTmp(kDisk), tmp(kDisk)}, "/data/swap/", Note::kNone, false},
      {"user folder in memory is honoured",
       &userMemory,
       {tmpdir(kDisk), varTmp(kDisk), tmp(kDisk)},
       "/dev/shm/swap/",
       Note::kUserFolderInMemory,
       false},
      {"missing user folder", &userMissing, {tmpdir(kDisk), varTmp(kDisk), tmp(kDisk)}, "/scratch/", Note::kNone, true},
      {"TMPDIR on disk", nullptr, {tmpdir(kDisk), varTmp(kDisk), tmp(kMemory)}, "/scratch/", Note::kNone, false},
      {"TMPDIR in memory", nullptr, {tmpdir(kMemory), varTmp(kDisk), tmp(kDisk)}, "/var/tmp/", Note::kNone, false},
      {"tmpfs /tmp, no TMPDIR", nullptr, {varTmp(kDisk), tmp(kMemory)}, "/var/tmp/", Note::kNone, false},
      {"only /tmp on disk", nullptr, {tmpdir(kMemory), varTmp(kNone), tmp(kDisk)}, "/tmp/", Note::kNone, false},
      {"all in memory",
       nullptr,
       {tmpdir(kMemory), varTmp(kMemory), tmp(kMemory)},
       "/scratch/",
       Note::kNoDiskFolder,
       false},
      {"unusable before memory",
       nullptr,
       {tmpdir(kNone), varTmp(kMemory), tmp(kMemory)},
       "/var/tmp/",
       Note::kNoDiskFolder,
       false},
      {"missing user folder, rest in memory",
       &userMissing,
       {varTmp(kNone), tmp(kMemory)},
       "/tmp/",
       Note::kNoDiskFolder,
       true},
      {"nothing usable", nullptr, {tmpdir(kNone), varTmp(kNone), tmp(kNone)}, nullptr, Note::kNone, false},
      {"nothing usable, user's neither", &userMissing, {varTmp(kNone), tmp(kNone)}, nullptr, Note::kNone, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const SwapFolderChoice choice = ChooseSwapFolder(c.user, c.defaults);
    if (c.chosen == nullptr) {
      EXPECT_EQ(choice.folder, nullptr);
    } else {
      ASSERT_NE(choice.folder, nullptr);
      EXPECT_EQ(choice.folder->path, c.chosen);
    }
    EXPECT_EQ(choice.note, c.note);
    EXPECT_EQ(choice.userFolderSkipped, c.userSkipped);
  }
}

TEST(SwapFolder, MemoryBackedFileSystemsAndRamDisks) {
  struct Case {
    uint32_t fsType;
    const char* device;
    Medium medium;
  };
  const Case cases[] = {
      {0x01021994, "", Medium::kMemory},          // tmpfs
      {0x858458f6, "", Medium::kMemory},          // ramfs
      {0x958458f6, "", Medium::kMemory},          // hugetlbfs
      {0xEF53, "zram0", Medium::kMemory},         // ext4 on a compressed RAM disk
      {0x58465342, "ram12", Medium::kMemory},     // xfs on a RAM disk
      {0xEF53, "sda1", Medium::kDisk},            // ext4 on a disk partition
      {0x9123683E, "nvme0n1p2", Medium::kDisk},   // btrfs on a disk partition
      {0xEF53, "ramdisk-backup", Medium::kDisk},  // a device named so, not a RAM disk
      {0xEF53, "ram", Medium::kDisk},             // not a RAM disk's name either
      {0x794C7630, "", Medium::kDisk},            // overlay: its upper layer cannot be told
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MediumOfFileSystem(c.fsType, c.device), c.medium) << std::hex << c.fsType << " on " << c.device;
  }
}

TEST(SwapFolder, ProbeTellsUsableFoldersFromOthers) {
  ScratchFolder scratch;
  ASSERT_TRUE(scratch.Exists());
  const std::string file = scratch.Path() + "plain";
  close(open(file.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600));

  const SwapFolderCandidate here = ProbeSwapFolder(scratch.Path().substr(0, scratch.Path().size() - 1));
  EXPECT_EQ(here.path, scratch.Path()) << "a trailing '/' is added";
  EXPECT_NE(here.medium, Medium::kUnusable);
  EXPECT_EQ(here.error, 0);
  const SwapFolderCandidate missing = ProbeSwapFolder(scratch.Path() + "missing");
  EXPECT_EQ(missing.medium, Medium::kUnusable);
  EXPECT_EQ(missing.error, ENOENT);
  const SwapFolderCandidate notFolder = ProbeSwapFolder(file);
  EXPECT_EQ(notFolder.medium, Medium::kUnusable);
  EXPECT_EQ(notFolder.error, ENOTDIR);

  struct statfs fs {};
  if (statfs("/dev/shm", &fs) == 0 && static_cast<uint32_t>(fs.f_type) == 0x01021994) {
    EXPECT_EQ(ProbeSwapFolder("/dev/shm").medium, Medium::kMemory);
  }
}

// The real folders through the variables: a missing VQ_SWAP_DIR is skipped
// with a trace line, a memory-backed TMPDIR is passed over while a disk-backed
// default exists, and a memory-backed VQ_SWAP_DIR is used with a trace line.
TEST(SwapFolder, TempFolderFollowsTheVariablesAndTheRealFolders) {
  ScratchFolder disk;
  ASSERT_TRUE(disk.Exists());
  std::optional<ScratchFolder> shm;
  if (ProbeSwapFolder("/dev/shm").medium == Medium::kMemory) shm.emplace("/dev/shm");
  const bool defaultOnDisk =
      ProbeSwapFolder("/var/tmp").medium == Medium::kDisk || ProbeSwapFolder("/tmp").medium == Medium::kDisk;
  const bool scratchOnDisk = ProbeSwapFolder(disk.Path()).medium == Medium::kDisk;

  const std::string missing = disk.Path() + "missing";
  struct Case {
    const char* what;
    bool runs;
    const char* swapDir;
    const char* tmpDir;
    std::string expected;   // empty: anything but tmpDir
    const char* traceLine;  // null: none of the level-1 lines
  };
  const std::string shmPath = shm && shm->Exists() ? shm->Path() : std::string();
  const Case cases[] = {
      {"missing VQ_SWAP_DIR", scratchOnDisk, missing.c_str(), disk.Path().c_str(), disk.Path(),
       "is not a writable folder"},
      {"VQ_SWAP_DIR on disk", true, disk.Path().c_str(), missing.c_str(), disk.Path(), nullptr},
      {"TMPDIR in memory", !shmPath.empty() && defaultOnDisk, nullptr, shmPath.c_str(), "", nullptr},
      {"VQ_SWAP_DIR in memory", !shmPath.empty(), shmPath.c_str(), disk.Path().c_str(), shmPath,
       "swapping to it frees no memory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (!c.runs) continue;
    ScopedVariable swapDir("VQ_SWAP_DIR", c.swapDir), tmpDir("TMPDIR", c.tmpDir);
    test::TraceCapture trace;
    SwapFileOps ops;
    std::string folder;
    int error = 0;
    ASSERT_TRUE(ops.TempFolder(&folder, &error));
    if (c.expected.empty()) {
      EXPECT_NE(folder, c.tmpDir);
    } else {
      EXPECT_EQ(folder, c.expected);
    }
    if (c.traceLine != nullptr) {
      EXPECT_EQ(trace.Count(c.traceLine), 1u);
    } else {
      EXPECT_EQ(trace.Count("VQ_SWAP_DIR="), 0u);
      EXPECT_EQ(trace.Count("No disk-backed folder"), 0u);
    }
  }
}

// While a matrix with a swap file lives, its folder holds no swap file name,
// and the open file never had one (an unnamed file shows as "#<inode>").
TEST(SwapFile, HasNoNameWhileTheMatrixLives) {
  ScratchFolder scratch;
  ASSERT_TRUE(scratch.Exists());
  ScopedVariable swapDir("VQ_SWAP_DIR", scratch.Path().c_str());
  ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
  {
    vq::ComPtr<IVQDataMatrix> m;
    ASSERT_EQ(CoCreateInstance(CLSID_VQDataMatrix, nullptr, CLSCTX_INPROC_SERVER, IID_IVQDataMatrix, m.put_void()),
              S_OK);
    ASSERT_EQ(m->Initialize2(4, 1, 1, 1, 1024, 1, dataFormatFloat64, matrixSingleObject), S_OK);
    ASSERT_EQ(m->AllSaveToDisk(), S_OK);

    EXPECT_EQ(NamedSwapFiles(scratch.Path()), std::vector<std::string>{});
    const std::vector<std::string> open = OpenFilesIn(scratch.Path());
    ASSERT_EQ(open.size(), 1u) << "the matrix's swap file is open in VQ_SWAP_DIR";
    EXPECT_TRUE(open[0].ends_with(" (deleted)")) << open[0];
    if (OffersUnnamedFiles(scratch.Path())) {
      EXPECT_EQ(open[0].find("CFileCache"), std::string::npos) << open[0] << ": the file had a name";
    }
  }
  CoUninitialize();
}

// Where the file system refuses unnamed files, a named one is made and
// unlinked at once; any other refusal is the caller's failure.
TEST(SwapFile, FallsBackToANamedFileOnlyWhereUnnamedOnesAreRefused) {
  class RefusingOps : public SwapFileOps {
   public:
    explicit RefusingOps(int refusal) : m_Refusal(refusal) {}
    int OpenUnnamed(const std::string&, int* error) override {
      *error = m_Refusal;
      return -1;
    }

   private:
    int m_Refusal;
  };
  ScratchFolder scratch;
  ASSERT_TRUE(scratch.Exists());
  for (int refusal : {EOPNOTSUPP, EISDIR, EINVAL, EACCES, ENOSPC}) {
    SCOPED_TRACE(refusal);
    const bool fallsBack = refusal == EOPNOTSUPP || refusal == EISDIR || refusal == EINVAL;
    RefusingOps ops(refusal);
    bool direct = false;
    std::string name;
    int error = 0;
    const int fd = ops.CreateUnlinked(scratch.Path(), "CFileCache", false, &direct, &name, &error);
    if (!fallsBack) {
      EXPECT_EQ(fd, -1);
      EXPECT_EQ(error, refusal);
      continue;
    }
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(name.starts_with(scratch.Path() + "CFileCache")) << name;
    EXPECT_EQ(NamedSwapFiles(scratch.Path()), std::vector<std::string>{});
    EXPECT_EQ(OpenFilesIn(scratch.Path()), std::vector<std::string>{name + " (deleted)"});
    ops.Close(fd);
  }
}

// Children make swap files over and over and are killed at random points:
// none may leave a file behind. A named file lives from its creation to its
// unlink, which a loop of creations spends a good part of its time in.
TEST(SwapFile, KilledProcessesLeaveNoFileBehind) {
  ScratchFolder scratch;
  ASSERT_TRUE(scratch.Exists());
  ScopedVariable swapDir("VQ_SWAP_DIR", scratch.Path().c_str());
  std::random_device seedSource;
  const unsigned seed = seedSource();
  SCOPED_TRACE(testing::Message() << "seed " << seed);
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> delayUs(0, 2000);
  constexpr int kRounds = 40;
  int killed = 0;
  for (int round = 0; round < kRounds; ++round) {
    int ready[2];
    ASSERT_EQ(pipe2(ready, O_CLOEXEC), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      close(ready[0]);
      const uint8_t block[700] = {1, 2, 3};
      for (uint32_t i = 0;; ++i) {
        CFileCache cache;
        const bool made = cache.Initialize((i & 1) != 0) && cache.WriteBlock(block, sizeof block) == 1;
        if (i == 0) {
          const char answer = made ? 'y' : 'n';
          if (write(ready[1], &answer, 1) != 1 || !made) _exit(1);
        }
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
    if (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) ++killed;
  }
  EXPECT_EQ(killed, kRounds);
  EXPECT_EQ(NamedSwapFiles(scratch.Path()), std::vector<std::string>{});
}

}  // namespace
}  // namespace vq
