// Apartments, class lookup through the in-process table, registered class
// objects and the registry store (with dlopen of a test library), ProgIDs.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "RuntimeTestClass.h"
#include "TempRegistry.h"
#include "VQComRuntime.h"
#include "VQOleAuto.h"

namespace {

// Runs fn on a new thread (which starts outside any apartment) and waits.
template <class Fn>
void OnNewThread(Fn fn) {
  std::thread thread(fn);
  thread.join();
}

// CoCreateInstance without an outer object, for the interface of *out.
template <class T>
HRESULT Create(REFCLSID clsid, DWORD context, T** out) {
  return CoCreateInstance(clsid, nullptr, context, __uuidof(T), reinterpret_cast<void**>(out));
}

TEST(Apartments, NestingAndModeChangesFollowTheRules) {
  OnNewThread([] {
    // A thread that never joined an apartment can neither create nor get a class object.
    IUnknown* p = reinterpret_cast<IUnknown*>(0x1);
    EXPECT_EQ(CoCreateInstance(CLSID_RuntimeTestClass, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               reinterpret_cast<void**>(&p)),
              CO_E_NOTINITIALIZED);
    EXPECT_EQ(p, nullptr);
    p = reinterpret_cast<IUnknown*>(0x1);
    EXPECT_EQ(CoGetClassObject(CLSID_RuntimeTestClass, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                               reinterpret_cast<void**>(&p)),
              CO_E_NOTINITIALIZED);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(CoInitializeEx(reinterpret_cast<void*>(1), COINIT_APARTMENTTHREADED), E_INVALIDARG);
    EXPECT_EQ(CoInitializeEx(nullptr, 0x100), E_INVALIDARG);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    EXPECT_EQ(CoInitialize(nullptr), S_FALSE);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE), S_FALSE);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE);  // not counted
    CoUninitialize();
    CoUninitialize();
    // One initialisation is still open.
    EXPECT_NE(CoCreateInstance(CLSID_NULL, nullptr, CLSCTX_ALL, IID_IUnknown, reinterpret_cast<void**>(&p)),
              CO_E_NOTINITIALIZED);
    CoUninitialize();
    EXPECT_EQ(CoCreateInstance(CLSID_NULL, nullptr, CLSCTX_ALL, IID_IUnknown, reinterpret_cast<void**>(&p)),
              CO_E_NOTINITIALIZED);
    CoUninitialize();  // unmatched: ignored
    // Fully left, the thread may choose the other kind.
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    CoUninitialize();
  });
}

TEST(Apartments, EachThreadKeepsItsOwnMode) {
  ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
  OnNewThread([] {
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    CoUninitialize();
  });
  CoUninitialize();
}

// A class linked into the test program, served through the in-process table.
VQ_DECLARE_INTERFACE(ILinkedThing, IUnknown, "0E1F2A3B-4C5D-4E6F-8091-A2B3C4D5E6F7");
struct ILinkedThing : IUnknown {
  STDMETHOD_(LONG, Tag)() = 0;
};
VQ_DEFINE_GUID(CLSID_LinkedThing, "0E1F2A3B-4C5D-4E6F-8091-A2B3C4D5E6F8");

class LinkedThing : public vq::ComObject<LinkedThing, ILinkedThing> {
 public:
  explicit LinkedThing(LONG tag) : m_Tag(tag) {}
  STDMETHODIMP_(LONG) Tag() override { return m_Tag; }

 private:
  LONG m_Tag;
};

// Creates LinkedThings carrying the factory's tag; fails on request, leaving
// garbage in *ppv as a careless factory might.
class LinkedFactory : public vq::ComObject<LinkedFactory, IClassFactory> {
 public:
  explicit LinkedFactory(LONG tag) : m_Tag(tag) {}
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    if (s_Fail) {
      *ppv = reinterpret_cast<void*>(0xBAD);
      return E_FAIL;
    }
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    return vq::CreateComObject<LinkedThing>(riid, ppv, m_Tag);
  }
  STDMETHODIMP LockServer(BOOL) override { return S_OK; }
  static inline bool s_Fail = false;

 private:
  LONG m_Tag;
};

HRESULT LinkedGetClassObject(REFCLSID clsid, REFIID riid, LPVOID* ppv) {
  if (clsid != CLSID_LinkedThing) return CLASS_E_CLASSNOTAVAILABLE;
  return vq::CreateComObject<LinkedFactory>(riid, ppv, 1);
}

class ComRuntimeTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK); }
  void TearDown() override {
    CoFreeUnusedLibraries();
    CoUninitialize();
  }

  static std::wstring Text(REFCLSID clsid) {
    wchar_t text[39];
    StringFromGUID2(clsid, text, 39);
    return text;
  }

  static std::wstring Wide(const char* s) { return std::wstring(s, s + std::strlen(s)); }

  // Registers clsid's InprocServer32 as libraryPath.
  static void RegisterServer(REFCLSID clsid, const std::wstring& libraryPath) {
    SetString(HKEY_CLASSES_ROOT, L"CLSID\\" + Text(clsid) + L"\\InprocServer32", nullptr, libraryPath);
  }

  static bool LibraryLoaded(const char* path) {
    void* handle = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr) return false;
    dlclose(handle);
    return true;
  }

  TempRegistry m_Registry;
};

TEST_F(ComRuntimeTest, InProcessTableCreatesLinkedClasses) {
  ILinkedThing* thing = nullptr;
  EXPECT_EQ(Create(CLSID_LinkedThing, CLSCTX_INPROC_SERVER, &thing), REGDB_E_CLASSNOTREG);
  {
    vq::InProcessClassEntry entry(CLSID_LinkedThing, L"Test.Linked.1", L"Test.Linked", LinkedGetClassObject);
    // Context 23 (server, handler, local, remote) is what data item creation uses.
    ASSERT_EQ(Create(CLSID_LinkedThing, 23, &thing), S_OK);
    EXPECT_EQ(thing->Tag(), 1);
    thing->Release();
    thing = reinterpret_cast<ILinkedThing*>(0x1);
    EXPECT_EQ(Create(CLSID_LinkedThing, CLSCTX_LOCAL_SERVER, &thing), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(thing, nullptr);

    for (const wchar_t* progId : {L"test.linked", L"Test.Linked.1"}) {
      CLSID clsid{};
      EXPECT_EQ(CLSIDFromProgID(progId, &clsid), S_OK);
      EXPECT_EQ(clsid, CLSID_LinkedThing) << progId;
    }
    LPOLESTR progId = nullptr;
    ASSERT_EQ(ProgIDFromCLSID(CLSID_LinkedThing, &progId), S_OK);
    EXPECT_STREQ(progId, L"Test.Linked.1");
    CoTaskMemFree(progId);
  }
  // The entry's destructor took the class out again (as a library's static
  // destructor does on unload), so nothing dangles.
  EXPECT_EQ(Create(CLSID_LinkedThing, CLSCTX_INPROC_SERVER, &thing), REGDB_E_CLASSNOTREG);
  CLSID clsid{};
  EXPECT_EQ(CLSIDFromProgID(L"Test.Linked", &clsid), CO_E_CLASSSTRING);
}

TEST_F(ComRuntimeTest, CreationArgumentsAndFailuresLeaveNoPointer) {
  vq::InProcessClassEntry entry(CLSID_LinkedThing, nullptr, nullptr, LinkedGetClassObject);
  EXPECT_EQ(CoCreateInstance(CLSID_LinkedThing, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, nullptr), E_POINTER);
  EXPECT_EQ(CoGetClassObject(CLSID_LinkedThing, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory, nullptr),
            E_INVALIDARG);

  LinkedThing* outer = vq::MakeComObject<LinkedThing>(0);
  void* p = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(CoCreateInstance(CLSID_LinkedThing, outer, CLSCTX_INPROC_SERVER, __uuidof(ILinkedThing), &p),
            CLASS_E_NOAGGREGATION);
  EXPECT_EQ(p, nullptr);
  // With IID_IUnknown the request reaches the factory, which declines.
  EXPECT_EQ(CoCreateInstance(CLSID_LinkedThing, outer, CLSCTX_INPROC_SERVER, IID_IUnknown, &p), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(outer->RefCount(), 1u);
  outer->Release();

  LinkedFactory::s_Fail = true;
  p = nullptr;
  EXPECT_EQ(CoCreateInstance(CLSID_LinkedThing, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &p), E_FAIL);
  LinkedFactory::s_Fail = false;
  EXPECT_EQ(p, nullptr);

  // An interface the class object lacks.
  p = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(CoGetClassObject(CLSID_LinkedThing, CLSCTX_INPROC_SERVER, nullptr, __uuidof(ILinkedThing), &p),
            E_NOINTERFACE);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(OleRun(nullptr), E_INVALIDARG);
  IUnknown* unknown = nullptr;
  ASSERT_EQ(CoCreateInstance(CLSID_LinkedThing, nullptr, 23, IID_IUnknown, reinterpret_cast<void**>(&unknown)), S_OK);
  EXPECT_EQ(OleRun(unknown), S_OK);
  unknown->Release();
}

TEST_F(ComRuntimeTest, RegisteredClassObjectComesFirstUntilRevoked) {
  vq::InProcessClassEntry entry(CLSID_LinkedThing, nullptr, nullptr, LinkedGetClassObject);
  LinkedFactory* factory = vq::MakeComObject<LinkedFactory>(2);
  DWORD cookie = 0;
  ASSERT_EQ(CoRegisterClassObject(CLSID_LinkedThing, factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie), S_OK);
  EXPECT_EQ(factory->RefCount(), 2u);
  ILinkedThing* thing = nullptr;
  ASSERT_EQ(Create(CLSID_LinkedThing, CLSCTX_ALL, &thing), S_OK);
  EXPECT_EQ(thing->Tag(), 2);
  thing->Release();
  EXPECT_EQ(CoRevokeClassObject(cookie), S_OK);
  EXPECT_EQ(factory->RefCount(), 1u);
  EXPECT_EQ(CoRevokeClassObject(cookie), E_INVALIDARG);
  ASSERT_EQ(Create(CLSID_LinkedThing, CLSCTX_ALL, &thing), S_OK);
  EXPECT_EQ(thing->Tag(), 1);
  thing->Release();
  factory->Release();
}

TEST_F(ComRuntimeTest, RegistryLoadsTheLibraryOnceAndUnloadsItWhenUnused) {
  ASSERT_FALSE(LibraryLoaded(VQ_RUNTIME_TESTLIB)) << "the test library must not be linked in";
  RegisterServer(CLSID_RuntimeTestClass, Wide(VQ_RUNTIME_TESTLIB));

  IRuntimeTestCounter* first = nullptr;
  ASSERT_EQ(Create(CLSID_RuntimeTestClass, 23, &first), S_OK);
  IRuntimeTestCounter* second = nullptr;
  ASSERT_EQ(Create(CLSID_RuntimeTestClass, CLSCTX_INPROC_SERVER, &second), S_OK);
  LONG value = 0;
  EXPECT_EQ(first->Increment(&value), S_OK);
  EXPECT_EQ(first->Increment(&value), S_OK);
  EXPECT_EQ(value, 2);
  EXPECT_EQ(second->Increment(&value), S_OK);
  EXPECT_EQ(value, 1);  // a separate object
  EXPECT_TRUE(LibraryLoaded(VQ_RUNTIME_TESTLIB));

  // Objects alive: the library says no and stays.
  CoFreeUnusedLibraries();
  EXPECT_TRUE(LibraryLoaded(VQ_RUNTIME_TESTLIB));
  EXPECT_EQ(second->Increment(&value), S_OK);
  first->Release();
  second->Release();
  CoFreeUnusedLibrariesEx(0, 0);
  EXPECT_FALSE(LibraryLoaded(VQ_RUNTIME_TESTLIB));

  // And it comes back on demand.
  ASSERT_EQ(Create(CLSID_RuntimeTestClass, CLSCTX_INPROC_SERVER, &first), S_OK);
  first->Release();
  // A class the library does not serve gets the library's own answer.
  constexpr GUID kOther = vq::ParseGuid("5B0D33A1-7C1E-4E58-9F0B-2C6A1D8E4F03");
  RegisterServer(kOther, Wide(VQ_RUNTIME_TESTLIB));
  void* p = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(CoCreateInstance(kOther, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &p), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(p, nullptr);
}

TEST_F(ComRuntimeTest, BrokenRegistrationsGiveCleanErrors) {
  constexpr GUID kMissingLibrary = vq::ParseGuid("11111111-2222-3333-4444-555555555501");
  constexpr GUID kNotALibrary = vq::ParseGuid("11111111-2222-3333-4444-555555555502");
  constexpr GUID kNoExport = vq::ParseGuid("11111111-2222-3333-4444-555555555503");
  constexpr GUID kNoServerKey = vq::ParseGuid("11111111-2222-3333-4444-555555555504");
  constexpr GUID kUnknown = vq::ParseGuid("11111111-2222-3333-4444-555555555505");
  RegisterServer(kMissingLibrary, L"/nonexistent/libnothing.so");
  std::string junk = m_Registry.Dir() + "/junk.so";
  std::ofstream(junk) << "not a shared library";
  RegisterServer(kNotALibrary, Wide(junk.c_str()));
  RegisterServer(kNoExport, Wide(VQ_RUNTIME_TESTLIB_NOEXPORT));
  SetString(HKEY_CLASSES_ROOT, L"CLSID\\" + Text(kNoServerKey), nullptr, L"Described but not served");

  struct Case {
    const CLSID* clsid;
    HRESULT expected;
  } cases[] = {{&kMissingLibrary, CO_E_DLLNOTFOUND},
               {&kNotALibrary, CO_E_DLLNOTFOUND},
               {&kNoExport, CO_E_ERRORINDLL},
               {&kNoServerKey, REGDB_E_CLASSNOTREG},
               {&kUnknown, REGDB_E_CLASSNOTREG}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.clsid->Data4[7]);
    void* p = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(CoCreateInstance(*c.clsid, nullptr, 23, IID_IUnknown, &p), c.expected);
    EXPECT_EQ(p, nullptr);
    p = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(CoGetClassObject(*c.clsid, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory, &p), c.expected);
    EXPECT_EQ(p, nullptr);
  }
  // The library without the export is not kept loaded.
  EXPECT_FALSE(LibraryLoaded(VQ_RUNTIME_TESTLIB_NOEXPORT));

  // A damaged store is reported as such, not as a missing class.
  m_Registry.Replace("VQRegistry 1\n[HKEY_CLASSES_ROOT\\CLSID]\n");
  void* p = nullptr;
  EXPECT_EQ(CoCreateInstance(kNoExport, nullptr, 23, IID_IUnknown, &p), REGDB_E_READREGDB);
  CLSID clsid{};
  EXPECT_EQ(CLSIDFromProgID(L"Any.Thing", &clsid), REGDB_E_READREGDB);
  LPOLESTR progId = nullptr;
  EXPECT_EQ(ProgIDFromCLSID(kNoExport, &progId), REGDB_E_READREGDB);
  EXPECT_EQ(progId, nullptr);
}

TEST_F(ComRuntimeTest, ProgIdsResolveThroughCurVer) {
  const std::wstring clsidText = Text(CLSID_RuntimeTestClass);
  SetString(HKEY_CLASSES_ROOT, L"Test.Counter.1\\CLSID", nullptr, clsidText);
  SetString(HKEY_CLASSES_ROOT, L"Test.Counter\\CurVer", nullptr, L"Test.Counter.1");
  SetString(HKEY_CLASSES_ROOT, L"CLSID\\" + clsidText + L"\\ProgID", nullptr, L"Test.Counter.1");
  SetString(HKEY_CLASSES_ROOT, L"Loop.A\\CurVer", nullptr, L"Loop.B");
  SetString(HKEY_CLASSES_ROOT, L"Loop.B\\CurVer", nullptr, L"Loop.A");
  SetString(HKEY_CLASSES_ROOT, L"Bad.Clsid\\CLSID", nullptr, L"{not a clsid}");

  CLSID viaCurVer{}, direct{};
  ASSERT_EQ(CLSIDFromProgID(L"Test.Counter", &viaCurVer), S_OK);
  ASSERT_EQ(CLSIDFromProgID(L"test.counter.1", &direct), S_OK);
  EXPECT_EQ(viaCurVer, CLSID_RuntimeTestClass);
  EXPECT_EQ(direct, CLSID_RuntimeTestClass);

  CLSID untouched = CLSID_LinkedThing;
  EXPECT_EQ(CLSIDFromProgID(L"Loop.A", &untouched), CO_E_CLASSSTRING);
  EXPECT_EQ(CLSIDFromProgID(L"Bad.Clsid", &untouched), CO_E_CLASSSTRING);
  EXPECT_EQ(CLSIDFromProgID(L"No.Such.Thing", &untouched), CO_E_CLASSSTRING);
  EXPECT_EQ(CLSIDFromProgID(L"CLSID\\Nested", &untouched), CO_E_CLASSSTRING);
  EXPECT_EQ(CLSIDFromProgID(L"", &untouched), CO_E_CLASSSTRING);
  EXPECT_EQ(untouched, CLSID_LinkedThing);
  EXPECT_EQ(CLSIDFromProgID(nullptr, &untouched), E_INVALIDARG);
  EXPECT_EQ(CLSIDFromProgID(L"Test.Counter", nullptr), E_INVALIDARG);

  LPOLESTR progId = nullptr;
  ASSERT_EQ(ProgIDFromCLSID(CLSID_RuntimeTestClass, &progId), S_OK);
  EXPECT_STREQ(progId, L"Test.Counter.1");
  CoTaskMemFree(progId);
  progId = reinterpret_cast<LPOLESTR>(0x1);
  EXPECT_EQ(ProgIDFromCLSID(CLSID_LinkedThing, &progId), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(progId, nullptr);
  EXPECT_EQ(ProgIDFromCLSID(CLSID_LinkedThing, nullptr), E_INVALIDARG);
}

}  // namespace
