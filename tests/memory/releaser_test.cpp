// The releaser: what a save hands over is released on another thread, in
// order, counted as pending until then; it never lets more than a few
// references wait, and destruction releases what is left.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "memory/Releaser.h"
#include "support/TestEnvironment.h"

namespace vq::test {
namespace {

// Records the order and thread of its final releases; a release of the
// object marked `gate` waits until the test opens it.
struct Ledger {
  std::mutex mutex;
  std::condition_variable opened;
  bool open = true;
  bool waiting = false;  // a gated release waits at the gate
  std::vector<int> order;
  std::vector<std::thread::id> threads;
};

class Counted final : public IUnknown {
 public:
  Counted(Ledger& ledger, int id, bool gate = false) : m_Ledger(ledger), m_Id(id), m_Gate(gate) {}
  STDMETHODIMP QueryInterface(REFIID, void** out) override {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++m_Count; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG left = --m_Count;
    if (left == 0) {
      std::unique_lock<std::mutex> lock(m_Ledger.mutex);
      if (m_Gate) {
        m_Ledger.waiting = true;
        m_Ledger.opened.notify_all();
        m_Ledger.opened.wait(lock, [this] { return m_Ledger.open; });
      }
      m_Ledger.order.push_back(m_Id);
      m_Ledger.threads.push_back(std::this_thread::get_id());
    }
    return left;
  }

 private:
  Ledger& m_Ledger;
  int m_Id;
  bool m_Gate;
  std::atomic<ULONG> m_Count{1};
};

TEST(ReleaserTest, ReleasesInOrderOnItsThreadAndNeverLetsTooManyWait) {
  MemoryEnvironment env;
  Ledger ledger;
  std::vector<std::unique_ptr<Counted>> objects;
  constexpr int kHeld = static_cast<int>(Releaser::kMaxPending);
  {
    Releaser releaser(env);
    // Opens the gate however the block ends, so that the releaser can end.
    struct Opener {
      ~Opener() {
        {
          std::lock_guard<std::mutex> lock(ledger.mutex);
          ledger.open = true;
        }
        ledger.opened.notify_all();
      }
      Ledger& ledger;
    } opener{ledger};
    ledger.open = false;
    objects.push_back(std::make_unique<Counted>(ledger, 0, true));
    releaser.Release(objects.back().get(), 100);
    {
      std::unique_lock<std::mutex> lock(ledger.mutex);
      ledger.opened.wait(lock, [&] { return ledger.waiting; });
    }
    // The thread is stuck on object 0; the queue fills up to its bound.
    for (int i = 1; i <= kHeld; ++i) {
      objects.push_back(std::make_unique<Counted>(ledger, i));
      releaser.Release(objects.back().get(), 10);
    }
    EXPECT_EQ(releaser.PendingBytes(), 100u + 10u * kHeld);
    // One more is released at once, on the caller's thread.
    objects.push_back(std::make_unique<Counted>(ledger, kHeld + 1));
    releaser.Release(objects.back().get(), 1000);
    {
      std::lock_guard<std::mutex> lock(ledger.mutex);
      ASSERT_EQ(ledger.order, std::vector<int>{kHeld + 1});
      EXPECT_EQ(ledger.threads[0], std::this_thread::get_id());
      ledger.open = true;
    }
    ledger.opened.notify_all();
    releaser.Drain();
    EXPECT_EQ(releaser.PendingBytes(), 0u);
    // Whatever is handed over before destruction is released by it.
    objects.push_back(std::make_unique<Counted>(ledger, kHeld + 2));
    releaser.Release(objects.back().get(), 5);
    releaser.Release(nullptr, 7);
  }
  std::vector<int> expected{kHeld + 1};
  for (int i = 0; i <= kHeld; ++i) expected.push_back(i);
  expected.push_back(kHeld + 2);
  EXPECT_EQ(ledger.order, expected);
  for (size_t i = 1; i < ledger.threads.size(); ++i) EXPECT_NE(ledger.threads[i], std::this_thread::get_id()) << i;
}

}  // namespace
}  // namespace vq::test
