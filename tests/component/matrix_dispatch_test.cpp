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

TEST_F(MatrixDispatchTest, InitializeSizeAndLabelByName) {
  auto m = NewMatrix();
  auto d = m.query<IDispatch>();
  ASSERT_TRUE(d);
  UINT count = 0;
  ASSERT_EQ(d->GetTypeInfoCount(&count), S_OK);
  EXPECT_EQ(count, 1u);

  // Initialize(0, 2, 3, "4", 5): arguments arrive last first; text coerces.
  VARIANT args[5];
  for (auto& a : args) VariantInit(&a);
  args[4].vt = VT_I4, args[4].lVal = 0;
  args[3].vt = VT_I4, args[3].lVal = 2;
  args[2].vt = VT_I2, args[2].iVal = 3;
  args[1].vt = VT_BSTR, args[1].bstrVal = SysAllocString(L"4");
  args[0].vt = VT_R8, args[0].dblVal = 5.0;
  DISPPARAMS call{args, nullptr, 5, 0};
  ASSERT_EQ(d->Invoke(IdOf(d.get(), L"initialize"), IID_NULL, 0, DISPATCH_METHOD, &call, nullptr, nullptr, nullptr),
            S_OK);
  VariantClear(&args[1]);
  LONG size = 0;
  ASSERT_EQ(m->get_Size(3, &size), S_OK);
  EXPECT_EQ(size, 4);

  VARIANT dimension;
  VariantInit(&dimension);
  dimension.vt = VT_I4;
  dimension.lVal = 4;
  DISPPARAMS get{&dimension, nullptr, 1, 0};
  _variant_t result;
  ASSERT_EQ(d->Invoke(IdOf(d.get(), L"Size"), IID_NULL, 0, DISPATCH_PROPERTYGET, &get, result.GetAddress(), nullptr,
                      nullptr),
            S_OK);
  EXPECT_EQ(static_cast<LONG>(result), 5);

  VARIANT label;
  VariantInit(&label);
  label.vt = VT_BSTR;
  label.bstrVal = SysAllocString(L"by name");
  DISPID named = DISPID_PROPERTYPUT;
  DISPPARAMS put{&label, &named, 1, 1};
  ASSERT_EQ(d->Invoke(IdOf(d.get(), L"MATRIXLABEL"), IID_NULL, 0, DISPATCH_PROPERTYPUT, &put, nullptr, nullptr,
                      nullptr),
            S_OK);
  VariantClear(&label);
  _bstr_t text;
  ASSERT_EQ(m->get_MatrixLabel(text.GetAddress()), S_OK);
  EXPECT_STREQ(static_cast<const wchar_t*>(text), L"by name");

  // A failure of the method reaches the script as the method's HRESULT.
  dimension.lVal = 9;
  EXPECT_EQ(d->Invoke(IdOf(d.get(), L"Size"), IID_NULL, 0, DISPATCH_PROPERTYGET, &get, result.GetAddress(), nullptr,
                      nullptr),
            E_FAIL);
}

}  // namespace
}  // namespace vq::test
