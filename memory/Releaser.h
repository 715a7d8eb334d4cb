// Releaser.h - lets go of swapped-out memory on a thread of its own.
//
// A save ends by freeing the values it wrote: the last reference of a data
// item, or of a packed buffer, whose memory is then unmapped. Unmapping 1 MiB
// takes about a quarter of the time of writing it to the swap file, time the
// saving thread (the memory watcher, or the client in AllSaveToDisk) need not
// wait for: it hands the reference over and goes on with the next write.
//
// The memory counts as available from the hand-over on (PendingBytes), so
// that the memory watcher does not save one object more for memory that is
// about to be given back. A hand-over runs at once on the caller's thread
// when the thread cannot be started, or when kMaxPending references wait
// already (so memory never piles up behind a slow thread). Destruction
// releases whatever still waits before it returns.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

#include "VQPlatform.h"
#include "memory/Environment.h"

namespace vq {

class Releaser {
 public:
  static constexpr size_t kMaxPending = 16;

  // env: whose cached memory readings a release makes stale; outlives this.
  explicit Releaser(Environment& env) : m_Env(env) {}
  ~Releaser();
  Releaser(const Releaser&) = delete;
  Releaser& operator=(const Releaser&) = delete;

  // Releases `object`, which holds `bytes` of memory, on the thread; takes
  // the caller's reference. Null is ignored.
  void Release(IUnknown* object, uint64_t bytes) noexcept;
  // Bytes handed over and not released yet.
  uint64_t PendingBytes() const noexcept { return m_PendingBytes.load(std::memory_order_relaxed); }
  // Returns once everything handed over before the call is released.
  void Drain() noexcept;

 private:
  struct Entry {
    IUnknown* object;
    uint64_t bytes;
  };
  void Serve();

  Environment& m_Env;
  std::mutex m_Mutex;
  std::condition_variable m_Wake, m_Done;
  std::deque<Entry> m_Queue;  // guarded by m_Mutex
  bool m_Busy = false;        // the thread releases an entry it took
  bool m_Stop = false;
  bool m_NoThread = false;
  std::thread m_Thread;
  std::atomic<uint64_t> m_PendingBytes{0};
};

}  // namespace vq
