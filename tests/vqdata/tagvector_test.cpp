// Tag vectors: contents, CopyTo and the item-level tag vector operations.
#include <vector>

#include "vqdata/VQDataTestSupport.h"

using namespace vqtest;

namespace {

std::vector<double> ValuesOf(IVQTagVector* t) {
  const LONG n = Get(t, &IVQTagVector::GetCount);
  std::vector<double> v(static_cast<size_t>(n));
  if (n > 0) {
    EXPECT_EQ(t->GetValues(0, n, v.data()), S_OK);
  }
  return v;
}

TEST(VQTagVectors, FourVectorsReachableThroughBothInterfaces) {
  vq::ComPtr<IVQData> item = NewItem();
  vq::ComPtr<IVQDataTagVectors> tv = item.query<IVQDataTagVectors>();
  ASSERT_TRUE(tv);
  for (LONG i = 0; i < 4; ++i) {
    vq::ComPtr<IVQTagVector> a, b;
    ASSERT_EQ(item->GetTagVector(i, a.put()), S_OK);
    ASSERT_EQ(tv->GetTagVector(i, b.put()), S_OK);
    EXPECT_EQ(a.get(), b.get());
    EXPECT_EQ(Get(a.get(), &IVQTagVector::GetIndex), i);
  }
  vq::ComPtr<IVQTagVector> t;
  EXPECT_EQ(tv->GetTagVector(4, t.put()), E_INVALIDARG);
  EXPECT_EQ(tv->GetTagVector(-1, t.put()), E_INVALIDARG);
  EXPECT_EQ(Get(tv.get(), &IVQDataTagVectors::GetTagVectorCount), 4);
}

TEST(VQTagVectors, EditingKeepsOrder) {
  vq::ComPtr<IVQTagVector> t;
  NewItem()->GetTagVector(0, t.put());
  t->Add(1);
  t->Add(3);
  ASSERT_EQ(t->Insert(1, 2), S_OK);
  ASSERT_EQ(t->Insert(3, 4), S_OK);
  EXPECT_EQ(t->Insert(6, 9), E_INVALIDARG);
  EXPECT_EQ(ValuesOf(t.get()), (std::vector<double>{1, 2, 3, 4}));
  ASSERT_EQ(t->Remove(0), S_OK);
  ASSERT_EQ(t->SetValue(2, 40), S_OK);
  EXPECT_EQ(ValuesOf(t.get()), (std::vector<double>{2, 3, 40}));
  DOUBLE v = 0;
  EXPECT_EQ(t->GetValue(3, &v), E_INVALIDARG);
  double out[2];
  EXPECT_EQ(t->GetValues(2, 2, out), E_INVALIDARG);
  EXPECT_EQ(t->GetValues(0x7FFFFFFF, 2, out), E_INVALIDARG);
}

TEST(VQTagVectors, CopyToReplacesTheTargetsContents) {
  vq::ComPtr<IVQTagVector> source, target;
  NewItem()->GetTagVector(1, source.put());
  NewItem()->GetTagVector(1, target.put());
  const double values[] = {0.5, 1.5, 2.5};
  source->SetValues(3, values);
  const double old[] = {99, 98, 97, 96};
  target->SetValues(4, old);
  ASSERT_EQ(source->CopyTo(target.get()), S_OK);
  EXPECT_EQ(ValuesOf(target.get()), (std::vector<double>{0.5, 1.5, 2.5}));
  source->Clear();
  ASSERT_EQ(source->CopyTo(target.get()), S_OK);  // an empty source empties the target
  EXPECT_TRUE(ValuesOf(target.get()).empty());
  EXPECT_EQ(source->CopyTo(nullptr), E_POINTER);
}

TEST(VQTagVectors, ItemCopiesOnlyItsNonEmptyVectors) {
  vq::ComPtr<IVQData> carrier = NewItem(), target = NewItem();
  vq::ComPtr<IVQTagVector> t;
  carrier->GetTagVector(0, t.put());
  t->Add(10);
  carrier->GetTagVector(2, t.put());
  t->Add(20);
  target->GetTagVector(1, t.put());
  t->Add(-1);
  target->GetTagVector(2, t.put());
  t->Add(-2);
  t->Add(-3);
  vq::ComPtr<IVQDataTagVectors> tv = carrier.query<IVQDataTagVectors>();
  EXPECT_EQ(Get(tv.get(), &IVQDataTagVectors::HasTagVectors), VARIANT_TRUE);
  ASSERT_EQ(tv->CopyTagVectorsTo(target.get()), S_OK);
  std::vector<std::vector<double>> expected = {{10}, {-1}, {20}, {}};
  for (LONG i = 0; i < 4; ++i) {
    target->GetTagVector(i, t.put());
    EXPECT_EQ(ValuesOf(t.get()), expected[static_cast<size_t>(i)]) << i;
  }
  ASSERT_EQ(carrier->ClearTagVectors(), S_OK);
  EXPECT_EQ(Get(tv.get(), &IVQDataTagVectors::HasTagVectors), VARIANT_FALSE);
}

}  // namespace
