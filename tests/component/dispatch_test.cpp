// Tests of the automation side of IVQDataMatrix: name lookup, Invoke with its
// coercions and failures, and the type description, all through a fake matrix
// that records the vtable calls it receives.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "VQDataMatrixLib.h"
#include "component/VQDispatch.h"

namespace {

using ::testing::Each;
using ::testing::ElementsAre;
using Args = std::vector<_variant_t>;

static_assert(sizeof(_variant_t) == sizeof(VARIANT), "argument vectors are passed as VARIANT arrays");

VQ_DECLARE_INTERFACE(ITestToken, IUnknown, "dba6c41b-100b-4c5e-909c-f72bf959c65b");
struct ITestToken : IUnknown {};
// An object with nothing but an identity, handed in and out as a data item.
class Token : public vq::ComObject<Token, ITestToken> {};

struct Call {
  std::string method;
  std::vector<_variant_t> args;  // the in-arguments, in vtable order
};

// An IVQDataMatrix that records each call (under the method's own name) with
// its in-arguments, fills its out-parameters with fixed values and returns
// m_Result. Its IDispatch is the one under test.
class FakeMatrix : public vq::ComObject<FakeMatrix, IVQDataMatrix> {
 public:
  std::vector<Call> m_Calls;
  HRESULT m_Result = S_OK;
  bool m_Throw = false;
  vq::ComPtr<IUnknown> m_Item;

  FakeMatrix() { m_Item.attach(vq::MakeComObject<Token>()->GetUnknown()); }

  STDMETHODIMP GetTypeInfoCount(UINT* p) override { return vq::MatrixDispatch::GetTypeInfoCount(p); }
  STDMETHODIMP GetTypeInfo(UINT i, LCID lcid, ITypeInfo** pp) override {
    return vq::MatrixDispatch::GetTypeInfo(i, lcid, pp);
  }
  STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) override {
    return vq::MatrixDispatch::GetIDsOfNames(riid, names, count, lcid, ids);
  }
  STDMETHODIMP Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* dp, VARIANT* result, EXCEPINFO* excep,
                      UINT* argErr) override {
    return vq::MatrixDispatch::Invoke(this, id, riid, lcid, flags, dp, result, excep, argErr);
  }

  STDMETHODIMP Initialize(LONG a, LONG b, LONG c, LONG d, LONG e) override { return Record(__func__, a, b, c, d, e); }
  STDMETHODIMP ReleaseAllVQData() override { return Record(__func__); }
  STDMETHODIMP get_DataPtr(LONG a, LONG b, LONG c, LONG d, IUnknown** p) override {
    return Record(__func__, a, b, c, d) | Give(p);
  }
  STDMETHODIMP put_DataPtr(LONG a, LONG b, LONG c, LONG d, IUnknown* v) override {
    return Record(__func__, a, b, c, d, v);
  }
  STDMETHODIMP get_Dimensions(LONG* p) override { return Record(__func__) | Give(p, 4); }
  STDMETHODIMP get_Size(LONG dim, LONG* p) override { return Record(__func__, dim) | Give(p, dim * 10); }
  STDMETHODIMP InitializeAxis(LONG dim, DOUBLE first, DOUBLE step, BSTR unit) override {
    return Record(__func__, dim, first, step, unit);
  }
  STDMETHODIMP GetAxis(LONG dim, DOUBLE* first, DOUBLE* step, BSTR* unit) override {
    *first = 1.5;
    *step = 0.25;
    *unit = SysAllocString(L"nm");
    return Record(__func__, dim);
  }
  STDMETHODIMP AllAllocate(LONG x, LONG z, LONG f) override { return Record(__func__, x, z, f); }
  STDMETHODIMP AllInitializeAsLinear(LONG n, DOUBLE first, DOUBLE delta, BSTR unit) override {
    return Record(__func__, n, first, delta, unit);
  }
  STDMETHODIMP GetD1D2Slice(DOUBLE a, DOUBLE b, LONG z, LONG c, LONG d, matrixDirectionType dir,
                            IUnknown* data) override {
    return Record(__func__, a, b, z, c, d, static_cast<LONG>(dir), data);
  }
  STDMETHODIMP GetD1D3Slice(DOUBLE a, DOUBLE b, LONG z, LONG c, LONG d, matrixDirectionType dir,
                            IUnknown* data) override {
    return Record(__func__, a, b, z, c, d, static_cast<LONG>(dir), data);
  }
  STDMETHODIMP GetD2D3Slice(DOUBLE a, DOUBLE b, LONG z, LONG c, LONG d, matrixDirectionType dir,
                            IUnknown* data) override {
    return Record(__func__, a, b, z, c, d, static_cast<LONG>(dir), data);
  }
  STDMETHODIMP GetD1D2SliceSpectrum(LONG z, LONG c, LONG d, matrixDirectionType dir, IUnknown* data) override {
    return Record(__func__, z, c, d, static_cast<LONG>(dir), data);
  }
  STDMETHODIMP GetD1D3SliceSpectrum(LONG z, LONG c, LONG d, matrixDirectionType dir, IUnknown* data) override {
    return Record(__func__, z, c, d, static_cast<LONG>(dir), data);
  }
  STDMETHODIMP GetD2D3SliceSpectrum(LONG z, LONG c, LONG d, matrixDirectionType dir, IUnknown* data) override {
    return Record(__func__, z, c, d, static_cast<LONG>(dir), data);
  }
  STDMETHODIMP Write(IStream* s) override { return Record(__func__, static_cast<IUnknown*>(s)); }
  STDMETHODIMP Read(IStream* s) override { return Record(__func__, static_cast<IUnknown*>(s)); }
  STDMETHODIMP get_ID(LONG a, LONG b, LONG c, LONG d, LONG* p) override {
    return Record(__func__, a, b, c, d) | Give(p, 77);
  }
  STDMETHODIMP put_ID(LONG a, LONG b, LONG c, LONG d, LONG v) override { return Record(__func__, a, b, c, d, v); }
  STDMETHODIMP get_Label(LONG a, LONG b, LONG c, LONG d, BSTR* p) override {
    *p = SysAllocString(L"label");
    return Record(__func__, a, b, c, d);
  }
  STDMETHODIMP put_Label(LONG a, LONG b, LONG c, LONG d, BSTR v) override { return Record(__func__, a, b, c, d, v); }
  STDMETHODIMP get_DataPtrID(LONG id, IUnknown** p) override { return Record(__func__, id) | Give(p); }
  STDMETHODIMP put_DataPtrID(LONG id, IUnknown* v) override { return Record(__func__, id, v); }
  STDMETHODIMP GetPositionFromID(LONG id, LONG* a, LONG* b, LONG* c, LONG* d) override {
    return Record(__func__, id) | Give(a, 1) | Give(b, 2) | Give(c, 3) | Give(d, 4);
  }
  STDMETHODIMP get_MatrixLabel(BSTR* p) override {
    *p = SysAllocString(L"matrix");
    return Record(__func__);
  }
  STDMETHODIMP put_MatrixLabel(BSTR v) override { return Record(__func__, v); }
  STDMETHODIMP get_FirstValidDataPtr(LONG* a, LONG* b, LONG* c, LONG* d, IUnknown** p) override {
    return Record(__func__) | Give(a, 5) | Give(b, 6) | Give(c, 7) | Give(d, 8) | Give(p);
  }
  STDMETHODIMP get_IsAllDataValid(LONG* p) override { return Record(__func__) | Give(p, 1); }
  STDMETHODIMP SetElementPriority(elementPriorityType priority) override {
    return Record(__func__, static_cast<LONG>(priority));
  }
  STDMETHODIMP get_ConstDataPtr(LONG a, LONG b, LONG c, LONG d, LONG with, IUnknown** p) override {
    return Record(__func__, a, b, c, d, with) | Give(p);
  }
  STDMETHODIMP AllSaveToDisk() override { return Record(__func__); }
  STDMETHODIMP get_ConstDataSubsetPtr(LONG a, LONG b, LONG c, LONG d, LONG first, LONG last, LONG with,
                                      IUnknown** p) override {
    return Record(__func__, a, b, c, d, first, last, with) | Give(p);
  }
  STDMETHODIMP put_AttributesDataPtr(LONG d4, IUnknown* v) override { return Record(__func__, d4, v); }
  STDMETHODIMP Initialize2(LONG a, LONG b, LONG c, LONG d, LONG x, LONG z, LONG f, matrixType type) override {
    return Record(__func__, a, b, c, d, x, z, f, static_cast<LONG>(type));
  }
  STDMETHODIMP CopyContentsToSingleVqData(IUnknown* v) override { return Record(__func__, v); }
  STDMETHODIMP GetTagVectorsData(IUnknown* v) override { return Record(__func__, v); }
  STDMETHODIMP PutTagVectorsData(IUnknown* v) override { return Record(__func__, v); }
  STDMETHODIMP HasData(LONG id, LONG* p) override { return Record(__func__, id) | Give(p, 1); }

 private:
  static _variant_t AsVariant(LONG v) { return _variant_t(static_cast<int>(v)); }
  static _variant_t AsVariant(DOUBLE v) { return _variant_t(v); }
  static _variant_t AsVariant(BSTR v) { return _variant_t(v == nullptr ? L"" : static_cast<const wchar_t*>(v)); }
  static _variant_t AsVariant(IUnknown* v) { return _variant_t(v, true); }

  template <class... Args>
  HRESULT Record(const char* method, Args... args) {
    if (m_Throw) throw std::runtime_error("fake failure");
    m_Calls.push_back({method, {AsVariant(args)...}});
    return m_Result;
  }
  // Out values are written even when the call fails, so that the dispatcher's
  // clean-up of a failed call is exercised too. They return 0 (S_OK), so that
  // `Record(...) | Give(...)` is Record's result.
  static HRESULT Give(LONG* p, LONG v) {
    *p = v;
    return S_OK;
  }
  HRESULT Give(IUnknown** p) {
    *p = vq::ComPtr<IUnknown>(m_Item).detach();
    return S_OK;
  }
};

// A by-reference argument to storage of the caller.
VARIANT ByRef(VARTYPE vt, void* storage) {
  VARIANT v{};
  v.vt = static_cast<VARTYPE>(VT_BYREF | vt);
  v.byref = storage;
  return v;
}

class DispatchTest : public ::testing::Test {
 protected:
  void SetUp() override { m_Fake.attach(vq::MakeComObject<FakeMatrix>()); }

  // Invokes with `args` in call order (rgvarg gets them reversed); a put
  // passes its value as the last of them, named DISPID_PROPERTYPUT.
  HRESULT Invoke(DISPID id, WORD flags, Args args, VARIANT* result = nullptr) {
    std::vector<_variant_t> reversed(args.rbegin(), args.rend());
    DISPID putId = DISPID_PROPERTYPUT;
    const bool put = (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0;
    DISPPARAMS dp{reversed.data(), put ? &putId : nullptr, static_cast<UINT>(reversed.size()), put ? 1u : 0u};
    m_ArgErr = kUntouched;
    return m_Fake->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &dp, result, nullptr, &m_ArgErr);
  }

  DISPID IdOf(const wchar_t* name) {
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    DISPID id = 0;
    EXPECT_EQ(m_Fake->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id), S_OK) << name;
    return id;
  }

  const Call& OnlyCall() {
    EXPECT_EQ(m_Fake->m_Calls.size(), 1u);
    if (m_Fake->m_Calls.empty()) m_Fake->m_Calls.push_back({"(none)", {}});
    return m_Fake->m_Calls.front();
  }

  static constexpr UINT kUntouched = 12345;
  vq::ComPtr<FakeMatrix> m_Fake;
  UINT m_ArgErr = 0;
};

// ---------------------------------------------------------------------------
// GetIDsOfNames
// ---------------------------------------------------------------------------
TEST_F(DispatchTest, EveryMemberNameYieldsItsDispidInAnyCase) {
  for (const vq::MatrixMember& m : vq::MatrixMembers()) {
    std::wstring upper = m.name, lower = m.name;
    for (auto& c : upper) c = static_cast<wchar_t>(towupper(c));
    for (auto& c : lower) c = static_cast<wchar_t>(towlower(c));
    for (const std::wstring& name : {std::wstring(m.name), upper, lower})
      EXPECT_EQ(IdOf(name.c_str()), m.dispid) << name;
  }
}

TEST_F(DispatchTest, ParameterNamesMapToTheirPositions) {
  LPOLESTR axis[] = {const_cast<LPOLESTR>(L"getaxis"), const_cast<LPOLESTR>(L"Unit"),
                     const_cast<LPOLESTR>(L"DIMENSION"), const_cast<LPOLESTR>(L"step")};
  DISPID ids[4];
  ASSERT_EQ(m_Fake->GetIDsOfNames(IID_NULL, axis, 4, 0, ids), S_OK);
  EXPECT_THAT(ids, ElementsAre(7, 3, 0, 2));

  // A property's names come from its get and its put.
  LPOLESTR dataPtr[] = {const_cast<LPOLESTR>(L"DataPtr"), const_cast<LPOLESTR>(L"d4"), const_cast<LPOLESTR>(L"newVal"),
                        const_cast<LPOLESTR>(L"pVal")};
  ASSERT_EQ(m_Fake->GetIDsOfNames(IID_NULL, dataPtr, 4, 0, ids), S_OK);
  EXPECT_THAT(ids, ElementsAre(3, 3, 4, 4));
}

TEST_F(DispatchTest, UnknownNamesAreReportedSlotBySlot) {
  DISPID ids[3] = {99, 99, 99};
  LPOLESTR noMember[] = {const_cast<LPOLESTR>(L"get_DataPtr"), const_cast<LPOLESTR>(L"d1"), nullptr};
  EXPECT_EQ(m_Fake->GetIDsOfNames(IID_NULL, noMember, 3, 0, ids), DISP_E_UNKNOWNNAME);
  EXPECT_THAT(ids, Each(DISPID_UNKNOWN));

  LPOLESTR badParam[] = {const_cast<LPOLESTR>(L"Size"), const_cast<LPOLESTR>(L"Axis"),
                         const_cast<LPOLESTR>(L"Dimension")};
  EXPECT_EQ(m_Fake->GetIDsOfNames(IID_NULL, badParam, 3, 0, ids), DISP_E_UNKNOWNNAME);
  EXPECT_THAT(ids, ElementsAre(5, DISPID_UNKNOWN, 0));

  EXPECT_EQ(m_Fake->GetIDsOfNames(IID_IVQDataMatrix, badParam, 1, 0, ids), DISP_E_UNKNOWNINTERFACE);
  EXPECT_EQ(m_Fake->GetIDsOfNames(IID_NULL, nullptr, 1, 0, ids), E_POINTER);
}

// ---------------------------------------------------------------------------
// Invoke
// ---------------------------------------------------------------------------
TEST_F(DispatchTest, InArgumentsAreCoercedToTheParameterTypes) {
  LONG byRefValue = 9;
  ASSERT_EQ(Invoke(1, DISPATCH_METHOD,
                   {_variant_t(L"3"), _variant_t(static_cast<short>(4)), _variant_t(2.6), _variant_t(true),
                    ByRef(VT_I4, &byRefValue)}),
            S_OK);
  EXPECT_EQ(OnlyCall().method, "Initialize");
  // 2.6 is rounded, true is automation's -1.
  EXPECT_EQ(OnlyCall().args, (Args{3, 4, 3, -1, 9}));

  m_Fake->m_Calls.clear();
  ASSERT_EQ(Invoke(6, DISPATCH_METHOD, {_variant_t(1), _variant_t(0.5f), _variant_t(L"1e-3"), _variant_t(42)}), S_OK);
  EXPECT_EQ(OnlyCall().args, (Args{1, 0.5, 0.001, L"42"}));
}

TEST_F(DispatchTest, PropertyGetReturnsTheRetvalAndClearsTheOldResult) {
  _variant_t result(L"old value, freed by the call");
  ASSERT_EQ(Invoke(5, DISPATCH_METHOD | DISPATCH_PROPERTYGET, {_variant_t(2)}, &result), S_OK);
  EXPECT_EQ(result, _variant_t(20));

  ASSERT_EQ(Invoke(19, DISPATCH_PROPERTYGET, {_variant_t(0), _variant_t(1), _variant_t(2), _variant_t(3)}, &result),
            S_OK);
  EXPECT_EQ(result, _variant_t(L"label"));

  ASSERT_EQ(Invoke(3, DISPATCH_PROPERTYGET, {_variant_t(0), _variant_t(0), _variant_t(0), _variant_t(0)}, &result),
            S_OK);
  ASSERT_EQ(result.vt, VT_UNKNOWN);
  EXPECT_EQ(result.punkVal, m_Fake->m_Item.get());

  // Without a result variant the retval is released, not leaked. (That a
  // method without a retval leaves the result empty is checked for every
  // member by EveryOperationIsReachableThroughInvoke.)
  EXPECT_EQ(Invoke(22, DISPATCH_PROPERTYGET, {}), S_OK);
}

// (A put's value coming last is checked for every property by
// EveryOperationIsReachableThroughInvoke.)
TEST_F(DispatchTest, PropertyPutRefReachesAnObjectPropertyOnly) {
  // "Set m.DataPtr(...) = obj" arrives as a by-reference put.
  _variant_t item(m_Fake->m_Item.get());
  EXPECT_EQ(Invoke(3, DISPATCH_PROPERTYPUTREF, {_variant_t(0), _variant_t(0), _variant_t(0), _variant_t(0), item}),
            S_OK);
  EXPECT_EQ(OnlyCall().method, "put_DataPtr");
  // ... which a text property does not take.
  EXPECT_EQ(Invoke(22, DISPATCH_PROPERTYPUTREF, {_variant_t(L"x")}), DISP_E_MEMBERNOTFOUND);
}

TEST_F(DispatchTest, PutWithoutItsNamedValueIsRefused) {
  _variant_t value(L"x");
  DISPPARAMS unnamed{&value, nullptr, 1, 0};
  EXPECT_EQ(m_Fake->Invoke(22, IID_NULL, 0, DISPATCH_PROPERTYPUT, &unnamed, nullptr, nullptr, nullptr),
            DISP_E_PARAMNOTFOUND);
  DISPID wrongName = 0;
  DISPPARAMS named{&value, &wrongName, 1, 1};
  EXPECT_EQ(m_Fake->Invoke(22, IID_NULL, 0, DISPATCH_PROPERTYPUT, &named, nullptr, nullptr, nullptr),
            DISP_E_NONAMEDARGS);
  EXPECT_TRUE(m_Fake->m_Calls.empty());
}

TEST_F(DispatchTest, OutArgumentsAreWrittenThroughTheirReferences) {
  double first = 0;
  _variant_t step(L"replaced");
  BSTR unit = SysAllocString(L"old unit, freed by the call");
  ASSERT_EQ(Invoke(7, DISPATCH_METHOD,
                   {_variant_t(0), ByRef(VT_R8, &first), ByRef(VT_VARIANT, &step), ByRef(VT_BSTR, &unit)}),
            S_OK);
  EXPECT_EQ(OnlyCall().args[0], _variant_t(0));
  EXPECT_EQ(first, 1.5);
  EXPECT_EQ(step, _variant_t(0.25));
  EXPECT_STREQ(unit, L"nm");
  SysFreeString(unit);

  LONG d[4] = {};
  _variant_t result;
  ASSERT_EQ(Invoke(23, DISPATCH_PROPERTYGET,
                   {ByRef(VT_I4, &d[0]), ByRef(VT_I4, &d[1]), ByRef(VT_I4, &d[2]), ByRef(VT_I4, &d[3])}, &result),
            S_OK);
  EXPECT_EQ(d[0], 5);
  EXPECT_EQ(d[3], 8);
  EXPECT_EQ(result.punkVal, m_Fake->m_Item.get());
}

// Refused before the call, with the index in rgvarg of the argument at fault
// (a count that does not fit names no argument).
TEST_F(DispatchTest, BadArgumentsAreRefusedWithTheirIndex) {
  double real = 0;
  LONG wrong = 0;
  const struct {
    DISPID id;
    WORD flags;
    Args args;
    HRESULT hr;
    UINT argErr;
  } cases[] = {
      // GetAxis's out-parameters of another type: rgvarg holds Unit at 0, Step at 1, FirstValue at 2.
      {7, DISPATCH_METHOD, {0, ByRef(VT_R8, &real), ByRef(VT_R8, &real), ByRef(VT_I4, &wrong)}, DISP_E_TYPEMISMATCH, 0},
      {7, DISPATCH_METHOD, {0, 1.0, ByRef(VT_R8, &real), ByRef(VT_BSTR, &wrong)}, DISP_E_TYPEMISMATCH, 2},
      {1, DISPATCH_METHOD, {1, L"two", 1, 1, 1}, DISP_E_TYPEMISMATCH, 3},  // Initialize's second of five
      {5, DISPATCH_PROPERTYGET, {1e20}, DISP_E_OVERFLOW, 0},
      {16, DISPATCH_METHOD, {m_Fake->m_Item.get()}, DISP_E_TYPEMISMATCH, 0},  // Write takes a stream only
      {1, DISPATCH_METHOD, {1, 1}, DISP_E_BADPARAMCOUNT, kUntouched},
      {5, DISPATCH_PROPERTYGET, {}, DISP_E_BADPARAMCOUNT, kUntouched},
      {22, DISPATCH_PROPERTYPUT, {1, L"x"}, DISP_E_BADPARAMCOUNT, kUntouched},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.id);
    EXPECT_EQ(Invoke(c.id, c.flags, c.args), c.hr);
    EXPECT_EQ(m_ArgErr, c.argErr);
  }
  EXPECT_TRUE(m_Fake->m_Calls.empty());
}

TEST_F(DispatchTest, UnknownMembersAndWrongFlagsAreNotFound) {
  for (DISPID id : {DISPID_VALUE, DISPID_UNKNOWN, 35, 1000})
    EXPECT_EQ(Invoke(id, DISPATCH_METHOD | DISPATCH_PROPERTYGET, {}), DISP_E_MEMBERNOTFOUND) << id;
  EXPECT_EQ(Invoke(2, DISPATCH_PROPERTYGET, {}), DISP_E_MEMBERNOTFOUND);                // a method
  EXPECT_EQ(Invoke(4, DISPATCH_METHOD, {}), DISP_E_MEMBERNOTFOUND);                     // a property
  EXPECT_EQ(Invoke(4, DISPATCH_PROPERTYPUT, {_variant_t(4)}), DISP_E_MEMBERNOTFOUND);   // read-only
  EXPECT_EQ(Invoke(29, DISPATCH_PROPERTYGET, {_variant_t(0)}), DISP_E_MEMBERNOTFOUND);  // write-only
  EXPECT_EQ(Invoke(2, 0, {}), DISP_E_MEMBERNOTFOUND);
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  EXPECT_EQ(m_Fake->Invoke(2, IID_IVQDataMatrix, 0, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr),
            DISP_E_UNKNOWNINTERFACE);
  EXPECT_TRUE(m_Fake->m_Calls.empty());
}

TEST_F(DispatchTest, TheMethodsResultIsPassedOnAndItsOutValuesDropped) {
  m_Fake->m_Result = E_INVALIDARG;
  _variant_t result(7);
  double first = -1, step = -1;
  BSTR unit = nullptr;
  EXPECT_EQ(Invoke(7, DISPATCH_METHOD,
                   {_variant_t(9), ByRef(VT_R8, &first), ByRef(VT_R8, &step), ByRef(VT_BSTR, &unit)}, &result),
            E_INVALIDARG);
  EXPECT_EQ(first, -1);
  EXPECT_EQ(unit, nullptr);  // the fake's string was freed, not handed out
  EXPECT_EQ(Invoke(22, DISPATCH_PROPERTYGET, {}, &result), E_INVALIDARG);
  EXPECT_EQ(result, _variant_t(7));

  m_Fake->m_Result = S_FALSE;
  EXPECT_EQ(
      Invoke(28, DISPATCH_PROPERTYGET,
             {_variant_t(0), _variant_t(0), _variant_t(0), _variant_t(0), _variant_t(0), _variant_t(5), _variant_t(1)},
             &result),
      S_FALSE);
  EXPECT_EQ(result.punkVal, m_Fake->m_Item.get());

  m_Fake->m_Throw = true;
  EXPECT_EQ(Invoke(2, DISPATCH_METHOD, {}), E_FAIL);
}

TEST_F(DispatchTest, NamedArgumentsReachTheMethod) {
  // InitializeAxis(Dimension, FirstValue, Unit:="s", Step:=2): named ones first.
  _variant_t args[] = {_variant_t(L"s"), _variant_t(2.0), _variant_t(0.5), _variant_t(3)};
  DISPID names[] = {3, 2};
  DISPPARAMS dp{args, names, 4, 2};
  ASSERT_EQ(m_Fake->Invoke(6, IID_NULL, 0, DISPATCH_METHOD, &dp, nullptr, nullptr, nullptr), S_OK);
  EXPECT_EQ(OnlyCall().args, (Args{3, 0.5, 2.0, L"s"}));

  // A name that collides with a positional argument is not a free parameter.
  names[1] = 1;
  UINT argErr = 0;
  EXPECT_EQ(m_Fake->Invoke(6, IID_NULL, 0, DISPATCH_METHOD, &dp, nullptr, nullptr, &argErr), DISP_E_PARAMNOTFOUND);
  EXPECT_EQ(argErr, 1u);
}

// Every row of the description is reachable with its argument count, reaches
// the vtable method of its own name, and passes the in-arguments in order (a
// put's value last, a stream for a stream parameter).
TEST_F(DispatchTest, EveryOperationIsReachableThroughInvoke) {
  vq::ComPtr<IStream> stream;
  ASSERT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, stream.put()), S_OK);
  for (const vq::MatrixMember& m : vq::MatrixMembers()) {
    std::string expected(m.name, m.name + wcslen(m.name));
    if (m.invkind == INVOKE_PROPERTYGET) expected = "get_" + expected;
    if (m.invkind == INVOKE_PROPERTYPUT) expected = "put_" + expected;
    SCOPED_TRACE(expected);

    std::vector<_variant_t> args, expectedIn;
    LONG longs[vq::kMatrixMaxParams] = {};
    double doubles[vq::kMatrixMaxParams] = {};
    BSTR strings[vq::kMatrixMaxParams] = {};
    for (UINT p = 0; p < m.ArgCount(); ++p) {
      const vq::MatrixParam& param = m.params[p];
      _variant_t in;
      if (param.IsOut()) {
        void* storage = param.BaseType() == VT_I4   ? static_cast<void*>(&longs[p])
                        : param.BaseType() == VT_R8 ? static_cast<void*>(&doubles[p])
                                                    : static_cast<void*>(&strings[p]);
        args.push_back(ByRef(param.BaseType(), storage));
        continue;
      }
      switch (param.vt) {
        case VT_I4:
          in = _variant_t(static_cast<int>(100 + p));
          break;
        case VT_R8:
          in = _variant_t(p + 0.5);
          break;
        case VT_BSTR:
          in = _variant_t(L"text");
          break;
        default:
          in = _variant_t(param.iid != nullptr ? static_cast<IUnknown*>(stream.get()) : m_Fake->m_Item.get());
      }
      args.push_back(in);
      expectedIn.push_back(in);
    }
    const WORD flags = m.invkind == INVOKE_FUNC          ? DISPATCH_METHOD
                       : m.invkind == INVOKE_PROPERTYGET ? DISPATCH_PROPERTYGET
                                                         : DISPATCH_PROPERTYPUT;
    m_Fake->m_Calls.clear();
    _variant_t result;
    EXPECT_EQ(Invoke(m.dispid, flags, args, &result), S_OK);
    for (BSTR s : strings) SysFreeString(s);
    const Call& call = OnlyCall();
    EXPECT_EQ(call.method, expected);
    ASSERT_EQ(call.args.size(), expectedIn.size());
    for (size_t i = 0; i < expectedIn.size(); ++i) EXPECT_EQ(call.args[i], expectedIn[i]) << i;
    EXPECT_EQ(result.vt, m.Retval() != nullptr ? m.Retval()->BaseType() : static_cast<VARTYPE>(VT_EMPTY));
  }
}

// ---------------------------------------------------------------------------
// Type description
// ---------------------------------------------------------------------------
class TypeInfoTest : public DispatchTest {
 protected:
  void SetUp() override {
    DispatchTest::SetUp();
    UINT count = 0;
    ASSERT_EQ(m_Fake->GetTypeInfoCount(&count), S_OK);
    ASSERT_EQ(count, 1u);
    ASSERT_EQ(m_Fake->GetTypeInfo(0, 0, m_Info.put()), S_OK);
  }
  vq::ComPtr<ITypeInfo> m_Info;
};

TEST_F(TypeInfoTest, OneSharedDescriptionAtIndexZero) {
  vq::ComPtr<ITypeInfo> again;
  ASSERT_EQ(vq::MatrixDispatch::GetTypeInfo(0, 0, again.put()), S_OK);
  EXPECT_EQ(again.get(), m_Info.get());
  ITypeInfo* none = m_Info.get();
  EXPECT_EQ(vq::MatrixDispatch::GetTypeInfo(1, 0, &none), DISP_E_BADINDEX);
  EXPECT_EQ(none, nullptr);
}

// Every member's help string says its kind and name.
TEST_F(TypeInfoTest, DocumentationOfTheInterfaceAndItsMembers) {
  std::vector<std::pair<MEMBERID, std::wstring>> cases = {{MEMBERID_NIL, L"IVQDataMatrix Interface"}};
  for (const vq::MatrixMember& m : vq::MatrixMembers())
    cases.emplace_back(m.dispid, (m.invkind == INVOKE_FUNC ? L"method " : L"property ") + std::wstring(m.name));
  for (const auto& [memid, expectedHelp] : cases) {
    BSTR name = nullptr, help = nullptr, file = nullptr;
    DWORD context = 99;
    ASSERT_EQ(m_Info->GetDocumentation(memid, &name, &help, &context, &file), S_OK);
    EXPECT_EQ(std::wstring(name),
              memid == MEMBERID_NIL ? L"IVQDataMatrix" : expectedHelp.substr(expectedHelp.find(' ') + 1));
    EXPECT_EQ(std::wstring(help), expectedHelp);
    EXPECT_EQ(file, nullptr);
    EXPECT_EQ(context, 0u);
    SysFreeString(name);
    SysFreeString(help);
  }
  BSTR name = nullptr;
  EXPECT_EQ(m_Info->GetDocumentation(35, &name, nullptr, nullptr, nullptr), TYPE_E_ELEMENTNOTFOUND);
}

TEST_F(TypeInfoTest, NamesAreTheMemberThenWhatACallerPasses) {
  // The names GetNames gives with room for `room` of them.
  auto names = [&](MEMBERID id, UINT room) {
    BSTR got[6] = {};
    UINT count = 0;
    EXPECT_EQ(m_Info->GetNames(id, got, room, &count), S_OK);
    std::vector<std::wstring> out(got, got + count);
    for (BSTR name : got) SysFreeString(name);
    return out;
  };
  EXPECT_EQ(names(7, 6), (std::vector<std::wstring>{L"GetAxis", L"Dimension", L"FirstValue", L"Step", L"Unit"}));
  // The get of a property, without its retval; and a short buffer.
  EXPECT_EQ(names(5, 6), (std::vector<std::wstring>{L"Size", L"Dimension"}));
  EXPECT_EQ(names(30, 2).size(), 2u);
  BSTR none[1] = {};
  UINT count = 0;
  EXPECT_EQ(m_Info->GetNames(0, none, 1, &count), TYPE_E_ELEMENTNOTFOUND);

  LPOLESTR lookup[] = {const_cast<LPOLESTR>(L"hasdata"), const_cast<LPOLESTR>(L"id")};
  MEMBERID ids[2];
  ASSERT_EQ(m_Info->GetIDsOfNames(lookup, 2, ids), S_OK);
  EXPECT_THAT(ids, ElementsAre(34, 0));
}

TEST_F(TypeInfoTest, AttributesAndFunctionsDescribeTheDispatchView) {
  TYPEATTR* attr = nullptr;
  ASSERT_EQ(m_Info->GetTypeAttr(&attr), S_OK);
  EXPECT_EQ(attr->guid, IID_IVQDataMatrix);
  EXPECT_EQ(attr->typekind, TKIND_DISPATCH);
  EXPECT_EQ(attr->cFuncs, 39);
  EXPECT_TRUE(attr->wTypeFlags & TYPEFLAG_FDUAL);
  m_Info->ReleaseTypeAttr(attr);

  // Member, kind, parameter count and result type; then parameters' types and flags.
  FUNCDESC* f = nullptr;
  ASSERT_EQ(m_Info->GetFuncDesc(7, &f), S_OK);  // GetAxis(Dimension, [out] FirstValue, Step, Unit)
  ASSERT_EQ(std::tuple(f->memid, f->invkind, f->cParams, f->elemdescFunc.tdesc.vt),
            std::tuple(7, INVOKE_FUNC, 4, VT_VOID));
  const ELEMDESC* p = f->lprgelemdescParam;
  EXPECT_EQ(std::tuple(p[0].tdesc.vt, p[0].paramdesc.wParamFlags), std::tuple(VT_I4, PARAMFLAG_FIN));
  EXPECT_EQ(std::tuple(p[3].tdesc.vt, p[3].tdesc.lptdesc->vt, p[3].paramdesc.wParamFlags),
            std::tuple(VT_PTR, VT_BSTR, PARAMFLAG_FOUT));
  m_Info->ReleaseFuncDesc(f);
  ASSERT_EQ(m_Info->GetFuncDesc(3, &f), S_OK);  // put DataPtr(d1, d2, d3, d4, object)
  ASSERT_EQ(std::tuple(f->memid, f->invkind, f->cParams), std::tuple(3, INVOKE_PROPERTYPUT, 5));
  EXPECT_EQ(f->lprgelemdescParam[4].tdesc.vt, VT_UNKNOWN);
  m_Info->ReleaseFuncDesc(f);
  ASSERT_EQ(m_Info->GetFuncDesc(5, &f), S_OK);  // get Size(Dimension), a LONG
  EXPECT_EQ(std::tuple(f->cParams, f->elemdescFunc.tdesc.vt), std::tuple(1, VT_I4));
  m_Info->ReleaseFuncDesc(f);

  EXPECT_EQ(m_Info->GetFuncDesc(39, &f), TYPE_E_ELEMENTNOTFOUND);
}

TEST_F(TypeInfoTest, InvokeThroughTheDescriptionCallsTheObject) {
  _variant_t arg(3), result;
  DISPPARAMS dp{&arg, nullptr, 1, 0};
  IVQDataMatrix* matrix = m_Fake.get();
  ASSERT_EQ(m_Info->Invoke(matrix, 5, DISPATCH_PROPERTYGET, &dp, &result, nullptr, nullptr), S_OK);
  EXPECT_EQ(result, _variant_t(30));
  EXPECT_EQ(m_Info->Invoke(nullptr, 5, DISPATCH_PROPERTYGET, &dp, &result, nullptr, nullptr), E_INVALIDARG);
}

}  // namespace
