// TestEnvironment.h - the environments of the tests (memory/Environment.h).
//
// MemoryEnvironment: swap files are byte vectors per descriptor (direct ones
// refuse unaligned transfers, as O_DIRECT does; a test may flip a bit of the
// newest), available memory, resident
// size and clock are what the test sets, large buffers come from the heap.
// FaultyEnvironment wraps another one, counts and records swap-file transfers,
// fails chosen calls (punched holes are counted, not recorded) and holds a
// chosen write until the test lets it go. Both may
// be used from a matrix's worker thread while the test changes their
// settings, and must outlive the matrices using them.
#pragma once

#include <sys/types.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "memory/Environment.h"

namespace vq::test {

// Above the threshold of the memory check and the worker's high watermark
// for storage objects up to 56 MiB.
constexpr uint64_t kPlenty = 1ull << 30;
constexpr uint64_t kLow = 100ull << 20;     // below the low-memory threshold

class MemoryEnvironment : public vq::Environment, public vq::SwapFileOps {
 public:
  static constexpr uint32_t kAlignment = 512;

  vq::SwapFileOps& SwapFile() override { return *this; }
  bool MemoryStatus(MEMORYSTATUSEX* status) override {
    if (GetCurrentThreadId() == countReadingsOf.load()) ++readings;
    *status = MEMORYSTATUSEX{sizeof(MEMORYSTATUSEX), 0, 8ull << 30, available.load(), 0, 0, 1ull << 40, 1ull << 40, 0};
    return true;
  }
  uint32_t AccessesPerMemoryReading() const override { return accessesPerReading.load(); }
  uint64_t ResidentBytes() override { return resident.load(); }
  uint64_t NowMs() override { return nowMs.load(); }
  void* AllocateLarge(size_t bytes) override {
    const size_t rounded = (bytes + 4095) / 4096 * 4096;
    void* p = bytes == 0 ? nullptr : std::aligned_alloc(4096, rounded);
    if (p == nullptr) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return p != nullptr ? std::memset(p, 0, rounded) : nullptr;
  }
  void FreeLarge(void* buffer, size_t) override { std::free(buffer); }

  bool TempFolder(std::string* folder, int*) override {
    *folder = "/in-memory/";
    return true;
  }
  int CreateUnlinked(const std::string& folder, const char* prefix, bool direct, bool* isDirect, std::string* name,
                     int*) override {
    std::lock_guard<std::mutex> lock(m_Lock);
    const int fd = m_NextFd++;
    m_Files[fd] = File{direct, {}};
    *isDirect = direct;
    *name = folder + prefix + std::to_string(fd);
    return fd;
  }
  uint32_t DirectAlignment(int) override { return kAlignment; }
  ssize_t WriteAt(int fd, const void* data, size_t size, uint64_t offset, int* error) override {
    std::lock_guard<std::mutex> lock(m_Lock);
    File* file = Find(fd, data, size, offset, error);
    if (file == nullptr) return -1;
    if (file->bytes.size() < offset + size) file->bytes.resize(offset + size);
    if (size != 0) std::memcpy(file->bytes.data() + offset, data, size);
    return static_cast<ssize_t>(size);
  }
  ssize_t ReadAt(int fd, void* data, size_t size, uint64_t offset, int* error) override {
    std::lock_guard<std::mutex> lock(m_Lock);
    File* file = Find(fd, data, size, offset, error);
    if (file == nullptr) return -1;
    const size_t n = offset >= file->bytes.size() ? 0 : std::min<size_t>(size, file->bytes.size() - offset);
    if (n != 0) std::memcpy(data, file->bytes.data() + offset, n);
    return static_cast<ssize_t>(n);
  }
  bool PunchHole(int fd, uint64_t offset, uint64_t length, int* error) override {
    std::lock_guard<std::mutex> lock(m_Lock);
    File* file = Find(fd, nullptr, 0, 0, error);
    if (file == nullptr) return false;
    if (offset < file->bytes.size()) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(length, file->bytes.size() - offset));
      std::memset(file->bytes.data() + offset, 0, n);
    }
    return true;
  }
  void Close(int fd) override {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Files.erase(fd);
  }

  // Flips one bit of the byte at `offset` of the newest swap file, as a
  // failing disk might; false when the file is shorter.
  bool FlipBit(uint64_t offset, uint8_t mask = 0x10) {
    std::lock_guard<std::mutex> lock(m_Lock);
    if (m_Files.empty() || offset >= m_Files.rbegin()->second.bytes.size()) return false;
    m_Files.rbegin()->second.bytes[offset] ^= mask;
    return true;
  }

  std::atomic<uint64_t> available{kPlenty}, resident{0}, nowMs{0};
  // Every access reads unless a test says otherwise: the tests change
  // `available` and expect the next access to act on it.
  std::atomic<uint32_t> accessesPerReading{1};
  // Readings taken by one thread (a client's, not the memory watcher's).
  std::atomic<DWORD> countReadingsOf{0};
  std::atomic<uint64_t> readings{0};

 private:
  struct File {
    bool direct;
    std::vector<uint8_t> bytes;
  };
  // The open file, or null with EBADF, or EINVAL for an unaligned direct transfer.
  File* Find(int fd, const void* data, size_t size, uint64_t offset, int* error) {
    auto it = m_Files.find(fd);
    const bool aligned = (reinterpret_cast<uintptr_t>(data) | size | offset) % kAlignment == 0;
    *error = it == m_Files.end() ? EBADF : (it->second.direct && !aligned ? EINVAL : 0);
    return *error == 0 ? &it->second : nullptr;
  }
  std::mutex m_Lock;
  std::map<int, File> m_Files;
  int m_NextFd = 1000;
};

class FaultyEnvironment : public vq::Environment, public vq::SwapFileOps {
 public:
  struct Transfer {
    bool write;
    const void* address;
    size_t size;
    uint64_t offset;
  };
  explicit FaultyEnvironment(vq::Environment& base = vq::SystemEnvironment()) : m_Base(base) {}

  vq::SwapFileOps& SwapFile() override { return *this; }
  bool MemoryStatus(MEMORYSTATUSEX* status) override { return !failMemoryStatus && m_Base.MemoryStatus(status); }
  void MemoryFreed() override { m_Base.MemoryFreed(); }
  uint32_t AccessesPerMemoryReading() const override { return m_Base.AccessesPerMemoryReading(); }
  uint64_t ResidentBytes() override { return m_Base.ResidentBytes(); }
  uint64_t NowMs() override { return m_Base.NowMs(); }
  void* AllocateLarge(size_t bytes) override {
    if (TakeOne(failAllocation) == 1) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
    size_t largest = largestAllocation.load();
    while (bytes > largest && !largestAllocation.compare_exchange_weak(largest, bytes)) {
    }
    return m_Base.AllocateLarge(bytes);
  }
  void FreeLarge(void* buffer, size_t bytes) override { m_Base.FreeLarge(buffer, bytes); }

  bool TempFolder(std::string* folder, int* error) override { return m_Base.SwapFile().TempFolder(folder, error); }
  int CreateUnlinked(const std::string& folder, const char* prefix, bool direct, bool* isDirect, std::string* name,
                     int* error) override {
    if (failCreate) {
      *error = ENOENT;
      return -1;
    }
    return m_Base.SwapFile().CreateUnlinked(folder, prefix, direct, isDirect, name, error);
  }
  uint32_t DirectAlignment(int fd) override { return m_Base.SwapFile().DirectAlignment(fd); }
  void Close(int fd) override { m_Base.SwapFile().Close(fd); }
  bool PunchHole(int fd, uint64_t offset, uint64_t length, int* error) override {
    ++punches;
    if (TakeOne(failNextPunches)) {
      *error = EIO;
      return false;
    }
    return m_Base.SwapFile().PunchHole(fd, offset, length, error);
  }
  ssize_t WriteAt(int fd, const void* data, size_t size, uint64_t offset, int* error) override {
    Latch();
    ++writes;
    lastWrite = data;
    Record({true, data, size, offset});
    if (failWrites || TakeOne(failNextWrites)) {
      *error = writeErrno;
      return -1;
    }
    if (TakeOne(shortWrites)) {
      // A device that takes half, then (with writeErrno) refuses the rest.
      const ssize_t n = m_Base.SwapFile().WriteAt(fd, data, size / 2, offset, error);
      ++failNextWrites;
      return n;
    }
    return m_Base.SwapFile().WriteAt(fd, data, size, offset, error);
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
    return m_Base.SwapFile().ReadAt(fd, data, size, offset, error);
  }

  // The latch: after HoldNextWrite the next write waits, once it is asked
  // for, until ReleaseWrite. WaitForHeldWrite returns true once a write waits
  // (false after a minute without one, so that a broken test fails instead
  // of hanging).
  void HoldNextWrite() {
    std::lock_guard<std::mutex> lock(m_LatchLock);
    m_HoldNext = true;
    m_Released = false;
  }
  bool WaitForHeldWrite() {
    std::unique_lock<std::mutex> lock(m_LatchLock);
    return m_LatchChanged.wait_for(lock, std::chrono::minutes(1), [this] { return m_Holding; });
  }
  void ReleaseWrite() {
    std::lock_guard<std::mutex> lock(m_LatchLock);
    m_HoldNext = false;
    m_Released = true;
    m_LatchChanged.notify_all();
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
  // Faults: while set, every write fails (with writeErrno), every read (EIO),
  // the swap file's creation (ENOENT: no folder) and the memory reading...
  std::atomic<bool> failWrites{false}, failReads{false}, failCreate{false}, failMemoryStatus{false};
  // ... or only the next so many writes and reads; a short write moves half,
  // then the next write fails; an end-of-file read moves nothing; the n-th
  // large allocation from now fails (0: none).
  std::atomic<int> failNextWrites{0}, failNextReads{0}, shortWrites{0}, eofReads{0}, failAllocation{0};
  std::atomic<int> writeErrno{ENOSPC};
  // Holes punched (asked for), the next so many of which fail (EIO), and
  // the largest large allocation asked for (a test may reset it).
  std::atomic<int> punches{0}, failNextPunches{0};
  std::atomic<size_t> largestAllocation{0};

 private:
  // Uses up one of a budget of faults: the budget before (0: none left).
  static int TakeOne(std::atomic<int>& budget) {
    int left = budget.load();
    while (left > 0 && !budget.compare_exchange_weak(left, left - 1)) {
    }
    return left;
  }
  void Latch() {
    std::unique_lock<std::mutex> lock(m_LatchLock);
    if (!m_HoldNext) return;
    m_HoldNext = false;
    m_Holding = true;
    m_LatchChanged.notify_all();
    m_LatchChanged.wait(lock, [this] { return m_Released; });
    m_Holding = false;
  }
  void Record(const Transfer& transfer) {
    std::lock_guard<std::mutex> lock(m_LogLock);
    m_Log.push_back(transfer);
  }

  vq::Environment& m_Base;
  mutable std::mutex m_LogLock;
  std::vector<Transfer> m_Log;
  std::mutex m_LatchLock;
  std::condition_variable m_LatchChanged;
  bool m_HoldNext = false, m_Holding = false, m_Released = false;
};

}  // namespace vq::test
