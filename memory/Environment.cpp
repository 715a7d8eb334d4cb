#include "memory/Environment.h"

#include <fcntl.h>
#include <linux/stat.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <new>
#include <vector>

#include "memory/SwapFolder.h"

namespace vq {

namespace {
thread_local bool t_BackgroundRelease = false;
constexpr size_t kReleasePiece = 1u << 20;
}  // namespace

void ReleaseInBackground() noexcept { t_BackgroundRelease = true; }

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

class SystemEnvironmentImpl final : public Environment {
 public:
  SwapFileOps& SwapFile() override { return m_SwapFile; }

  bool MemoryStatus(MEMORYSTATUSEX* status) override {
    status->dwLength = sizeof(MEMORYSTATUSEX);
    return GlobalMemoryStatusEx(status) != FALSE;
  }
  // The platform keeps the reading for up to kMemoryStatusRefreshMs.
  void MemoryFreed() override { InvalidateMemoryStatus(); }
  // 64 accesses take about 2 us in memory: far less than the 10 ms the
  // reading is cached for, so a busy client reads as often as before, and
  // the reading's cost (a clock read and the cached fields, some 7 ns of
  // the clock alone here) is spread over them.
  uint32_t AccessesPerMemoryReading() const override { return 64; }

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
    if (buffer == nullptr) return;
    // The pages go first, under the mapping's own lock; the unmapping then
    // holds the process's address-space lock only briefly. Unmapping a
    // populated buffer at once zaps its pages under that lock (a
    // millisecond for 10 MiB, longer when the thread is preempted), and
    // every mmap of another thread, a new data item's included, waits.
    // A thread that gives memory back in the background lets others run
    // after each MiB: freeing thousands of pages in one go held up the page
    // faults of a client filling new memory on the other core.
    const bool background = t_BackgroundRelease;
    auto* p = static_cast<unsigned char*>(buffer);
    for (size_t done = 0; done < bytes; done += kReleasePiece) {
      madvise(p + done, std::min(kReleasePiece, bytes - done), MADV_DONTNEED);
      if (background) sched_yield();
    }
    munmap(buffer, bytes);
  }

 private:
  SwapFileOps m_SwapFile;
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
