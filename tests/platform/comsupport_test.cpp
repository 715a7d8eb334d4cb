// _com_error, _com_issue_errorex, _bstr_t, _variant_t, _com_ptr_t and vq::ComPtr.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <utility>

#include "VQComObject.h"
#include "VQComRuntime.h"
#include "VQComSupport.h"
#include "VQKernel.h"

namespace {

VQ_DECLARE_INTERFACE(ISupportThing, IUnknown, "3b8e51a2-0d44-4f6c-8d0e-5a7c9e2f1b30");
struct ISupportThing : IUnknown {
  STDMETHOD_(int, Answer)() = 0;
};
VQ_DECLARE_INTERFACE(IOtherThing, IUnknown, "3b8e51a2-0d44-4f6c-8d0e-5a7c9e2f1b31");
struct IOtherThing : IUnknown {};

// Reports error info for ISupportThing only.
class Reporter : public vq::ComObject<Reporter, ISupportThing, IOtherThing, vq::SupportErrorInfoFor<ISupportThing>> {
 public:
  STDMETHODIMP_(int) Answer() override { return 42; }
};

// Offers no ISupportErrorInfo at all.
class Silent : public vq::ComObject<Silent, ISupportThing> {
 public:
  STDMETHODIMP_(int) Answer() override { return 7; }
};

_COM_SMARTPTR_TYPEDEF(ISupportThing, __uuidof(ISupportThing));
_COM_SMARTPTR_TYPEDEF(IOtherThing, __uuidof(IOtherThing));

// The error fn throws (S_OK when it throws none); a copy of it in *error.
template <class Fn>
HRESULT Thrown(Fn fn, _com_error* error = nullptr) {
  try {
    fn();
  } catch (const _com_error& e) {
    if (error != nullptr) *error = e;
    return e.Error();
  }
  return S_OK;
}

// Leaves an error object with the given description on the calling thread.
void LeaveErrorInfo(const wchar_t* description) {
  ICreateErrorInfo* create = nullptr;
  ASSERT_EQ(CreateErrorInfo(&create), S_OK);
  create->SetDescription(const_cast<LPOLESTR>(description));
  create->SetSource(const_cast<LPOLESTR>(L"TestSource"));
  create->SetHelpContext(17);
  IErrorInfo* info = nullptr;
  ASSERT_EQ(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)), S_OK);
  ASSERT_EQ(SetErrorInfo(0, info), S_OK);
  info->Release();
  create->Release();
}

// ---------------------------------------------------------------------------
// _com_error
// ---------------------------------------------------------------------------
TEST(ComError, SystemMessageWithoutTrailingLineBreak) {
  LPSTR system = nullptr;
  const DWORD n = FormatMessageA(0x1300, nullptr, static_cast<DWORD>(E_INVALIDARG),
                                 MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPSTR>(&system), 0,
                                 nullptr);
  ASSERT_GT(n, 0u) << "the platform has a message for E_INVALIDARG";
  std::string expected(system);
  LocalFree(system);
  while (!expected.empty() && (expected.back() == '\n' || expected.back() == '\r')) expected.pop_back();
  _com_error error(E_INVALIDARG);
  const char* text = error.ErrorMessage();
  EXPECT_EQ(std::string(text), expected);
  EXPECT_EQ(error.ErrorMessage(), text);  // made once, kept in the object
}

TEST(ComError, FallbackTexts) {
  const struct {
    uint32_t hr;
    const char* text;
  } cases[] = {{0x80040205u, "IDispatch error #5"},   {0x80040200u, "IDispatch error #0"},
               {0x8004FFFFu, "IDispatch error #65023"}, {0x8FFFFFFFu, "Unknown error 0x8FFFFFFF"},
               {0x80041234u, "IDispatch error #4148"}, {0xC00D1234u, "Unknown error 0xC00D1234"}};
  for (const auto& c : cases) {
    _com_error error(static_cast<HRESULT>(c.hr));
    EXPECT_STREQ(error.ErrorMessage(), c.text) << std::hex << c.hr;
  }
  EXPECT_EQ(_com_error(static_cast<HRESULT>(0x80040205u)).WCode(), 5);
  EXPECT_EQ(_com_error(E_FAIL).WCode(), 0);
  EXPECT_EQ(_com_error::WCodeToHRESULT(5), static_cast<HRESULT>(0x80040205u));
  EXPECT_EQ(_com_error::HRESULTToWCode(_com_error::WCodeToHRESULT(0x1234)), 0x1234);
}

TEST(ComError, CopiesShareTheErrorObjectAndMakeTheirOwnText) {
  LeaveErrorInfo(L"what went wrong");
  IErrorInfo* info = nullptr;
  ASSERT_EQ(GetErrorInfo(0, &info), S_OK);
  info->AddRef();  // keep one to watch the count
  {
    _com_error error(E_FAIL, info);  // takes over one reference
    _com_error copy(error);
    EXPECT_EQ(copy.Error(), E_FAIL);
    EXPECT_EQ(std::wstring(static_cast<const wchar_t*>(copy.Description())), L"what went wrong");
    EXPECT_EQ(std::wstring(static_cast<const wchar_t*>(copy.Source())), L"TestSource");
    EXPECT_EQ(copy.HelpContext(), 17u);
    EXPECT_TRUE(!copy.HelpFile());
    IErrorInfo* again = copy.ErrorInfo();
    EXPECT_EQ(again, info);
    again->Release();
    EXPECT_NE(copy.ErrorMessage(), error.ErrorMessage());
    EXPECT_STREQ(copy.ErrorMessage(), error.ErrorMessage());
    _com_error assigned(S_OK);
    assigned = copy;
    EXPECT_EQ(assigned.Error(), E_FAIL);
  }
  // Every copy released its reference: ours is the last.
  EXPECT_EQ(info->Release(), 0u);
  _com_error bare(E_FAIL);
  EXPECT_EQ(bare.ErrorInfo(), nullptr);
  EXPECT_TRUE(!bare.Description());
  EXPECT_EQ(bare.GUID(), GUID_NULL);
}

TEST(ComError, IssueErrorExAttachesInfoOnlyWhenSupported) {
  Reporter* reporter = vq::MakeComObject<Reporter>();
  Silent* silent = vq::MakeComObject<Silent>();

  LeaveErrorInfo(L"supported");
  _com_error e(S_OK);
  ASSERT_EQ(Thrown([&] { _com_issue_errorex(E_FAIL, reporter->GetUnknown(), __uuidof(ISupportThing)); }, &e), E_FAIL);
  EXPECT_EQ(std::wstring(static_cast<const wchar_t*>(e.Description())), L"supported");
  IErrorInfo* left = nullptr;
  EXPECT_EQ(GetErrorInfo(0, &left), S_FALSE);  // taken from the thread

  LeaveErrorInfo(L"other interface");
  EXPECT_EQ(Thrown([&] { _com_issue_errorex(E_INVALIDARG, reporter->GetUnknown(), __uuidof(IOtherThing)); }, &e),
            E_INVALIDARG);
  EXPECT_EQ(e.ErrorInfo(), nullptr);
  EXPECT_EQ(Thrown([&] { _com_issue_errorex(E_POINTER, silent->GetUnknown(), __uuidof(ISupportThing)); }, &e),
            E_POINTER);
  EXPECT_EQ(e.ErrorInfo(), nullptr);
  EXPECT_EQ(Thrown([&] { _com_issue_errorex(E_POINTER, nullptr, __uuidof(ISupportThing)); }, &e), E_POINTER);
  EXPECT_EQ(e.ErrorInfo(), nullptr);
  // Info the objects did not vouch for stays on the thread.
  ASSERT_EQ(GetErrorInfo(0, &left), S_OK);
  left->Release();
  EXPECT_THROW(_com_issue_error(E_OUTOFMEMORY), _com_error);
  EXPECT_EQ(reporter->RefCount(), 1u);
  EXPECT_EQ(silent->RefCount(), 1u);
  reporter->Release();
  silent->Release();
}

// ---------------------------------------------------------------------------
// _bstr_t
// ---------------------------------------------------------------------------
TEST(BstrT, AnsiTextGoesThroughWindows1252) {
  _bstr_t euro("\x80 and \xE9");
  EXPECT_EQ(std::wstring(static_cast<const wchar_t*>(euro)), L"\u20AC and \u00E9");
  _bstr_t wide(L"\u20AC\u0100x");
  EXPECT_STREQ(static_cast<const char*>(wide), "\x80?x");
  EXPECT_EQ(static_cast<const char*>(wide), static_cast<const char*>(wide));  // made once
  _bstr_t none(static_cast<const char*>(nullptr));
  EXPECT_EQ(static_cast<const wchar_t*>(none), nullptr);
  EXPECT_EQ(static_cast<const char*>(none), nullptr);
  EXPECT_EQ(none.length(), 0u);
  EXPECT_TRUE(none == _bstr_t(L""));  // a null string equals an empty one
}

TEST(BstrT, CopiesShareAndChangesDoNotLeak) {
  _bstr_t a(L"abc");
  _bstr_t b = a;
  EXPECT_EQ(static_cast<const wchar_t*>(a), static_cast<const wchar_t*>(b));  // shared
  b += L"def";
  EXPECT_TRUE(a == L"abc");
  EXPECT_TRUE(b == L"abcdef");
  b += b;
  EXPECT_TRUE(b == "abcdefabcdef");
  EXPECT_EQ(b.length(), 12u);
  _bstr_t joined = "x" + a + _bstr_t(L"y");
  EXPECT_TRUE(joined == L"xabcy");
  EXPECT_TRUE(_bstr_t(L"abc") < _bstr_t(L"abd"));
  EXPECT_TRUE(_bstr_t(L"ab") < _bstr_t(L"abc"));
  EXPECT_FALSE(a != _bstr_t("abc"));
  // A string still shared is duplicated for Detach; the copy keeps its own.
  _bstr_t c = a;
  BSTR detached = c.Detach();
  EXPECT_NE(detached, static_cast<const wchar_t*>(a));
  EXPECT_TRUE(a == L"abc");
  EXPECT_EQ(c.length(), 0u);
  SysFreeString(detached);
}

TEST(BstrT, EmbeddedZerosAttachAndAddress) {
  const OLECHAR text[] = {L'a', L'\0', L'b'};
  BSTR raw = SysAllocStringLen(text, 3);
  _bstr_t copied(raw, true);
  _bstr_t owned(raw, false);  // takes over raw
  EXPECT_EQ(copied.length(), 3u);
  EXPECT_TRUE(copied == owned);
  BSTR copy = owned.copy();
  EXPECT_NE(copy, raw);
  EXPECT_EQ(SysStringLen(copy), 3u);
  SysFreeString(copy);
  EXPECT_EQ(owned.copy(false), raw);

  _bstr_t filled;
  *filled.GetAddress() = SysAllocString(L"from callee");
  EXPECT_TRUE(filled == L"from callee");
  filled.Attach(SysAllocString(L"attached"));
  EXPECT_TRUE(filled == L"attached");
  _bstr_t shared = filled;
  filled.GetBSTR()[0] = L'A';  // unshared before it is written through
  EXPECT_TRUE(filled == L"Attached");
  EXPECT_TRUE(shared == L"attached");
  EXPECT_STREQ(static_cast<const char*>(filled), "Attached");
}

TEST(BstrT, CopiesMayBeReadFromSeveralThreads) {
  const _bstr_t shared(L"shared \u00e9 text");
  std::thread readers[4];
  for (auto& reader : readers) {
    reader = std::thread([copy = shared] {
      for (int i = 0; i < 100; ++i) {
        _bstr_t mine = copy;
        EXPECT_STREQ(static_cast<const char*>(mine), "shared \xE9 text");
      }
    });
  }
  for (auto& reader : readers) reader.join();
}

// ---------------------------------------------------------------------------
// _variant_t
// ---------------------------------------------------------------------------
TEST(VariantT, ConstructorsPickTheirTypes) {
  const std::pair<_variant_t, VARTYPE> types[] = {
      {5, VT_I4},           {LONG{5}, VT_I4}, {_variant_t(5, VT_INT), VT_INT}, {short{5}, VT_I2}, {5L, VT_I8},
      {LONGLONG{5}, VT_I8}, {5u, VT_UI4},     {ULONGLONG{5}, VT_UI8},          {1.5, VT_R8},      {1.5f, VT_R4},
      {BYTE{7}, VT_UI1},    {'c', VT_I1}};
  for (const auto& [v, vt] : types) EXPECT_EQ(v.vt, vt) << vt;
  EXPECT_EQ(_variant_t(static_cast<short>(5), VT_BOOL).boolVal, VARIANT_TRUE);
  EXPECT_EQ(_variant_t(true).boolVal, VARIANT_TRUE);
  _variant_t text("caf\xE9");
  ASSERT_EQ(text.vt, VT_BSTR);
  EXPECT_EQ(std::wstring(text.bstrVal), L"caf\u00E9");
  EXPECT_THROW(_variant_t(5, VT_R8), _com_error);
}

TEST(VariantT, ExtractionConvertsOrThrows) {
  EXPECT_EQ(static_cast<int>(_variant_t(L"42")), 42);
  EXPECT_EQ(static_cast<double>(_variant_t(3)), 3.0);
  EXPECT_EQ(static_cast<short>(_variant_t(2.5)), 2);
  EXPECT_TRUE(static_cast<bool>(_variant_t(L"True")));
  EXPECT_EQ(std::wstring(static_cast<const wchar_t*>(_bstr_t(_variant_t(1.5)))), L"1.5");
  EXPECT_EQ(Thrown([] { static_cast<void>(static_cast<BYTE>(_variant_t(300))); }), DISP_E_OVERFLOW);
  EXPECT_EQ(Thrown([] { static_cast<void>(static_cast<double>(_variant_t(L"x"))); }), DISP_E_TYPEMISMATCH);
  _variant_t v(L"12");
  v.ChangeType(VT_I2);
  EXPECT_EQ(v.vt, VT_I2);
  EXPECT_EQ(v.iVal, 12);
  _variant_t keep(L"kept");
  EXPECT_THROW(keep.ChangeType(VT_I4), _com_error);
  EXPECT_EQ(keep.vt, VT_BSTR);
  _variant_t from;
  from.ChangeType(VT_BSTR, &v);
  EXPECT_EQ(std::wstring(from.bstrVal), L"12");
}

TEST(VariantT, InterfaceReferencesAreCounted) {
  Silent* object = vq::MakeComObject<Silent>();
  IUnknown* unknown = object->GetUnknown();
  {
    _variant_t held(unknown);
    EXPECT_EQ(object->RefCount(), 2u);
    _variant_t copy = held;
    EXPECT_EQ(object->RefCount(), 3u);
    IUnknown* extracted = copy;  // a new reference for the caller
    EXPECT_EQ(object->RefCount(), 4u);
    extracted->Release();
    copy = 5;  // releases the interface
    EXPECT_EQ(object->RefCount(), 2u);
    unknown->AddRef();
    _variant_t taken(unknown, false);  // takes the reference over
    EXPECT_EQ(object->RefCount(), 3u);
    VARIANT raw = taken.Detach();
    EXPECT_EQ(taken.vt, VT_EMPTY);
    _variant_t back;
    back.Attach(raw);
    EXPECT_EQ(raw.vt, VT_EMPTY);
    EXPECT_EQ(object->RefCount(), 3u);
    back.Clear();
    EXPECT_EQ(object->RefCount(), 2u);
  }
  EXPECT_EQ(object->RefCount(), 1u);
  object->Release();
}

TEST(VariantT, EqualityComparesTypeAndValue) {
  EXPECT_TRUE(_variant_t(5) == _variant_t(5));
  EXPECT_FALSE(_variant_t(5) == _variant_t(5L));
  EXPECT_TRUE(_variant_t(L"a\u00e9") == _variant_t("a\xE9"));
  EXPECT_FALSE(_variant_t(L"ab") == _variant_t(L"abc"));
  EXPECT_TRUE(_variant_t() == _variant_t());
}

// ---------------------------------------------------------------------------
// _com_ptr_t
// ---------------------------------------------------------------------------
TEST(ComPtrT, ReferenceCountsFollowTheStandardRules) {
  Reporter* object = vq::MakeComObject<Reporter>();
  ISupportThing* raw = object;
  {
    ISupportThingPtr p(raw);
    EXPECT_EQ(object->RefCount(), 2u);
    ISupportThingPtr q = p;
    EXPECT_EQ(object->RefCount(), 3u);
    EXPECT_EQ(q->Answer(), 42);
    ISupportThingPtr moved = std::move(q);
    EXPECT_EQ(object->RefCount(), 3u);
    EXPECT_TRUE(q == nullptr);
    EXPECT_TRUE(moved == p);
    ISupportThing* detached = moved.Detach();
    EXPECT_EQ(object->RefCount(), 3u);
    moved.Attach(detached);  // takes it back, no AddRef
    EXPECT_EQ(object->RefCount(), 3u);
    ISupportThing** slot = &moved;  // releases what it held
    EXPECT_EQ(object->RefCount(), 2u);
    EXPECT_EQ(*slot, nullptr);
  }
  EXPECT_EQ(object->RefCount(), 1u);
  object->Release();
}

TEST(ComPtrT, ConversionsQueryInterfaceAndCompareIdentity) {
  Reporter* object = vq::MakeComObject<Reporter>();
  {
    ISupportThingPtr thing(static_cast<ISupportThing*>(object));
    IUnknownPtr unknown = thing;  // QueryInterface
    EXPECT_TRUE(unknown == thing);
    EXPECT_TRUE(unknown == static_cast<IOtherThing*>(object));
    IOtherThingPtr other = unknown;
    ASSERT_TRUE(other);
    EXPECT_EQ(object->RefCount(), 4u);
    IStreamPtr stream = unknown;  // not offered: null, no exception
    EXPECT_FALSE(stream);
    EXPECT_TRUE(!stream);
    _variant_t v(static_cast<IUnknown*>(unknown));
    ISupportThingPtr fromVariant(v);
    EXPECT_EQ(fromVariant->Answer(), 42);
  }
  EXPECT_EQ(object->RefCount(), 1u);
  object->Release();
}

TEST(ComPtrT, NullDereferenceThrowsEPointer) {
  IStreamPtr empty;
  EXPECT_EQ(Thrown([&] { empty->Commit(0); }), E_POINTER);
  EXPECT_THROW(empty.Release(), _com_error);
  EXPECT_THROW(IStreamPtr(1), _com_error);
  EXPECT_TRUE(IStreamPtr(0) == nullptr);
}

// A class factory for CreateInstance.
class ThingFactory : public vq::ComObject<ThingFactory, IClassFactory> {
 public:
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    return vq::CreateComObject<Reporter>(riid, ppv);
  }
  STDMETHODIMP LockServer(BOOL) override { return S_OK; }
};

constexpr CLSID kThingClass = vq::ParseGuid("3b8e51a2-0d44-4f6c-8d0e-5a7c9e2f1b3f");

TEST(ComPtrT, CreateInstanceGoesThroughTheRuntime) {
  std::thread([] {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    ThingFactory* factory = vq::MakeComObject<ThingFactory>();
    DWORD cookie = 0;
    ASSERT_EQ(CoRegisterClassObject(kThingClass, factory->GetUnknown(), CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE,
                                    &cookie),
              S_OK);
    {
      ISupportThingPtr thing;
      EXPECT_EQ(thing.CreateInstance(kThingClass, nullptr, CLSCTX_INPROC_SERVER), S_OK);
      ASSERT_TRUE(thing);
      EXPECT_EQ(thing->Answer(), 42);
      ISupportThingPtr created(kThingClass, nullptr, CLSCTX_INPROC_SERVER);
      EXPECT_EQ(created->Answer(), 42);
      EXPECT_EQ(thing.CreateInstance(vq::ParseGuid("3b8e51a2-0d44-4f6c-8d0e-5a7c9e2f1b40"), nullptr,
                                     CLSCTX_INPROC_SERVER),
                REGDB_E_CLASSNOTREG);
      EXPECT_FALSE(thing);
      EXPECT_EQ(thing.CreateInstance(static_cast<LPCWSTR>(nullptr)), E_INVALIDARG);
      IStreamPtr notOffered;
      EXPECT_EQ(notOffered.CreateInstance(kThingClass, nullptr, CLSCTX_INPROC_SERVER), E_NOINTERFACE);
    }
    EXPECT_EQ(CoRevokeClassObject(cookie), S_OK);
    factory->Release();
    CoUninitialize();
  }).join();
}

// ---------------------------------------------------------------------------
// vq::ComPtr
// ---------------------------------------------------------------------------
TEST(VqComPtr, OwnershipVocabulary) {
  Reporter* object = vq::MakeComObject<Reporter>();
  {
    vq::ComPtr<ISupportThing> p;
    p.attach(object);  // takes the creation reference
    EXPECT_EQ(object->RefCount(), 1u);
    vq::ComPtr<ISupportThing> copy = p;
    EXPECT_EQ(object->RefCount(), 2u);
    vq::ComPtr<ISupportThing> moved = std::move(copy);
    EXPECT_EQ(object->RefCount(), 2u);
    EXPECT_FALSE(copy);
    ISupportThing* out = nullptr;
    ASSERT_EQ(moved.copy_to(&out), S_OK);
    EXPECT_EQ(object->RefCount(), 3u);
    out->Release();
    ISupportThing** slot = moved.put();  // releases what it held
    EXPECT_EQ(*slot, nullptr);
    EXPECT_EQ(object->RefCount(), 1u);
    moved.copy_from(p.get());
    EXPECT_EQ(object->RefCount(), 2u);
    moved.copy_from(moved.get());  // assigning itself keeps the object alive
    EXPECT_EQ(object->RefCount(), 2u);
    vq::ComPtr<IUnknown> asUnknown = moved;  // converts without QueryInterface
    EXPECT_EQ(object->RefCount(), 3u);
    object->AddRef();
    ISupportThing* detached = p.detach();
    EXPECT_EQ(detached, static_cast<ISupportThing*>(object));
    detached->Release();
    EXPECT_EQ(object->RefCount(), 3u);
  }
  EXPECT_EQ(object->RefCount(), 1u);
  object->Release();
}

TEST(VqComPtr, QueriesReportFailureWithoutThrowing) {
  vq::ComPtr<ISupportThing> thing;
  thing.attach(vq::MakeComObject<Reporter>());
  HRESULT hr = E_FAIL;
  vq::ComPtr<IOtherThing> other = thing.query<IOtherThing>(&hr);
  EXPECT_EQ(hr, S_OK);
  EXPECT_TRUE(other);
  vq::ComPtr<IStream> stream = thing.query<IStream>(&hr);
  EXPECT_EQ(hr, E_NOINTERFACE);
  EXPECT_FALSE(stream);
  EXPECT_FALSE(thing.try_query<IStream>());
  EXPECT_TRUE(thing.try_query<ISupportErrorInfo>());
  IOtherThing* raw = reinterpret_cast<IOtherThing*>(1);
  EXPECT_EQ(thing.as(&raw), S_OK);
  raw->Release();
  EXPECT_EQ(thing.as(__uuidof(IStream), reinterpret_cast<void**>(&raw)), E_NOINTERFACE);
  EXPECT_EQ(raw, nullptr);
  vq::ComPtr<ISupportThing> empty;
  EXPECT_FALSE(empty.try_query<IUnknown>());
  EXPECT_EQ(empty.as(__uuidof(IUnknown), reinterpret_cast<void**>(&raw)), E_POINTER);
}

}  // namespace
