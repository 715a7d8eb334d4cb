#include "memory/Releaser.h"

#include "memory/MemoryBudget.h"

namespace vq {

Releaser::~Releaser() {
  {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Stop = true;
  }
  m_Wake.notify_all();
  if (m_Thread.joinable()) m_Thread.join();
  // The thread empties the queue before it ends; without one, nothing waits.
}

void Releaser::Release(IUnknown* object, uint64_t bytes) noexcept {
  if (object == nullptr) return;
  {
    std::unique_lock<std::mutex> lock(m_Mutex);
    if (!m_NoThread && !m_Stop && m_Queue.size() < kMaxPending) {
      try {
        if (!m_Thread.joinable()) m_Thread = std::thread([this] { Serve(); });
        m_Queue.push_back({object, bytes});
        m_PendingBytes.fetch_add(bytes, std::memory_order_relaxed);
        lock.unlock();
        m_Wake.notify_one();
        return;
      } catch (...) {
        // No thread, or no room in the queue: released here below.
        if (!m_Thread.joinable()) m_NoThread = true;
      }
    }
  }
  object->Release();
}

void Releaser::Drain() noexcept {
  std::unique_lock<std::mutex> lock(m_Mutex);
  m_Done.wait(lock, [this] { return m_Queue.empty() && !m_Busy; });
}

void Releaser::Serve() {
  ReleaseInBackground();
  std::unique_lock<std::mutex> lock(m_Mutex);
  for (;;) {
    m_Wake.wait(lock, [this] { return m_Stop || !m_Queue.empty(); });
    if (m_Queue.empty()) break;  // stopping, and nothing left
    const Entry entry = m_Queue.front();
    m_Queue.pop_front();
    m_Busy = true;
    lock.unlock();
    entry.object->Release();
    // The next reading must see the memory given back before the pending
    // count stops covering it.
    MemoryFreed(m_Env);
    m_PendingBytes.fetch_sub(entry.bytes, std::memory_order_relaxed);
    lock.lock();
    m_Busy = false;
    if (m_Queue.empty()) m_Done.notify_all();
  }
  m_Done.notify_all();
}

}  // namespace vq
