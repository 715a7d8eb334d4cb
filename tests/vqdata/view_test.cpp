// An item showing memory it does not own (IVQDataView): which operations
// keep showing it, which take a block of the item's own and what survives,
// whether the lender's memory changes, and that the item's reference on the
// memory's owner goes exactly when the item stops showing it.
#include <cmath>
#include <cstring>
#include <functional>
#include <vector>

#include "dataitem/VQDataView.h"
#include "vqdata/VQDataTestSupport.h"

using namespace vqtest;

namespace {

// A lender: eight doubles 1..8 and a count of the references items hold.
class Lender final : public vq::ComObject<Lender, IUnknown> {
 public:
  double values[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  ULONG Count() {
    AddRef();
    return Release() - 1;  // less the creator's own
  }
};

struct ViewCase {
  const char* name;
  bool writable;
  std::function<HRESULT(IVQData*)> op;
  bool stillShows;     // the item goes on showing the lender's memory
  double lenderFirst;  // the lender's first value afterwards
  double itemFirst;    // the item's first value afterwards (NaN: it holds none)
};

TEST(VQDataView, OperationsDetachOnlyWhereTheyMust) {
  const double none = std::nan("");
  const std::vector<ViewCase> cases = {
      {"read through the view", false, [](IVQData*) { return S_OK; }, true, 1, 1},
      {"setter of a writable view", true, [](IVQData* i) { return i->SetValue(0, 0, 9, 0); }, true, 9, 9},
      {"setter of a read view", false, [](IVQData* i) { return i->SetValue(0, 0, 9, 0); }, false, 1, 9},
      {"record setter of a read view", false,
       [](IVQData* i) {
         const double v[2] = {9, 9};
         return i->SetRecordValues(0, 2, v);
       },
       false, 1, 9},
      {"all values of a read view", false, [](IVQData* i) { return i->SetAllValues(9); }, false, 1, 9},
      {"zeroing a read view", false, [](IVQData* i) { return i->ZeroValues(); }, false, 1, 0},
      {"zeroing a writable view", true, [](IVQData* i) { return i->ZeroValues(); }, true, 0, 0},
      {"reshape", true, [](IVQData* i) { return i->Reshape(8, 1); }, false, 1, 1},
      {"allocate of the same size", true, [](IVQData* i) { return i->Allocate(2, 4, dataFormatFloat64); }, false, 1, 1},
      {"allocate of another format", true, [](IVQData* i) { return i->Allocate(4, 2, dataFormatFloat32); }, false, 1,
       0},
      {"set raw data", true,
       [](IVQData* i) {
         const double v[8] = {9};
         return i->SetRawData(4, 2, dataFormatFloat64, v, sizeof v);
       },
       false, 1, 9},
      {"free data", true, [](IVQData* i) { return i->FreeData(); }, false, 1, none},
      {"clear", true, [](IVQData* i) { return i->Clear(); }, false, 1, none},
  };
  EnsureApartment();
  for (const ViewCase& c : cases) {
    SCOPED_TRACE(c.name);
    auto* lender = vq::MakeComObject<Lender>();
    {
      vq::ComPtr<IVQData> item = NewItem();
      ASSERT_TRUE(item);
      auto view = item.query<IVQDataView>();
      ASSERT_TRUE(view);
      ASSERT_EQ(view->ShowValues(lender, lender->values, 4, 2, dataFormatFloat64, c.writable), S_OK);
      EXPECT_EQ(lender->Count(), 1u);
      ASSERT_EQ(c.op(item.get()), S_OK);
      EXPECT_EQ(view->ShowsValues(lender->values), c.stillShows ? S_OK : S_FALSE);
      EXPECT_EQ(lender->Count(), c.stillShows ? 1u : 0u);
      EXPECT_EQ(lender->values[0], c.lenderFirst);
      double first = none;
      VARIANT_BOOL allocated = VARIANT_FALSE;
      ASSERT_EQ(item->IsAllocated(&allocated), S_OK);
      if (allocated) {
        ASSERT_EQ(item->GetValue(0, 0, &first, nullptr), S_OK);
      }
      if (std::isnan(c.itemFirst)) {
        EXPECT_TRUE(std::isnan(first));
      } else {
        EXPECT_EQ(first, c.itemFirst);
      }
    }
    EXPECT_EQ(lender->Count(), 0u);  // the item's end lets go of the lender
    lender->Release();
  }
}

TEST(VQDataView, DetachedValuesSurviveAndTheItemKeepsItsOwnState) {
  EnsureApartment();
  auto* lender = vq::MakeComObject<Lender>();
  vq::ComPtr<IVQData> item = NewItem();
  ASSERT_EQ(item->SetName(_bstr_t(L"kept").GetBSTR()), S_OK);
  auto view = item.query<IVQDataView>();
  ASSERT_EQ(view->ShowValues(lender, lender->values, 4, 2, dataFormatFloat64, TRUE), S_OK);
  LONG x = 0;
  ASSERT_EQ(item->GetSize(0, &x), S_OK);
  EXPECT_EQ(x, 4);
  ASSERT_EQ(item->Reshape(2, 4), S_OK);
  lender->values[7] = -1;  // the lender's later changes no longer reach the item
  void* raw = nullptr;
  ULONGLONG bytes = 0;
  ASSERT_EQ(item->GetRawData(&raw, &bytes), S_OK);
  ASSERT_EQ(bytes, sizeof lender->values);
  EXPECT_NE(raw, static_cast<void*>(lender->values));
  const double* v = static_cast<const double*>(raw);
  for (int k = 0; k < 7; ++k) EXPECT_EQ(v[k], k + 1.0);
  EXPECT_EQ(v[7], 8.0);
  _bstr_t name;
  ASSERT_EQ(item->GetName(name.GetAddress()), S_OK);
  EXPECT_STREQ(static_cast<const wchar_t*>(name), L"kept");

  // Bad arguments change nothing.
  EXPECT_EQ(view->ShowValues(nullptr, lender->values, 4, 2, dataFormatFloat64, TRUE), E_POINTER);
  EXPECT_EQ(view->ShowValues(lender, nullptr, 4, 2, dataFormatFloat64, TRUE), E_POINTER);
  EXPECT_EQ(view->ShowValues(lender, lender->values, -1, 2, dataFormatFloat64, TRUE), E_INVALIDARG);
  EXPECT_EQ(view->ShowValues(lender, lender->values, 4, 2, 99, TRUE), E_INVALIDARG);
  ASSERT_EQ(item->GetSize(0, &x), S_OK);
  EXPECT_EQ(x, 2);
  item = nullptr;
  view = nullptr;
  EXPECT_EQ(lender->Count(), 0u);
  lender->Release();
}

}  // namespace
