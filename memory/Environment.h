// Environment.h - what a matrix needs of the system, behind one interface.
//
// vq::Environment is the matrix's way to the operating system: the system
// calls of its swap file, the memory-status reading and the process's
// resident size that the memory check weighs, a monotonic clock, and the
// large page-aligned buffers of the swap file and the packed storage
// objects. SystemEnvironment() is the real one; tests give a matrix an
// in-memory or a fault-injecting one (tests/support/TestEnvironment.h), so
// that any of these calls can fail on demand and no test needs a process-wide
// setting.
//
// Ownership: a matrix, its swap file and its storage objects do not own their
// environment; it must outlive them. SystemEnvironment() lives as long as the
// process.
//
// Threads: every method may be called at once from the client's thread and
// from the memory watcher thread of each matrix that uses the environment, so
// implementations are thread-safe.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "VQPlatform.h"

namespace vq {

// The system calls behind the swap file. Each reports failure the POSIX way
// (-1, or false, with the errno value in *error). The base class makes the
// real calls.
class SwapFileOps {
 public:
  virtual ~SwapFileOps() = default;
  // The folder for a new swap file, with a trailing '/' (the rule of
  // memory/SwapFolder.h: $VQ_SWAP_DIR, else a disk-backed one of $TMPDIR,
  // /var/tmp, /tmp); false when no candidate is usable.
  virtual bool TempFolder(std::string* folder, int* error);
  // Creates a private file in `folder` that has no name: OpenUnnamed where
  // the file system offers it, else a new unique file `folder + prefix +
  // XXXXXX` (mode 0600) unlinked at once. Opened read-write, with O_DIRECT
  // when `direct` is set and the file system allows it (*isDirect tells);
  // *name is for traces only. Returns the open descriptor, or -1.
  virtual int CreateUnlinked(const std::string& folder, const char* prefix, bool direct, bool* isDirect,
                             std::string* name, int* error);
  // open(folder, O_TMPFILE | O_RDWR | O_EXCL, 0600): a file that never has a
  // name, so no death of the process can leave it behind; O_EXCL keeps it
  // from ever being linked. -1 when refused: EOPNOTSUPP (the file system),
  // EISDIR (a kernel that predates O_TMPFILE) or EINVAL make CreateUnlinked
  // fall back to a named file.
  virtual int OpenUnnamed(const std::string& folder, int* error);
  // The direct I/O alignment of the open file in bytes (0 when unknown).
  virtual uint32_t DirectAlignment(int fd);
  // pwrite/pread: bytes transferred (possibly fewer than asked), or -1.
  virtual ssize_t WriteAt(int fd, const void* data, size_t size, uint64_t offset, int* error);
  virtual ssize_t ReadAt(int fd, void* data, size_t size, uint64_t offset, int* error);
  // fallocate with FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE: gives the
  // storage of `length` bytes at `offset` back to the file system, which
  // reads them as zeros from then on; the file's size stays. False when the
  // file system cannot (EOPNOTSUPP) or the call failed; the bytes are then
  // unchanged or zero, never anything else.
  virtual bool PunchHole(int fd, uint64_t offset, uint64_t length, int* error);
  virtual void Close(int fd);
};

class Environment {
 public:
  virtual ~Environment() = default;

  // The system calls of every swap file made with this environment.
  virtual SwapFileOps& SwapFile() = 0;

  // The system's memory reading as GlobalMemoryStatusEx gives it (cgroup-aware,
  // without the process's memory budget, which memory/MemoryBudget.h applies).
  // Sets status->dwLength itself. False when there is no reading; *status is
  // then unspecified.
  virtual bool MemoryStatus(MEMORYSTATUSEX* status) = 0;
  // A save has just freed memory: the next MemoryStatus must not answer from
  // a reading taken before it. Implementations that cache a reading drop it.
  virtual void MemoryFreed() {}

  // How many element accesses one reading of available memory may serve
  // when it found memory plenty, the access that took it included (at least
  // 1: every access reads). An access in memory costs a few tens of
  // nanoseconds, a reading several; the memory watcher's own readings serve
  // the next accesses too, so a reading that stands is never older than
  // the watcher's last look (see matrix/MemoryWatcher.cpp).
  virtual uint32_t AccessesPerMemoryReading() const { return 1; }

  // The process's resident size in bytes (0 when it cannot be read).
  virtual uint64_t ResidentBytes() = 0;

  // Milliseconds on a monotonic clock with an arbitrary origin.
  virtual uint64_t NowMs() = 0;

  // A page-aligned, zero-filled buffer of `bytes` bytes (more than 0), or
  // nullptr with the Win32 error in GetLastError(). Freed with FreeLarge and
  // the same size.
  virtual void* AllocateLarge(size_t bytes) = 0;
  virtual void FreeLarge(void* buffer, size_t bytes) = 0;

 private:
  // The budget's cached reading of ResidentBytes (memory/MemoryBudget.cpp):
  // the bytes, and the NowMs() until which they stand (0: no reading). Two
  // relaxed atomics: a reader may see the bytes of one reading with the time
  // of the next, each still a real value.
  friend class ResidentCache;
  std::atomic<uint64_t> m_ResidentBytes{0};
  std::atomic<uint64_t> m_ResidentUntilMs{0};
};

// Marks the calling thread as one that gives memory back in the background
// (the swap file's releaser): the system environment's FreeLarge then yields
// the processor after each MiB it frees.
void ReleaseInBackground() noexcept;

// The real system: the POSIX calls for the swap file, GlobalMemoryStatusEx,
// /proc/self/statm, the coarse monotonic clock and anonymous mappings.
Environment& SystemEnvironment();

}  // namespace vq
