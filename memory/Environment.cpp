#include "memory/Environment.h"

#include <fcntl.h>
#include <linux/aio_abi.h>
#include <linux/stat.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <new>
#include <vector>

#include "memory/SwapFolder.h"

namespace vq {

bool SwapFileOps::TempFolder(std::string* folder, int* error) { return FindSwapFolder(folder, error); }

int SwapFileOps::OpenUnnamed(const std::string& folder, int* error) {
  const int fd = open(folder.c_str(), O_TMPFILE | O_RDWR | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) *error = errno;
  return fd;
}

namespace {

// The way before O_TMPFILE: a name exists from mkostemp to unlink, and a
// process killed in between leaves the file behind.
int CreateNamedAndUnlink(const std::string& folder, const char* prefix, std::string* name, int* error) {
  std::string pattern = folder + prefix + "XXXXXX";
  std::vector<char> path(pattern.begin(), pattern.end());
  path.push_back('\0');
  // mkostemp creates the file with mode 0600 and O_EXCL.
  const int fd = mkostemp(path.data(), O_CLOEXEC);
  if (fd < 0) {
    *error = errno;
    return -1;
  }
  name->assign(path.data());
  unlink(path.data());
  return fd;
}

}  // namespace

int SwapFileOps::CreateUnlinked(const std::string& folder, const char* prefix, bool direct, bool* isDirect,
                                std::string* name, int* error) {
  int fd = OpenUnnamed(folder, error);
  if (fd >= 0) {
    name->assign(folder).append("(unnamed)");
  } else if (*error == EOPNOTSUPP || *error == EISDIR || *error == EINVAL) {
    fd = CreateNamedAndUnlink(folder, prefix, name, error);
    if (fd < 0) return -1;
  } else {
    return -1;
  }
  // O_DIRECT is added afterwards because some file systems refuse it at
  // creation.
  *isDirect = false;
  if (direct) {
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0 && fcntl(fd, F_SETFL, flags | O_DIRECT) == 0) {
      *isDirect = true;
    }
  }
  return fd;
}

uint32_t SwapFileOps::DirectAlignment(int fd) {
  struct statx sx {};
  if (statx(fd, "", AT_EMPTY_PATH, STATX_DIOALIGN, &sx) == 0 && (sx.stx_mask & STATX_DIOALIGN) != 0 &&
      sx.stx_dio_offset_align != 0) {
    uint32_t align = sx.stx_dio_offset_align;
    if (sx.stx_dio_mem_align > align) align = sx.stx_dio_mem_align;
    return align;
  }
  // Older kernels: the logical block size of the device holding the file
  // (the queue of a partition sits with its parent disk).
  struct stat st {};
  if (fstat(fd, &st) != 0) return 0;
  unsigned maj = major(st.st_dev);
  unsigned min = minor(st.st_dev);
  for (const char* tail : {"queue", "../queue"}) {
    char path[128];
    std::snprintf(path, sizeof path, "/sys/dev/block/%u:%u/%s/logical_block_size", maj, min, tail);
    if (FILE* f = std::fopen(path, "re")) {
      unsigned value = 0;
      int read = std::fscanf(f, "%u", &value);
      std::fclose(f);
      if (read == 1 && value != 0) return value;
    }
  }
  return 0;
}

ssize_t SwapFileOps::WriteAt(int fd, const void* data, size_t size, uint64_t offset, int* error) {
  ssize_t n = pwrite(fd, data, size, static_cast<off_t>(offset));
  if (n < 0) *error = errno;
  return n;
}

ssize_t SwapFileOps::ReadAt(int fd, void* data, size_t size, uint64_t offset, int* error) {
  ssize_t n = pread(fd, data, size, static_cast<off_t>(offset));
  if (n < 0) *error = errno;
  return n;
}

ssize_t SwapFileOps::WriteAtWhile(int fd, const void* data, size_t size, uint64_t offset, int* error,
                                  const Meanwhile& meanwhile) {
  meanwhile();
  return WriteAt(fd, data, size, offset, error);
}

bool SwapFileOps::PunchHole(int fd, uint64_t offset, uint64_t length, int* error) {
  if (fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset),
                static_cast<off_t>(length)) == 0) {
    return true;
  }
  *error = errno;
  return false;
}

void SwapFileOps::Close(int fd) { close(fd); }

namespace {

// One AIO context per thread, made at the thread's first overlapped write:
// a context shared between threads would hand one thread's completion to
// another. Never made again in a thread where the kernel refused it.
class AioContext {
 public:
  ~AioContext() {
    if (m_Usable) syscall(SYS_io_destroy, m_Id);
  }
  // The context, or 0 when this thread has none.
  aio_context_t Get() {
    if (!m_Tried) {
      m_Tried = true;
      m_Usable = syscall(SYS_io_setup, 1, &m_Id) == 0;
    }
    return m_Usable ? m_Id : 0;
  }
  // After a failure to reap: io_destroy waits for the request still in
  // flight, so its buffer is free again when this returns.
  void Drop() {
    if (m_Usable) syscall(SYS_io_destroy, m_Id);
    m_Usable = false;
  }

 private:
  aio_context_t m_Id = 0;
  bool m_Tried = false;
  bool m_Usable = false;
};

thread_local AioContext t_Aio;

class SystemSwapFileOps final : public SwapFileOps {
 public:
  ssize_t WriteAtWhile(int fd, const void* data, size_t size, uint64_t offset, int* error,
                       const Meanwhile& meanwhile) override {
    const aio_context_t context = t_Aio.Get();
    iocb request{};
    request.aio_lio_opcode = IOCB_CMD_PWRITE;
    request.aio_fildes = static_cast<uint32_t>(fd);
    request.aio_buf = reinterpret_cast<uintptr_t>(data);
    request.aio_nbytes = size;
    request.aio_offset = static_cast<int64_t>(offset);
    iocb* requests[1] = {&request};
    // A refused submission (no context, a file without AIO, EAGAIN) moved
    // nothing: the plain write does it all.
    if (context == 0 || syscall(SYS_io_submit, context, 1, requests) != 1) {
      return SwapFileOps::WriteAtWhile(fd, data, size, offset, error, meanwhile);
    }
    meanwhile();
    io_event done{};
    for (;;) {
      const long reaped = syscall(SYS_io_getevents, context, 1, 1, &done, nullptr);
      if (reaped == 1) break;
      if (reaped < 0 && errno == EINTR) continue;
      t_Aio.Drop();
      *error = EIO;
      return -1;
    }
    if (done.res < 0) {
      *error = static_cast<int>(-done.res);
      return -1;
    }
    return static_cast<ssize_t>(done.res);
  }
};

class SystemEnvironmentImpl final : public Environment {
 public:
  SwapFileOps& SwapFile() override { return m_SwapFile; }

  bool MemoryStatus(MEMORYSTATUSEX* status) override {
    status->dwLength = sizeof(MEMORYSTATUSEX);
    return GlobalMemoryStatusEx(status) != FALSE;
  }
  // The platform keeps the reading for up to kMemoryStatusRefreshMs.
  void MemoryFreed() override { InvalidateMemoryStatus(); }

  uint64_t ResidentBytes() override {
    // /proc/self/statm: size, then resident, in pages (about 3 us to read).
    const int fd = open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    char buf[128];
    ssize_t n = -1;
    do {
      n = read(fd, buf, sizeof buf - 1);
    } while (n < 0 && errno == EINTR);
    close(fd);
    if (n <= 0) return 0;
    buf[n] = '\0';
    unsigned long long size = 0, resident = 0;
    if (std::sscanf(buf, "%llu %llu", &size, &resident) != 2) return 0;
    return static_cast<uint64_t>(resident) * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  }

  // The coarse clock costs a few nanoseconds; its tick of a few milliseconds
  // is fine for a cache of about 10 ms.
  uint64_t NowMs() override {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
  }

  // Anonymous mappings: page-aligned, zero-filled, and given back to the
  // system at once when freed (a heap would keep them).
  void* AllocateLarge(size_t bytes) override {
    void* p = bytes == 0
                  ? MAP_FAILED
                  : mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) {
      SetLastError(bytes == 0 ? static_cast<DWORD>(ERROR_INVALID_PARAMETER) : Win32ErrorFromErrno(errno));
      return nullptr;
    }
    return p;
  }
  void FreeLarge(void* buffer, size_t bytes) override {
    if (buffer != nullptr) munmap(buffer, bytes);
  }

 private:
  SystemSwapFileOps m_SwapFile;
};

}  // namespace

Environment& SystemEnvironment() {
  // Never destroyed, so that a matrix still alive at exit never calls a
  // destroyed object; and not on the heap, so that unloading the library
  // (which takes the storage with it) leaves nothing behind.
  alignas(SystemEnvironmentImpl) static unsigned char storage[sizeof(SystemEnvironmentImpl)];
  static SystemEnvironmentImpl* environment = new (storage) SystemEnvironmentImpl;
  return *environment;
}

}  // namespace vq
