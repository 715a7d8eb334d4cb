// The swap queue: order, locked objects, the once-per-stretch trace.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "memory/PriorityManager.h"
#include "support/TraceCapture.h"

namespace {

// A storage object whose lock state the test sets.
struct FakeStorage {
  bool locked = false;
};

// The table of objects as the queue sees it: a null entry or a locked object
// may not be saved.
class FakeTable final : public CPriorityManager::Table {
 public:
  std::vector<std::unique_ptr<FakeStorage>> objects;
  size_t Size() const override { return objects.size(); }
  bool MaySave(uint32_t index) const override { return objects[index] != nullptr && !objects[index]->locked; }
  void push_back(std::unique_ptr<FakeStorage> object) { objects.push_back(std::move(object)); }
  void resize(size_t size) { objects.resize(size); }
};

constexpr LONG kLifo = 1;  // elementPriorityLifo

class PriorityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int i = 0; i < 5; ++i) table.push_back(std::make_unique<FakeStorage>());
    ASSERT_TRUE(queue.Initialize(5, &table));
    CPriorityManager::s_ReportNoneSwappable = true;
  }
  FakeStorage& At(size_t i) { return *table.objects[i]; }
  FakeTable table;
  CPriorityManager queue;
};

TEST_F(PriorityTest, PushMovesAnIndexToTheBackOnce) {
  queue.PushPriority(3);
  queue.PushPriority(1);
  queue.PushPriority(3);
  queue.PushPriority(7);  // beyond the count: ignored
  EXPECT_EQ(queue.Snapshot(), (std::vector<uint32_t>{1, 3}));
  EXPECT_EQ(queue.Length(), 2u);
  EXPECT_FALSE(queue.RemovePriority(2));
  EXPECT_TRUE(queue.RemovePriority(1));
  EXPECT_FALSE(queue.RemovePriority(1));
  EXPECT_EQ(queue.Snapshot(), (std::vector<uint32_t>{3}));
}

// A batch of pushes (one lock for a slice's group of objects) leaves the
// queue exactly as the same pushes one by one do, repeats of the back index
// and indices beyond the count included, between pops that take objects out.
TEST_F(PriorityTest, BatchPushEqualsThePushesInTurn) {
  CPriorityManager single;
  ASSERT_TRUE(single.Initialize(5, &table));
  uint32_t state = 12345;
  auto next = [&](uint32_t bound) {
    state = state * 1103515245u + 12345u;
    return (state >> 16) % bound;
  };
  for (int round = 0; round < 200; ++round) {
    std::vector<uint32_t> batch(next(6));
    for (uint32_t& i : batch) i = next(4) == 0 && !batch.empty() ? batch.front() : next(7);
    queue.PushPriority(batch.data(), batch.size());
    for (uint32_t i : batch) single.PushPriority(i);
    ASSERT_EQ(queue.Snapshot(), single.Snapshot()) << "round " << round;
    ASSERT_EQ(queue.Length(), single.Length());
    if (next(3) == 0) {
      uint32_t a = 99, b = 99;
      ASSERT_EQ(queue.PopPriority(&a), single.PopPriority(&b));
      ASSERT_EQ(a, b);
    }
  }
}

// A table that grows while it is queued (Read adds storage objects as the
// elements of a stream arrive): the queue keeps its order and takes the new
// indices; it never shrinks.
TEST_F(PriorityTest, GrowKeepsTheQueueAndTakesNewIndices) {
  queue.PushPriority(4);
  queue.PushUntouched(2);
  queue.PushPriority(0);
  queue.PushPriority(6);  // not yet in the table: ignored
  for (int i = 5; i < 300; ++i) table.push_back(std::make_unique<FakeStorage>());
  for (uint32_t count = 6; count <= 300; ++count) ASSERT_TRUE(queue.Grow(count));
  EXPECT_TRUE(queue.Grow(3));  // smaller: nothing changes
  queue.PushPriority(6);
  queue.PushPriority(299);
  queue.PushPriority(300);  // beyond the grown count: ignored
  EXPECT_EQ(queue.Snapshot(), (std::vector<uint32_t>{4, 0, 6, 299, 2}));
  uint32_t picked = 0;
  ASSERT_TRUE(queue.PopPriority(&picked));
  EXPECT_EQ(picked, 4u);
  ASSERT_TRUE(queue.RemovePriority(299));
  EXPECT_EQ(queue.Snapshot(), (std::vector<uint32_t>{0, 6, 2}));
}

// Objects the allocation queued and nobody used since go last, whatever the
// order; using one makes it an ordinary most recently used entry.
TEST_F(PriorityTest, UntouchedObjectsArePickedOnlyWhenNoUsedOneCanGo) {
  for (uint32_t i = 0; i < 5; ++i) queue.PushUntouched(i);
  queue.PushPriority(3);
  queue.PushPriority(1);
  EXPECT_EQ(queue.Snapshot(), (std::vector<uint32_t>{3, 1, 0, 2, 4}));
  EXPECT_EQ(queue.Length(), 5u);
  At(1).locked = true;
  uint32_t picked = 99;
  ASSERT_TRUE(queue.PopPriority(&picked));
  EXPECT_EQ(picked, 3u);
  ASSERT_TRUE(queue.PopPriority(&picked));
  EXPECT_EQ(picked, 0u) << "the used object 1 is held: the oldest untouched one goes";
  queue.SetPriorityType(kLifo);
  ASSERT_TRUE(queue.PopPriority(&picked));
  EXPECT_EQ(picked, 4u);
  EXPECT_TRUE(queue.RemovePriority(2));
  EXPECT_EQ(queue.Snapshot(), (std::vector<uint32_t>{1}));
  EXPECT_FALSE(queue.PopPriority(&picked));
  At(1).locked = false;
  queue.PushUntouched(2);
  queue.Clear();
  EXPECT_EQ(queue.Length(), 0u);
  queue.PushPriority(2);  // no stale "untouched" mark survives the clear
  EXPECT_EQ(queue.Snapshot(), (std::vector<uint32_t>{2}));
}

TEST_F(PriorityTest, FifoAndLifoPickOppositeEnds) {
  for (uint32_t i : {3u, 1u, 2u}) queue.PushPriority(i);
  uint32_t picked = 99;
  ASSERT_TRUE(queue.PopPriority(&picked));
  EXPECT_EQ(picked, 3u);
  queue.PushPriority(3);  // now 1, 2, 3
  queue.SetPriorityType(kLifo);
  ASSERT_TRUE(queue.PopPriority(&picked));
  EXPECT_EQ(picked, 3u);
  // Any value other than first-in-first-out behaves as last-in-first-out.
  queue.SetPriorityType(7);
  EXPECT_EQ(queue.GetPriorityType(), 7);
  ASSERT_TRUE(queue.PopPriority(&picked));
  EXPECT_EQ(picked, 2u);
}

TEST_F(PriorityTest, LockedObjectsAreSkippedAndStayQueued) {
  for (uint32_t i : {0u, 1u, 2u}) queue.PushPriority(i);
  At(0).locked = true;
  uint32_t picked = 99;
  ASSERT_TRUE(queue.PopPriority(&picked));
  EXPECT_EQ(picked, 1u);
  queue.SetPriorityType(kLifo);
  At(2).locked = true;
  EXPECT_FALSE(queue.PopPriority(&picked));
  EXPECT_EQ(queue.Snapshot(), (std::vector<uint32_t>{0, 2}));
}

// Held objects are parked: a pop looks at each once per use, so later pops
// look at a bounded number of entries however many are held, in either
// order, and a parked object comes back by its next use or when a pop finds
// it released.
TEST_F(PriorityTest, HeldObjectsCostAPopABoundedNumberOfLooks) {
  constexpr uint32_t kObjects = 20000, kFree = 10;
  for (uint32_t i = 5; i < kObjects; ++i) table.push_back(std::make_unique<FakeStorage>());
  for (LONG order : {CPriorityManager::kFirstInFirstOut, kLifo}) {
    ASSERT_TRUE(queue.Initialize(kObjects, &table));
    queue.SetPriorityType(order);
    const bool fifo = order == CPriorityManager::kFirstInFirstOut;
    // The held objects lie at the end the order pops first.
    for (uint32_t i = 0; i < kObjects; ++i) {
      At(i).locked = fifo ? i < kObjects - kFree : i >= kFree;
      queue.PushPriority(i);
    }
    uint32_t picked = 0;
    ASSERT_TRUE(queue.PopPriority(&picked));  // parks every held object on the way
    EXPECT_EQ(picked, fifo ? kObjects - kFree : kFree - 1);
    EXPECT_EQ(queue.Length(), kObjects - 1) << "parked objects stay queued";
    auto looks = [&](bool expected, uint32_t* index) {
      const uint64_t before = queue.Examined();
      EXPECT_EQ(queue.PopPriority(index), expected);
      return queue.Examined() - before;
    };
    for (uint32_t n = 1; n < kFree; ++n) EXPECT_EQ(looks(true, &picked), 1u);
    for (int n = 0; n < 3; ++n) EXPECT_LE(looks(false, &picked), CPriorityManager::kParkedLooks);
    // A use brings a held object back to the most recently used end.
    const uint32_t used = fifo ? 7 : kObjects - 7;
    queue.PushPriority(used);
    At(used).locked = false;
    EXPECT_EQ(looks(true, &picked), 1u);
    EXPECT_EQ(picked, used);
    // A release shows within one walk of the parked list, a few looks a pop.
    const uint32_t released = kObjects / 2;
    At(released).locked = false;
    uint32_t pops = 0;
    bool found = false;
    while (!found && pops <= kObjects / CPriorityManager::kParkedLooks + 1) {
      const uint64_t before = queue.Examined();
      found = queue.PopPriority(&picked);
      EXPECT_LE(queue.Examined() - before, CPriorityManager::kParkedLooks);
      ++pops;
    }
    ASSERT_TRUE(found);
    EXPECT_EQ(picked, released);
    EXPECT_EQ(queue.Length(), kObjects - kFree - 2);
    EXPECT_EQ(queue.Snapshot().size(), queue.Length());
  }
  table.resize(5);
  ASSERT_TRUE(queue.Initialize(5, &table));
}

// The queue's order rules as plain lists, front first: used, untouched and
// parked objects. A pop walks the used and then the untouched list from the
// end its order pops, parking the held objects it meets, and then looks at
// up to kParkedLooks parked ones, rotating those still held to the other end.
class ListModel {
 public:
  explicit ListModel(uint32_t count) : m_Count(count) {}
  void Use(uint32_t i) { Append(i, kUsed); }
  void PushUntouched(uint32_t i) { Append(i, kUntouched); }
  bool Remove(uint32_t i) {
    for (auto& list : m_Lists) {
      if (auto at = std::find(list.begin(), list.end(), i); at != list.end()) {
        list.erase(at);
        return true;
      }
    }
    return false;
  }
  void Clear() {
    for (auto& list : m_Lists) list.clear();
  }
  void Grow(uint32_t count) { m_Count = std::max(m_Count, count); }
  bool Pop(bool fifo, const CPriorityManager::Table& table, uint32_t* picked) {
    for (int l : {kUsed, kUntouched}) {
      std::vector<uint32_t> walk = m_Lists[l];
      if (!fifo) std::reverse(walk.begin(), walk.end());
      for (uint32_t i : walk) {
        if (i >= table.Size()) return false;
        Remove(i);
        if (table.MaySave(i)) {
          *picked = i;
          return true;
        }
        m_Lists[kParked].push_back(i);
      }
    }
    auto& parked = m_Lists[kParked];
    for (uint32_t n = 0, first = UINT32_MAX; n < CPriorityManager::kParkedLooks && !parked.empty(); ++n) {
      const uint32_t i = fifo ? parked.front() : parked.back();
      if (i == first) break;
      if (first == UINT32_MAX) first = i;
      if (i >= table.Size()) return false;
      Remove(i);
      if (table.MaySave(i)) {
        *picked = i;
        return true;
      }
      parked.insert(fifo ? parked.end() : parked.begin(), i);
    }
    return false;
  }
  std::vector<uint32_t> Order() const {
    std::vector<uint32_t> order;
    for (const auto& list : m_Lists) order.insert(order.end(), list.begin(), list.end());
    return order;
  }

 private:
  enum { kUsed, kUntouched, kParked };
  void Append(uint32_t i, int list) {
    if (i >= m_Count) return;
    Remove(i);
    m_Lists[list].push_back(i);
  }
  uint32_t m_Count;
  std::vector<uint32_t> m_Lists[3];
};

// Element access records its uses with Touch, which applies them late: the
// queue must still pop in the order of the plain lists for any sequence of
// uses (runs longer than the ring included), pushes, removals, held objects,
// both orders, growth and clears.
TEST_F(PriorityTest, TouchedUsesPopInTheOrderOfThePlainLists) {
  constexpr uint32_t kObjects = 40;
  for (uint32_t i = 5; i < kObjects + 8; ++i) table.push_back(std::make_unique<FakeStorage>());
  ASSERT_TRUE(queue.Initialize(kObjects, &table));
  ListModel model(kObjects);
  vq::CriticalSection dataLock;  // the matrix's m_DataLock
  uint32_t count = kObjects, state = 2024;
  auto next = [&](uint32_t bound) {
    state = state * 1103515245u + 12345u;
    return (state >> 8) % bound;
  };
  for (int step = 0; step < 20000; ++step) {
    const uint32_t i = next(count + 2);  // now and then beyond the count: ignored
    switch (next(12)) {
      case 0:
      case 1:
      case 2: {  // a run of uses, sometimes longer than the ring
        const uint32_t run = next(4) == 0 ? CPriorityManager::kTouchSlots + next(300) : next(8);
        vq::CritSecLock lock(dataLock);
        for (uint32_t k = 0; k < run; ++k) {
          const uint32_t used = next(3) == 0 ? i : next(count + 1);  // repeats of one object too
          queue.Touch(used, dataLock);
          model.Use(used);
        }
        break;
      }
      case 3:
        queue.PushPriority(i);
        model.Use(i);
        break;
      case 4:
        queue.PushUntouched(i);
        model.PushUntouched(i);
        break;
      case 5:
        ASSERT_EQ(queue.RemovePriority(i), model.Remove(i)) << "step " << step;
        break;
      case 6:
        if (i < table.Size()) At(i).locked = !At(i).locked;
        break;
      case 7:
        queue.SetPriorityType(next(2) == 0 ? CPriorityManager::kFirstInFirstOut : kLifo);
        break;
      case 8:
        if (next(50) == 0) {
          queue.Clear();
          model.Clear();
        } else if (next(50) == 0 && count < table.Size()) {
          ASSERT_TRUE(queue.Grow(++count));
          model.Grow(count);
        }
        break;
      case 9:
        ASSERT_EQ(queue.Snapshot(), model.Order()) << "step " << step;
        ASSERT_EQ(queue.Length(), model.Order().size());
        break;
      default: {
        uint32_t picked = UINT32_MAX, expected = UINT32_MAX;
        const bool fifo = queue.GetPriorityType() == CPriorityManager::kFirstInFirstOut;
        ASSERT_EQ(queue.PopPriority(&picked), model.Pop(fifo, table, &expected)) << "step " << step;
        ASSERT_EQ(picked, expected) << "step " << step;
        break;
      }
    }
  }
}

TEST_F(PriorityTest, NoneSwappableIsReportedOncePerStretch) {
  vq::test::TraceCapture trace;
  for (uint32_t i : {0u, 1u}) queue.PushPriority(i);
  At(0).locked = At(1).locked = true;
  uint32_t picked = 0;
  EXPECT_FALSE(queue.PopPriority(&picked));
  EXPECT_FALSE(queue.PopPriority(&picked));
  EXPECT_EQ(trace.Count("None of the 2/5 elements can be swapped out"), 1u);
  // The flag comes back only when a first-in-first-out pop empties the queue.
  At(0).locked = At(1).locked = false;
  ASSERT_TRUE(queue.PopPriority(&picked));
  EXPECT_FALSE(CPriorityManager::s_ReportNoneSwappable);
  ASSERT_TRUE(queue.PopPriority(&picked));
  EXPECT_TRUE(CPriorityManager::s_ReportNoneSwappable);
  // With one queued object the condition clears the flag without a line.
  queue.PushPriority(4);
  At(4).locked = true;
  EXPECT_FALSE(queue.PopPriority(&picked));
  EXPECT_FALSE(CPriorityManager::s_ReportNoneSwappable);
  EXPECT_EQ(trace.Count("None of the"), 1u);
}

TEST_F(PriorityTest, StaleIndicesStopThePop) {
  vq::test::TraceCapture trace;
  queue.PushPriority(4);
  table.resize(3);  // the table shrank under a queued index
  uint32_t picked = 0;
  EXPECT_FALSE(queue.PopPriority(&picked));
  EXPECT_TRUE(trace.Contains("Trying to pop element 4 of 3"));
  EXPECT_EQ(queue.Length(), 1u);
  queue.Clear();
  EXPECT_EQ(queue.Length(), 0u);
  EXPECT_FALSE(queue.PopPriority(&picked));
}

}  // namespace
