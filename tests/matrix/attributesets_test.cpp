// The attribute sets of a long acquisition: every element gets its own set
// (a run number), then the elements change it. The manager keeps the sets in
// use only, and a new set's lookup compares no stored set but its equal.
#include "storage/AttributeManager.h"
#include "support/MatrixFixture.h"

namespace vq::test {
namespace {

class KindAttributeSetTest : public KindTest {
 protected:
  static vq::ComPtr<IVQData> RunNumber(LONG run) {
    auto item = NewItem(1, 1);
    EXPECT_EQ(item->AddAttribute(_bstr_t(L"Run").GetBSTR(), _bstr_t(L"Number").GetBSTR(), _bstr_t(L"").GetBSTR(),
                                 _variant_t(run)),
              S_OK);
    return item;
  }
};
INSTANTIATE_TEST_SUITE_P(BothKinds, KindAttributeSetTest, kStorageKinds, KindName);

// Sets by d4 (put AttributesDataPtr): every element its own, then one for all.
TEST_P(KindAttributeSetTest, SetsNoElementUsesAreDroppedAndLookupsDoNotWalkTheTable) {
  constexpr LONG kElements = 10000;
  auto m = NewMatrix(1, 1, 1, kElements, 4, 1, dataFormatFloat64, GetParam());
  const CAttributeManager* sets = Impl(m.get())->AttributeManager();
  ASSERT_NE(sets, nullptr);
  for (LONG d4 = 0; d4 < kElements; ++d4) ASSERT_EQ(m->put_AttributesDataPtr(d4, RunNumber(d4).get()), S_OK);
  EXPECT_EQ(sets->Count(), static_cast<uint32_t>(kElements));

  // A new set and a known one: each compares at most its equal.
  uint64_t before = sets->Comparisons();
  ASSERT_EQ(m->put_AttributesDataPtr(0, RunNumber(kElements).get()), S_OK);
  EXPECT_LE(sets->Comparisons() - before, 1u);
  before = sets->Comparisons();
  ASSERT_EQ(m->put_AttributesDataPtr(1, RunNumber(2).get()), S_OK);
  EXPECT_LE(sets->Comparisons() - before, 1u);
  // Runs 0 and 1 went with the elements that used them.
  EXPECT_EQ(sets->Count(), static_cast<uint32_t>(kElements - 1));

  for (LONG d4 = 0; d4 < kElements; ++d4) ASSERT_EQ(m->put_AttributesDataPtr(d4, RunNumber(-1).get()), S_OK);
  EXPECT_EQ(sets->Count(), 1u);
  // The elements show the common set, swapped out or not.
  ASSERT_EQ(m->AllSaveToDisk(), S_OK);
  _variant_t run;
  auto item = Get(m.get(), 0, 0, 0, kElements - 1, false);
  ASSERT_EQ(item->GetAttributeValue(_bstr_t(L"Run").GetBSTR(), _bstr_t(L"Number").GetBSTR(), run.GetAddress()), S_OK);
  EXPECT_EQ(static_cast<LONG>(run), -1);
}

// Sets the clients wrote into the elements' items, recorded at each save.
TEST_P(KindAttributeSetTest, SetsRecordedFromWrittenElementsAreDroppedWhenTheyChange) {
  constexpr LONG kElements = 1000;
  auto m = NewMatrix(10, 1, 1, kElements / 10, 4, 1, dataFormatFloat64, GetParam());
  const CAttributeManager* sets = Impl(m.get())->AttributeManager();
  auto writeAll = [&](auto run) {
    for (LONG d4 = 0; d4 < kElements / 10; ++d4) {
      for (LONG d1 = 0; d1 < 10; ++d1) {
        auto item = Get(m.get(), d1, 0, 0, d4);
        ASSERT_TRUE(item);
        ASSERT_EQ(item->ClearAttributes(), S_OK);
        ASSERT_EQ(item->AddAttribute(_bstr_t(L"Run").GetBSTR(), _bstr_t(L"Number").GetBSTR(), _bstr_t(L"").GetBSTR(),
                                     _variant_t(static_cast<LONG>(run(d4 * 10 + d1)))),
                  S_OK);
      }
    }
    ASSERT_EQ(m->AllSaveToDisk(), S_OK);
  };
  writeAll([](LONG e) { return e; });
  EXPECT_EQ(sets->Count(), static_cast<uint32_t>(kElements));
  writeAll([](LONG) { return -1; });
  EXPECT_EQ(sets->Count(), 1u);
}

}  // namespace
}  // namespace vq::test
