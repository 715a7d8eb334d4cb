// The real matrix driven by name through IDispatch, as a script would.
#include "support/MatrixFixture.h"

namespace vq::test {
namespace {

using MatrixDispatchTest = MatrixTest;

DISPID IdOf(IDispatch* d, const wchar_t* name) {
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  DISPID id = DISPID_UNKNOWN;
  EXPECT_EQ(d->GetIDsOfNames(IID_NULL, names, 1, 0, &id), S_OK) << name;
  return id;
}

// The dispatcher itself is tested on a fake (dispatch_test.cpp); this checks
// that the matrix's IDispatch reaches it with the matrix as the target.
TEST_F(MatrixDispatchTest, InitializeAndSizeByName) {
  auto m = NewMatrix();
  auto d = m.query<IDispatch>();
  ASSERT_TRUE(d);
  UINT count = 0;
  ASSERT_EQ(d->GetTypeInfoCount(&count), S_OK);
  EXPECT_EQ(count, 1u);

  // Initialize(0, 2, 3, "4", 5): arguments arrive last first; text coerces.
  // (_variant_t has VARIANT's layout, so an array of them is an argument vector.)
  _variant_t args[] = {_variant_t(5.0), _variant_t(L"4"), _variant_t(static_cast<short>(3)), _variant_t(2),
                       _variant_t(0)};
  DISPPARAMS call{args, nullptr, 5, 0};
  ASSERT_EQ(d->Invoke(IdOf(d.get(), L"initialize"), IID_NULL, 0, DISPATCH_METHOD, &call, nullptr, nullptr, nullptr),
            S_OK);
  LONG size = 0;
  ASSERT_EQ(m->get_Size(3, &size), S_OK);
  EXPECT_EQ(size, 4);

  _variant_t dimension(4), result;
  DISPPARAMS get{&dimension, nullptr, 1, 0};
  ASSERT_EQ(d->Invoke(IdOf(d.get(), L"Size"), IID_NULL, 0, DISPATCH_PROPERTYGET, &get, &result, nullptr, nullptr),
            S_OK);
  EXPECT_EQ(static_cast<LONG>(result), 5);
  // A failure of the method reaches the script as the method's HRESULT.
  dimension = 9;
  EXPECT_EQ(d->Invoke(IdOf(d.get(), L"Size"), IID_NULL, 0, DISPATCH_PROPERTYGET, &get, &result, nullptr, nullptr),
            E_FAIL);
}

}  // namespace
}  // namespace vq::test
