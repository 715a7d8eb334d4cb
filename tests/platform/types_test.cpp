// HRESULT codes, GUIDs and the shared IUnknown implementation. The interfaces
// are declared as code ported from Windows declares them, through the opt-in
// define (which the public headers answer by including VQWin32Compat.h).
#define VQ_WIN32_COMPAT
#include <gtest/gtest.h>

#include <cstring>

#include "VQComObject.h"
#include "VQComRuntime.h"
#include "VQOleAuto.h"
#include "VQPlatformTypes.h"

namespace {

TEST(HResult, EveryFailureCodeIsFailed) {
  const HRESULT failures[] = {E_UNEXPECTED, E_NOTIMPL, E_OUTOFMEMORY, E_INVALIDARG, E_NOINTERFACE,
                              E_POINTER, E_HANDLE, E_ABORT, E_FAIL, E_ACCESSDENIED, E_PENDING,
                              CLASS_E_NOAGGREGATION, CLASS_E_CLASSNOTAVAILABLE, REGDB_E_CLASSNOTREG,
                              CO_E_DLLNOTFOUND, CO_E_ERRORINDLL, CO_E_CLASSSTRING, RPC_E_CHANGED_MODE,
                              DISP_E_MEMBERNOTFOUND, DISP_E_TYPEMISMATCH, DISP_E_UNKNOWNNAME,
                              DISP_E_BADPARAMCOUNT, DISP_E_OVERFLOW, STG_E_MEDIUMFULL,
                              HRESULT_FROM_WIN32(ERROR_ALREADY_INITIALIZED)};
  for (HRESULT hr : failures) {
    EXPECT_TRUE(FAILED(hr)) << std::hex << hr;
    EXPECT_FALSE(SUCCEEDED(hr)) << std::hex << hr;
    EXPECT_LT(hr, 0);
  }
  EXPECT_TRUE(SUCCEEDED(S_OK));
  EXPECT_TRUE(SUCCEEDED(S_FALSE));
}

TEST(HResult, FromWin32IsWellParenthesised) {
  EXPECT_EQ(static_cast<uint32_t>(HRESULT_FROM_WIN32(ERROR_ALREADY_INITIALIZED)), 0x800704DFu);
  EXPECT_EQ(static_cast<uint32_t>(HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY)), 0x80070008u);
  // Used inside larger expressions the macro keeps its meaning.
  EXPECT_EQ(HRESULT_FROM_WIN32(5) + 1, static_cast<HRESULT>(0x80070006u));
  EXPECT_TRUE(-HRESULT_FROM_WIN32(5) > 0);
  // Zero and values that already are HRESULTs pass unchanged.
  EXPECT_EQ(HRESULT_FROM_WIN32(0), S_OK);
  EXPECT_EQ(HRESULT_FROM_WIN32(static_cast<uint32_t>(E_FAIL)), E_FAIL);
  EXPECT_EQ(HRESULT_CODE(E_INVALIDARG), 0x57);
  EXPECT_EQ(HRESULT_FACILITY(E_INVALIDARG), FACILITY_WIN32);
}

constexpr GUID kSample = vq::ParseGuid("{12345678-9ABC-DEF0-0123-456789abcdef}");
static_assert(kSample.Data1 == 0x12345678u && kSample.Data2 == 0x9ABC && kSample.Data3 == 0xDEF0);
static_assert(kSample.Data4[0] == 0x01 && kSample.Data4[7] == 0xEF);
static_assert(vq::ParseGuid("12345678-9ABC-DEF0-0123-456789abcdef") == kSample);

TEST(Guid, TextRoundTrip) {
  wchar_t text[39];
  ASSERT_EQ(StringFromGUID2(kSample, text, 39), 39);
  EXPECT_STREQ(text, L"{12345678-9ABC-DEF0-0123-456789ABCDEF}");
  EXPECT_EQ(StringFromGUID2(kSample, text, 38), 0);
  GUID parsed{};
  ASSERT_EQ(CLSIDFromString(text, &parsed), S_OK);
  EXPECT_EQ(parsed, kSample);
  EXPECT_FALSE(parsed < kSample);
  EXPECT_TRUE(GUID_NULL < kSample);
  // The same text in task memory.
  LPOLESTR allocated = nullptr;
  ASSERT_EQ(StringFromCLSID(kSample, &allocated), S_OK);
  EXPECT_STREQ(allocated, text);
  CoTaskMemFree(allocated);
  ASSERT_EQ(StringFromIID(IID_IClassFactory, &allocated), S_OK);
  EXPECT_STREQ(allocated, L"{00000001-0000-0000-C000-000000000046}");
  CoTaskMemFree(allocated);
  EXPECT_EQ(StringFromCLSID(CLSID_NULL, nullptr), E_INVALIDARG);
}

TEST(Guid, MalformedTextIsRefusedAndLeavesOutputAlone) {
  const wchar_t* bad[] = {L"", L"{12345678-9ABC-DEF0-0123-456789ABCDEF", L"12345678-9ABC-DEF0-0123-456789ABCDEF",
                          L"{12345678-9ABC-DEF0-0123-456789ABCDEG}", L"{12345678+9ABC-DEF0-0123-456789ABCDEF}",
                          L"{12345678-9ABC-DEF0-0123-456789ABCDEF}x"};
  for (const wchar_t* text : bad) {
    GUID g = kSample;
    EXPECT_EQ(CLSIDFromString(text, &g), CO_E_CLASSSTRING) << text;
    EXPECT_EQ(g, kSample);
  }
  GUID g{};
  EXPECT_EQ(CLSIDFromString(nullptr, &g), E_INVALIDARG);
  EXPECT_EQ(IIDFromString(L"nonsense", &g), E_INVALIDARG);
}

VQ_DECLARE_INTERFACE(ITestBase, IUnknown, "0A1B2C3D-0000-0000-0000-000000000001");
interface DECLSPEC_NOVTABLE ITestBase : IUnknown {
  STDMETHOD(Base)(LONG __RPC_FAR* out) PURE;
};
VQ_DECLARE_INTERFACE(ITestDerived, ITestBase, "0A1B2C3D-0000-0000-0000-000000000002");
interface ITestDerived : public ITestBase {
  STDMETHOD(Derived)(LONG* out) PURE;
};
VQ_DECLARE_INTERFACE(ITestOther, IUnknown, "0A1B2C3D-0000-0000-0000-000000000003");
interface ITestOther : IUnknown {
  STDMETHOD(Other)(LONG* out) PURE;
};

int g_destroyed = 0;

class TestObject : public vq::ComObject<TestObject, ITestDerived, ITestOther> {
 public:
  STDMETHODIMP Base(LONG* out) override { *out = 1; return S_OK; }
  STDMETHODIMP Derived(LONG* out) override { *out = 2; return S_OK; }
  STDMETHODIMP Other(LONG* out) override { *out = 3; return NOERROR; }
  ~TestObject() override { ++g_destroyed; }
};

TEST(ComObject, AnswersListedInterfacesAndTheirBases) {
  g_destroyed = 0;
  TestObject* obj = vq::MakeComObject<TestObject>();
  ASSERT_NE(obj, nullptr);
  EXPECT_EQ(obj->RefCount(), 1u);

  IUnknown* unk = nullptr;
  ITestBase* base = nullptr;
  ITestOther* other = nullptr;
  ASSERT_EQ(obj->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unk)), S_OK);
  ASSERT_EQ(obj->QueryInterface(&base), S_OK);
  ASSERT_EQ(obj->QueryInterface(&other), S_OK);
  LONG v = 0;
  base->Base(&v);
  EXPECT_EQ(v, 1);
  other->Other(&v);
  EXPECT_EQ(v, 3);

  // IUnknown gives one identity whichever interface it was asked through.
  IUnknown* unk2 = nullptr;
  ASSERT_EQ(other->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unk2)), S_OK);
  EXPECT_EQ(unk, unk2);

  void* none = reinterpret_cast<void*>(1);
  EXPECT_EQ(obj->QueryInterface(__uuidof(ITestDerived) == __uuidof(ITestOther) ? IID_NULL : GUID_NULL, &none),
            E_NOINTERFACE);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(obj->QueryInterface(IID_IUnknown, nullptr), E_POINTER);

  EXPECT_EQ(obj->RefCount(), 5u);
  unk->Release();
  unk2->Release();
  base->Release();
  other->Release();
  EXPECT_EQ(g_destroyed, 0);
  EXPECT_EQ(obj->Release(), 0u);
  EXPECT_EQ(g_destroyed, 1);
}

TEST(ComObject, CreateComObjectReleasesOnRefusal) {
  g_destroyed = 0;
  void* p = nullptr;
  EXPECT_EQ(vq::CreateComObject<TestObject>(GUID_NULL, &p), E_NOINTERFACE);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(g_destroyed, 1);
  ITestOther* other = nullptr;
  ASSERT_EQ(vq::CreateComObject<TestObject>(IID_PPV_ARGS(&other)), S_OK);
  EXPECT_EQ(other->Release(), 0u);
  EXPECT_EQ(g_destroyed, 2);
}

}  // namespace
