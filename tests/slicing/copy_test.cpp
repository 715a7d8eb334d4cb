// CopyContentsToSingleVqData: element order, swapped-out elements, and the
// refusals (format, elements that no longer fit their place, bad targets).
#include "slicing_support.h"
#include "support/TraceCapture.h"

namespace vq::test {
namespace {

using CopyTest = SlicingTest;

void ExpectPacked(IVQData* target, uint32_t elements, LONG xs, LONG zs) {
  LONG x = 0, z = 0;
  target->GetSize(0, &x);
  target->GetSize(1, &z);
  ASSERT_EQ(x, xs);
  ASSERT_EQ(z, zs * static_cast<LONG>(elements));
  VQDataBuffer b = Buffer(target);
  ASSERT_NE(b.pDouble, nullptr);
  const size_t perElement = static_cast<size_t>(xs * zs);
  for (uint32_t e = 0; e < elements; ++e)
    for (size_t k = 0; k < perElement; ++k)
      ASSERT_EQ(b.pDouble[e * perElement + k], SlicingTest::Expected(e, k)) << "element " << e << " value " << k;
}

TEST_P(CopyTest, EveryElementOfAnUnevenMatrixOnceAlsoWhenSwappedOut) {
  auto m = Make(2, 3, 4, 5, 3, 2);
  ASSERT_EQ(m->AllSaveToDisk(), S_OK);
  auto target = NewItem();
  TraceCapture trace;
  ASSERT_EQ(m->CopyContentsToSingleVqData(target.get()), S_OK);
  EXPECT_TRUE(trace.Contains("Leaving CopyContentsToSingleVqData"));
  ExpectPacked(target.get(), 120, 3, 2);
}

TEST_P(CopyTest, FormatsWithoutAValuePointerAndTargetsThatAreNoDataItemsAreRefused) {
  for (LONG format : {dataFormatInt32, dataFormatInt16, dataFormatInt64}) {
    auto m = Make(2, 1, 1, 1, 4, 1, format);
    auto target = NewItem();
    TraceCapture trace;
    EXPECT_EQ(m->CopyContentsToSingleVqData(target.get()), E_FAIL) << format;
    EXPECT_TRUE(trace.Contains("Invalid data format")) << format;
  }
  auto m = Make(2, 1, 1, 1, 4, 1);
  EXPECT_EQ(m->CopyContentsToSingleVqData(nullptr), E_POINTER);
  EXPECT_EQ(m->CopyContentsToSingleVqData(m.get()), E_POINTER);
}

TEST_P(CopyTest, ElementThatNoLongerFitsItsPlaceIsRefused) {
  auto m = Make(2, 2, 1, 1, 4, 2);
  // Same format, more values: copied as it is, it would run past the target.
  if (m->put_DataPtr(1, 1, 0, 0, NewItem(40, 2).get()) != S_OK) {
    GTEST_SKIP() << "this storage kind keeps every element in the allocated shape";
  }
  auto target = NewItem();
  TraceCapture trace;
  EXPECT_EQ(m->CopyContentsToSingleVqData(target.get()), E_FAIL);
  EXPECT_TRUE(trace.Contains("does not match the allocation"));
  auto other = Make(2, 1, 1, 1, 4, 2);
  ASSERT_EQ(other->put_DataPtr(0, 0, 0, 0, NewItem(4, 2, dataFormatFloat32).get()), S_OK);
  EXPECT_EQ(other->CopyContentsToSingleVqData(target.get()), E_FAIL);
}

INSTANTIATE_TEST_SUITE_P(Storage, CopyTest, kStorageKinds, KindName);

}  // namespace
}  // namespace vq::test
