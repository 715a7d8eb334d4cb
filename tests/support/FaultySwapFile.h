// FaultySwapFile.h - the swap-file double of the tests: the real system
// calls, with every write and read counted and recorded, and faults to
// inject on demand. Safe to use from the matrix's worker thread while a test
// changes the settings.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "memory/FileCache.h"

namespace vq::test {

class FaultySwapFileOps : public vq::SwapFileOps {
 public:
  struct Transfer {
    bool write;
    const void* address;
    size_t size;
    uint64_t offset;
  };

  ssize_t WriteAt(int fd, const void* data, size_t size, uint64_t offset, int* error) override {
    ++writes;
    lastWrite = data;
    Record({true, data, size, offset});
    if (failWrites || TakeOne(failNextWrites)) {
      *error = writeErrno;
      return -1;
    }
    if (TakeOne(shortWrites)) {
      // A device that takes half, then (with writeErrno) refuses the rest.
      const ssize_t n = SwapFileOps::WriteAt(fd, data, size / 2, offset, error);
      ++failNextWrites;
      return n;
    }
    return SwapFileOps::WriteAt(fd, data, size, offset, error);
  }

  ssize_t ReadAt(int fd, void* data, size_t size, uint64_t offset, int* error) override {
    ++reads;
    lastRead = data;
    Record({false, data, size, offset});
    if (failReads || TakeOne(failNextReads)) {
      *error = EIO;
      return -1;
    }
    if (TakeOne(eofReads)) return 0;
    return SwapFileOps::ReadAt(fd, data, size, offset, error);
  }

  // Every transfer asked for since the last ClearLog, in order.
  std::vector<Transfer> Log() const {
    std::lock_guard<std::mutex> lock(m_LogLock);
    return m_Log;
  }
  void ClearLog() {
    std::lock_guard<std::mutex> lock(m_LogLock);
    m_Log.clear();
  }

  // Calls made, and the buffer of the latest of each kind.
  std::atomic<int> writes{0}, reads{0};
  std::atomic<const void*> lastWrite{nullptr}, lastRead{nullptr};
  // Faults: every write / read fails while set (writes with writeErrno, reads
  // with EIO)...
  std::atomic<bool> failWrites{false}, failReads{false};
  // ... or only the next so many; a short write moves half, then the next
  // write fails; an end-of-file read moves nothing.
  std::atomic<int> failNextWrites{0}, failNextReads{0}, shortWrites{0}, eofReads{0};
  std::atomic<int> writeErrno{ENOSPC};

 private:
  // Uses up one of a budget of faults: true when there was one left.
  static bool TakeOne(std::atomic<int>& budget) {
    int left = budget.load();
    while (left > 0 && !budget.compare_exchange_weak(left, left - 1)) {
    }
    return left > 0;
  }
  void Record(const Transfer& transfer) {
    std::lock_guard<std::mutex> lock(m_LogLock);
    m_Log.push_back(transfer);
  }

  mutable std::mutex m_LogLock;
  std::vector<Transfer> m_Log;
};

}  // namespace vq::test
