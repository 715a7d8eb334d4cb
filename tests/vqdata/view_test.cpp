// An item showing memory it does not own (IVQDataView): which operations detach
// it, what the lender and the item hold then, and the lender's reference count.
#include <cmath>
#include <functional>
#include <vector>

#include "dataitem/VQDataView.h"
#include "vqdata/VQDataTestSupport.h"

using namespace vqtest;

namespace {

constexpr double k9 = 9;

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
      {"record setter, read view", false, [](IVQData* i) { return i->SetRecordValues(0, 1, &k9); }, false, 1, 9},
      {"zeroing a read view", false, [](IVQData* i) { return i->ZeroValues(); }, false, 1, 0},
      {"reshape", true, [](IVQData* i) { return i->Reshape(8, 1); }, false, 1, 1},
      {"allocate of the same size", true, [](IVQData* i) { return i->Allocate(2, 4, dataFormatFloat64); }, false, 1, 1},
      {"allocate, another format", true, [](IVQData* i) { return i->Allocate(4, 2, dataFormatFloat32); }, false, 1, 0},
      {"set raw data", true, [](IVQData* i) { return i->SetRawData(1, 1, dataFormatFloat64, &k9, 8); }, false, 1, 9},
      {"free data", true, [](IVQData* i) { return i->FreeData(); }, false, 1, none},
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
      item->GetValue(0, 0, &first, nullptr);  // fails on an empty item, leaving NaN
      EXPECT_TRUE(first == c.itemFirst || (std::isnan(first) && std::isnan(c.itemFirst))) << first;
    }
    EXPECT_EQ(lender->Count(), 0u);  // the item's end lets go of the lender
    lender->Release();
  }
  auto view = NewItem().query<IVQDataView>();  // bad arguments
  double v = 0;
  EXPECT_EQ(view->ShowValues(nullptr, &v, 1, 1, dataFormatFloat64, TRUE), E_POINTER);
  EXPECT_EQ(view->ShowValues(view.get(), nullptr, 1, 1, dataFormatFloat64, TRUE), E_POINTER);
  EXPECT_EQ(view->ShowValues(view.get(), &v, -1, 1, dataFormatFloat64, TRUE), E_INVALIDARG);
  EXPECT_EQ(view->ShowValues(view.get(), &v, 1, 1, 99, TRUE), E_INVALIDARG);
}

}  // namespace
