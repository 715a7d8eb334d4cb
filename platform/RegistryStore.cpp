// RegistryStore.cpp - the registry store shared between processes: where the
// file lives, the process's cached copy of its tree, and the open key handles.
//
// Consistency between processes: every change is a read-modify-write of the
// whole file under an exclusive flock on "<file>.lock"; the new contents go to
// a temporary file in the same directory, which is fsync'ed and renamed over
// the store, so a reader sees either the old or the new file, never a mix.
// Each call compares the file's identity (device, inode, size, modification
// time) with the cached copy and re-reads it when another process replaced it.
//
// A file of more than 16 MiB, or one the format rejects, is damaged: the
// calls answer ERROR_BADDB and the store is never rewritten from it. A change
// that would make the file too large is refused with ERROR_NO_SYSTEM_RESOURCES.
// A missing or empty file is an empty store.
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

#include "RegistryInternal.h"
#include "VQKernel.h"

namespace vq::registry {
namespace {

constexpr size_t kMaxFileSize = 16u << 20;

// The store's status for a failed file call: the platform's errno mapping
// where it means access denied or a full disk; the store's own answers on top
// of it: a missing file or folder is a missing path, memory is
// ERROR_OUTOFMEMORY, and anything else is the caller's read or write fault.
LSTATUS Win32OfErrno(int e, LSTATUS fallback) {
  if (e == ENOENT || e == ENOTDIR) return ERROR_PATH_NOT_FOUND;
  if (e == ENOMEM) return ERROR_OUTOFMEMORY;
  const DWORD mapped = vq::Win32ErrorFromErrno(e);
  return mapped == ERROR_ACCESS_DENIED || mapped == ERROR_DISK_FULL ? static_cast<LSTATUS>(mapped) : fallback;
}

bool MakeDirectories(const std::string& dir) {
  if (dir.empty()) return true;
  struct stat st;
  if (::stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  size_t slash = dir.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !MakeDirectories(dir.substr(0, slash))) return false;
  return ::mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST;
}

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

FileStamp FileStamp::Of(const struct stat& st) {
  FileStamp s;
  s.exists = true;
  s.dev = st.st_dev;
  s.ino = st.st_ino;
  s.size = st.st_size;
  s.mtimeSec = st.st_mtim.tv_sec;
  s.mtimeNsec = st.st_mtim.tv_nsec;
  return s;
}

LSTATUS Store::Access(bool write, const std::function<LSTATUS(Tree& tree, bool& changed)>& op) {
  vq::MutexLock guard(m_Mutex);
  try {
    std::string path = vq::RegistryStorePath();
    if (path.empty()) return ERROR_PATH_NOT_FOUND;
    int lockFd = -1;
    if (write) {
      if (!MakeDirectories(DirectoryOf(path))) return Win32OfErrno(errno, ERROR_CANTWRITE);
      std::string lockPath = path + ".lock";
      lockFd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
      if (lockFd < 0) return Win32OfErrno(errno, ERROR_CANTWRITE);
      while (::flock(lockFd, LOCK_EX) != 0) {
        if (errno != EINTR) {
          ::close(lockFd);
          return ERROR_CANTWRITE;
        }
      }
    }
    LSTATUS status = Refresh(path);
    bool changed = false;
    if (status == ERROR_SUCCESS) status = op(m_Tree, changed);
    if (status == ERROR_SUCCESS && write && changed) {
      status = Save(path);
      if (status != ERROR_SUCCESS) m_Loaded = false;  // the tree no longer matches the file
    }
    if (lockFd >= 0) ::close(lockFd);  // releases the flock
    return status;
  } catch (const std::bad_alloc&) {
    m_Loaded = false;
    return ERROR_OUTOFMEMORY;
  } catch (...) {
    m_Loaded = false;
    return ERROR_GEN_FAILURE;
  }
}

HKEY Store::NewHandle(KeyRef ref) {
  m_Mutex.AssertHeld();  // called from Access's operation
  auto* handle = new KeyRef(std::move(ref));
  m_Handles.insert(handle);
  return reinterpret_cast<HKEY>(handle);
}

bool Store::Resolve(HKEY hKey, KeyRef& out) {
  m_Mutex.AssertHeld();  // called from Access's operation
  for (int i = 0; i < kRootCount; ++i) {
    if (hKey == PredefinedKey(i)) {
      out.root = i;
      out.path.clear();
      return true;
    }
  }
  auto* handle = reinterpret_cast<KeyRef*>(hKey);
  if (m_Handles.count(handle) == 0) return false;
  out = *handle;
  return true;
}

LSTATUS Store::Close(HKEY hKey) {
  vq::MutexLock guard(m_Mutex);
  for (int i = 0; i < kRootCount; ++i)
    if (hKey == PredefinedKey(i)) return ERROR_SUCCESS;
  auto* handle = reinterpret_cast<KeyRef*>(hKey);
  if (m_Handles.erase(handle) == 0) return ERROR_INVALID_HANDLE;
  delete handle;
  return ERROR_SUCCESS;
}

HKEY Store::PredefinedKey(int root) {
  switch (root) {
    case 0:
      return HKEY_CLASSES_ROOT;
    case 1:
      return HKEY_CURRENT_USER;
    default:
      return HKEY_LOCAL_MACHINE;
  }
}

LSTATUS Store::Refresh(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    if (errno != ENOENT) return Win32OfErrno(errno, ERROR_CANTREAD);
    m_Tree.Clear();
    m_Path = path;
    m_Stamp = FileStamp{};
    m_Loaded = true;
    m_LoadStatus = ERROR_SUCCESS;
    return ERROR_SUCCESS;
  }
  if (m_Loaded && m_Path == path && m_Stamp == FileStamp::Of(st)) return m_LoadStatus;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Win32OfErrno(errno, ERROR_CANTREAD);
  LSTATUS status = ReadOpenFile(fd);
  ::close(fd);
  return status;
}

LSTATUS Store::ReadOpenFile(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return ERROR_CANTREAD;
  if (!S_ISREG(st.st_mode)) return ERROR_BADDB;
  FileStamp stamp = FileStamp::Of(st);
  std::string text;
  LSTATUS status = ERROR_SUCCESS;
  if (static_cast<uint64_t>(st.st_size) > kMaxFileSize) {
    status = ERROR_BADDB;
  } else {
    text.resize(static_cast<size_t>(st.st_size));
    size_t done = 0;
    while (done < text.size()) {
      ssize_t n = ::read(fd, text.data() + done, text.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return ERROR_CANTREAD;
      if (n == 0) break;  // the file shrank under us: what we have is judged as it is
      done += static_cast<size_t>(n);
    }
    text.resize(done);
    if (!Parse(text, m_Tree)) status = ERROR_BADDB;
  }
  if (status != ERROR_SUCCESS) m_Tree.Clear();
  // A damaged file is remembered as damaged until it changes, so it is not
  // parsed again on every call.
  m_Stamp = stamp;
  m_Loaded = true;
  m_LoadStatus = status;
  return status;
}

LSTATUS Store::Save(const std::string& path) {
  std::string text = Serialize(m_Tree);
  // A store that could not be read back is never written.
  if (text.size() > kMaxFileSize) return ERROR_NO_SYSTEM_RESOURCES;
  std::string tmpl = path + ".tmpXXXXXX";
  int fd = ::mkstemp(tmpl.data());
  if (fd < 0) return Win32OfErrno(errno, ERROR_CANTWRITE);
  struct stat st;
  if (!WriteAll(fd, text) || ::fsync(fd) != 0 || ::fstat(fd, &st) != 0) {
    LSTATUS status = Win32OfErrno(errno, ERROR_CANTWRITE);
    ::close(fd);
    ::unlink(tmpl.c_str());
    return status;
  }
  ::close(fd);
  if (::rename(tmpl.c_str(), path.c_str()) != 0) {
    LSTATUS status = Win32OfErrno(errno, ERROR_CANTWRITE);
    ::unlink(tmpl.c_str());
    return status;
  }
  int dirFd = ::open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    ::fsync(dirFd);  // makes the rename durable; a failure here loses nothing already visible
    ::close(dirFd);
  }
  m_Path = path;
  m_Stamp = FileStamp::Of(st);
  m_Loaded = true;
  m_LoadStatus = ERROR_SUCCESS;
  return ERROR_SUCCESS;
}

Store& TheStore() {
  // Never destroyed: handles may be closed from static destructors.
  static Store* store = new Store;
  return *store;
}

}  // namespace vq::registry

std::string vq::RegistryStorePath() {
  const char* env = std::getenv("VQ_REGISTRY");
  if (env != nullptr && *env != 0) return env;
  const char* data = std::getenv("XDG_DATA_HOME");
  if (data != nullptr && data[0] == '/') return std::string(data) + "/VQDataMatrixLib/registry";
  std::string home;
  const char* h = std::getenv("HOME");
  if (h != nullptr && *h != 0) {
    home = h;
  } else {
    struct passwd pw;
    struct passwd* result = nullptr;
    char buffer[4096];
    if (getpwuid_r(getuid(), &pw, buffer, sizeof buffer, &result) == 0 && result != nullptr && pw.pw_dir != nullptr)
      home = pw.pw_dir;
  }
  if (home.empty()) return {};
  return home + "/.local/share/VQDataMatrixLib/registry";
}
