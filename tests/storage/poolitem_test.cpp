// Pool items: subset comparison, item replacement and reuse, and what
// happens to an item a client still holds.
#include <gtest/gtest.h>

#include "storage/PoolItem.h"
#include "support/FakeDataItem.h"
#include "support/TraceCapture.h"

namespace vq::test {
namespace {

class PoolItemTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))); }
  void TearDown() override { CoUninitialize(); }

  static vq::ComPtr<IVQData> Fake(const std::shared_ptr<DataItemProbe>& probe, LONG x = 4) {
    auto item = FakeDataItem::Make(probe, x, 1);
    EXPECT_TRUE(item);
    return item;
  }
  static LONG XSize(IVQData* item) {
    LONG x = -1;
    item->GetSize(0, &x);
    return x;
  }
};

using Subset = CPoolItem::Subset;

TEST_F(PoolItemTest, SubsetComparisonRules) {
  auto probe = std::make_shared<DataItemProbe>();
  auto item = Fake(probe);
  const Subset whole = CPoolItem::kWholeElement;
  const Subset held{2, 1, 7, 3};
  struct Case {
    Subset held;
    Subset request;
    int expected;
  } cases[] = {
      {whole, whole, 0},
      {whole, {0, 0, 0, 0}, -1},          // the whole element covers any part
      {whole, {5, 2, 9, 2}, -1},
      {held, held, 0},
      {held, {3, 1, 7, 3}, -1},           // inside
      {held, {2, 2, 6, 2}, -1},
      {held, {1, 1, 7, 3}, 1},            // starts before on x
      {held, {2, 0, 7, 3}, 1},            // starts before on records
      {held, {2, 1, 8, 3}, 1},            // ends after on x
      {held, {2, 1, 7, 4}, 1},            // ends after on records
      {held, whole, 1},                   // a part never covers the whole element
      {{0, 0, 9, 2}, {0, 0, -1, 0}, -1},  // signed: -1 lies below 9
      {{0, 0, 9, 2}, {-1, 0, 5, 0}, 1},   // signed: -1 lies before 0
  };
  for (const Case& c : cases) {
    CPoolItem pool(0, {}, {}, item.get(), false, &c.held);
    EXPECT_EQ(pool.CompareSubset(c.request), c.expected)
        << "held " << c.held.FirstX << "," << c.held.FirstRecord << "," << c.held.LastX << "," << c.held.LastRecord
        << " request " << c.request.FirstX << "," << c.request.FirstRecord << "," << c.request.LastX << ","
        << c.request.LastRecord;
  }
  CPoolItem none(0, {}, {}, item.get(), false, nullptr);
  EXPECT_FALSE(none.HasSubset());
  const Subset oneValue{-1, -1, -1, 0};  // any value other than -1 makes a subset
  CPoolItem part(0, {}, {}, item.get(), false, &oneValue);
  EXPECT_TRUE(part.HasSubset());
  Subset out{};
  part.GetSubset(&out);
  EXPECT_EQ(out.LastRecord, 0);
  EXPECT_EQ(out.FirstX, -1);
}

TEST_F(PoolItemTest, HoldsOneReferenceAndReadsTheLockStateFromIt) {
  auto probe = std::make_shared<DataItemProbe>();
  auto item = Fake(probe);
  {
    CPoolItem pool(3, CAxisManager::Ref::Unowned(1), CAttributeManager::Ref::Unowned(2), item.get(), true, nullptr);
    EXPECT_EQ(pool.RefCount(), 2u);  // the pool's and the test's
  }
  EXPECT_EQ(probe->freeDataCalls, 0);  // the test still held it
  EXPECT_EQ(XSize(item.get()), 4);

  // An object that is no data item leaves the pool item empty, without error.
  vq::ComPtr<IStream> stream;
  ASSERT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, stream.put()), S_OK);
  CPoolItem empty(0, {}, {}, stream.get(), false, nullptr);
  EXPECT_EQ(empty.DataItem(), nullptr);
  EXPECT_EQ(empty.RefCount(), 0u);
}

TEST_F(PoolItemTest, SetKeepsTheSameItemAndFreesAnotherOnlyWhenNobodyHoldsIt) {
  auto probe = std::make_shared<DataItemProbe>();
  CPoolItem pool(0, {}, {}, Fake(probe).get(), false, nullptr);
  ASSERT_EQ(pool.RefCount(), 1u);
  // The same object, reached through another interface pointer.
  vq::ComPtr<IUnknown> unknown;
  pool.DataItem()->QueryInterface(IID_IUnknown, unknown.put_void());
  const Subset part{1, 0, 2, 0};
  pool.Set(5, CAxisManager::Ref::Unowned(7), CAttributeManager::Ref::Unowned(8), unknown.get(), true, &part);
  unknown = nullptr;
  EXPECT_EQ(probe->freeDataCalls, 0);
  EXPECT_EQ(XSize(pool.DataItem()), 4);
  EXPECT_EQ(pool.Slot(), 5u);
  EXPECT_EQ(pool.AxisId(), 7u);
  EXPECT_TRUE(pool.HasSubset());

  // Another item: the old one is freed, nobody holds it.
  auto newProbe = std::make_shared<DataItemProbe>();
  auto replacement = Fake(newProbe);
  pool.Set(1, {}, {}, replacement.get(), false, nullptr);
  EXPECT_EQ(probe->freeDataCalls, 1);
  EXPECT_TRUE(probe->destroyed);
  EXPECT_EQ(pool.DataItem(), replacement.get());

  // A client holds the current item: it keeps its values and its object.
  auto third = Fake(std::make_shared<DataItemProbe>());
  pool.Set(2, {}, {}, third.get(), false, nullptr);
  EXPECT_EQ(newProbe->freeDataCalls, 0);
  EXPECT_FALSE(newProbe->destroyed);
  EXPECT_EQ(XSize(replacement.get()), 4);
  ULONG count = (replacement->AddRef(), replacement->Release());
  EXPECT_EQ(count, 1u);  // the pool's reference went
}

TEST_F(PoolItemTest, ReuseKeepsItemAndIdsAndTakesTheNewSlot) {
  auto probe = std::make_shared<DataItemProbe>();
  const Subset part{0, 1, 3, 1};
  CPoolItem pool(2, CAxisManager::Ref::Unowned(4), CAttributeManager::Ref::Unowned(5), Fake(probe).get(), true,
                 nullptr);
  IVQData* before = pool.DataItem();
  pool.Reuse(9, false, &part);
  EXPECT_EQ(pool.DataItem(), before);
  EXPECT_EQ(pool.Slot(), 9u);
  EXPECT_EQ(pool.AxisId(), 4u);
  EXPECT_EQ(pool.AttributeId(), 5u);
  EXPECT_FALSE(pool.Writable());
  EXPECT_EQ(pool.CompareSubset(part), 0);
  pool.Reuse(1, true, nullptr);
  EXPECT_FALSE(pool.HasSubset());
  EXPECT_EQ(probe->freeDataCalls, 0);
}

TEST_F(PoolItemTest, DestroyingAHeldItemTracesTheCountAndLeavesTheClientsValues) {
  TraceCapture trace;
  auto probe = std::make_shared<DataItemProbe>();
  auto held = Fake(probe);
  { CPoolItem pool(6, {}, {}, held.get(), false, nullptr); }
  EXPECT_TRUE(trace.Contains("~CPoolItem(6): refCount=2"));
  EXPECT_EQ(probe->freeDataCalls, 0);
  EXPECT_EQ(XSize(held.get()), 4);

  // Nobody else holds it: its values are freed with it, without a trace.
  auto freeProbe = std::make_shared<DataItemProbe>();
  { CPoolItem pool(7, {}, {}, Fake(freeProbe).get(), false, nullptr); }
  EXPECT_EQ(freeProbe->freeDataCalls, 1);
  EXPECT_TRUE(freeProbe->destroyed);
  EXPECT_FALSE(trace.Contains("~CPoolItem(7)"));
}

TEST_F(PoolItemTest, FailedFreeDataIsRaisedAfterTheNewItemIsInPlace) {
  auto probe = std::make_shared<DataItemProbe>();
  probe->failFreeData = true;
  CPoolItem pool(0, {}, {}, Fake(probe).get(), false, nullptr);
  auto next = Fake(std::make_shared<DataItemProbe>());
  HRESULT raised = S_OK;
  try {
    pool.Set(1, {}, {}, next.get(), false, nullptr);
  } catch (const _com_error& e) {
    raised = e.Error();
  }
  EXPECT_EQ(raised, E_ACCESSDENIED);
  EXPECT_EQ(pool.DataItem(), next.get());
  EXPECT_TRUE(probe->destroyed);
  // Discard reports it too; the destructor swallows it.
  CPoolItem other(0, {}, {}, Fake(probe).get(), false, nullptr);
  EXPECT_EQ(other.Discard(), E_ACCESSDENIED);
  EXPECT_EQ(other.DataItem(), nullptr);
}

}  // namespace
}  // namespace vq::test
