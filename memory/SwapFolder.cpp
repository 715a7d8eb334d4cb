#include "memory/SwapFolder.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "trace/VQTrace.h"

namespace vq {

namespace {

// "ram" followed by digits only: the block RAM disk's devices. A looser test
// would take any device whose name starts with "ram" for memory.
bool IsPlainRamDisk(std::string_view device) {
  constexpr std::string_view kPrefix = "ram";
  if (device.size() <= kPrefix.size() || !device.starts_with(kPrefix)) return false;
  return std::all_of(device.begin() + kPrefix.size(), device.end(),
                     [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; });
}

// The name of the block device of `device` from its sysfs link (the link's
// last component: "sda1", "zram0"); "" for file systems without one.
std::string BlockDeviceName(dev_t device) {
  if (major(device) == 0) return {};
  char link[64];
  std::snprintf(link, sizeof link, "/sys/dev/block/%u:%u", major(device), minor(device));
  char target[512];
  const ssize_t n = readlink(link, target, sizeof target - 1);
  if (n <= 0) return {};
  const std::string_view path(target, static_cast<size_t>(n));
  const size_t slash = path.find_last_of('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

const char* NonEmptyVariable(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : nullptr;
}

}  // namespace

FolderMedium MediumOfFileSystem(uint32_t fsType, std::string_view blockDevice) {
  switch (fsType) {
    case TMPFS_MAGIC:
    case RAMFS_MAGIC:
    case HUGETLBFS_MAGIC:
      return FolderMedium::kMemory;
    default:
      break;
  }
  if (blockDevice.starts_with("zram") || IsPlainRamDisk(blockDevice)) return FolderMedium::kMemory;
  return FolderMedium::kDisk;
}

SwapFolderChoice ChooseSwapFolder(const SwapFolderCandidate* user, std::span<const SwapFolderCandidate> defaults) {
  SwapFolderChoice choice;
  if (user != nullptr) {
    if (user->medium != FolderMedium::kUnusable) {
      choice.folder = user;
      if (user->medium == FolderMedium::kMemory) choice.note = SwapFolderChoice::Note::kUserFolderInMemory;
      return choice;
    }
    choice.userFolderSkipped = true;
  }
  for (const SwapFolderCandidate& c : defaults) {
    if (c.medium == FolderMedium::kDisk) {
      choice.folder = &c;
      return choice;
    }
  }
  for (const SwapFolderCandidate& c : defaults) {
    if (c.medium != FolderMedium::kUnusable) {
      choice.folder = &c;
      choice.note = SwapFolderChoice::Note::kNoDiskFolder;
      return choice;
    }
  }
  return choice;
}

SwapFolderCandidate ProbeSwapFolder(std::string path) {
  SwapFolderCandidate c;
  if (path.empty() || path.back() != '/') path.push_back('/');
  c.path = std::move(path);
  struct stat st {};
  struct statfs fs {};
  if (stat(c.path.c_str(), &st) != 0 || statfs(c.path.c_str(), &fs) != 0) {
    c.error = errno;
  } else if (!S_ISDIR(st.st_mode)) {
    c.error = ENOTDIR;
  } else if (faccessat(AT_FDCWD, c.path.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
    c.error = errno;  // EROFS too: the check knows read-only mounts, even for root
  } else {
    c.medium = MediumOfFileSystem(static_cast<uint32_t>(fs.f_type), BlockDeviceName(st.st_dev));
  }
  return c;
}

bool FindSwapFolder(std::string* folder, int* error) {
  constexpr const char* kOrigin = "CFileCache::Initialize";
  SwapFolderCandidate user;
  const char* userPath = NonEmptyVariable("VQ_SWAP_DIR");
  if (userPath != nullptr) user = ProbeSwapFolder(userPath);
  std::vector<SwapFolderCandidate> defaults;
  if (const char* tmpdir = NonEmptyVariable("TMPDIR")) defaults.push_back(ProbeSwapFolder(tmpdir));
  defaults.push_back(ProbeSwapFolder("/var/tmp"));
  defaults.push_back(ProbeSwapFolder("/tmp"));

  const SwapFolderChoice choice = ChooseSwapFolder(userPath != nullptr ? &user : nullptr, defaults);
  if (choice.userFolderSkipped) {
    VQ_TRACE(kOrigin, "DataMatrix", 1, "VQ_SWAP_DIR=%s is not a writable folder (Error=%u); it is not used",
             user.path.c_str(), Win32ErrorFromErrno(user.error));
  }
  if (choice.folder == nullptr) {
    *error = userPath != nullptr ? user.error : defaults.front().error;
    return false;
  }
  switch (choice.note) {
    case SwapFolderChoice::Note::kUserFolderInMemory:
      VQ_TRACE(kOrigin, "DataMatrix", 1, "VQ_SWAP_DIR=%s is memory-backed: swapping to it frees no memory",
               choice.folder->path.c_str());
      break;
    case SwapFolderChoice::Note::kNoDiskFolder:
      VQ_TRACE(kOrigin, "DataMatrix", 1,
               "No disk-backed folder for the swap file ($TMPDIR, /var/tmp, /tmp); using %s, "
               "swapping will not free memory",
               choice.folder->path.c_str());
      break;
    case SwapFolderChoice::Note::kNone:
      break;
  }
  *folder = choice.folder->path;
  return true;
}

}  // namespace vq
