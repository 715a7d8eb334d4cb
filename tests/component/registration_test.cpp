// Registration, the class object, DllCanUnloadNow and aggregation of
// VQDataMatrixLib, and a client process that is not linked against it.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <filesystem>

#include "RegistrationTestSupport.h"
#include "VQDataMatrixLib.h"
#include "tests/platform/testlib/TempRegistry.h"

namespace {

using vq::test::Export;
using vq::test::ListStore;
using vq::test::RunChild;
using vq::test::Wide;

typedef HRESULT (*EntryFn)();

// The matrix library's own DllGetClassObject (the VQData library has one too).
HRESULT MatrixGetClassObject(REFCLSID clsid, REFIID iid, void** ppv) {
  static const auto fn = Export<LPFNGETCLASSOBJECT>(VQ_MATRIX_LIBRARY, "DllGetClassObject");
  return fn != nullptr ? fn(clsid, iid, ppv) : E_UNEXPECTED;
}

std::string RealPath(const char* path) {
  char buffer[PATH_MAX];
  return realpath(path, buffer) != nullptr ? std::string(buffer) : std::string(path);
}

const std::wstring kClsid = L"{35078CFA-9E3B-4E32-B265-26792C93261E}";
const std::wstring kLibid = L"{9621577E-F954-4CD0-A2EF-F8FDBE422C93}";
const std::wstring kIid = L"{BCFCCD04-00C7-4A0F-9BE0-A8813CDCEF6A}";

// What registration must leave in an empty store, written out by hand: each
// key with the keys above it, and its default value when it has one.
std::map<std::wstring, std::wstring> ExpectedKeys(const std::wstring& path) {
  std::map<std::wstring, std::wstring> keys;
  auto add = [&](const std::wstring& key, const std::wstring& value = L"") {
    for (size_t end = key.find(L'\\'); end != std::wstring::npos; end = key.find(L'\\', end + 1))
      keys[key.substr(0, end)] = L"";
    keys[key] = L"";
    if (!value.empty()) keys[key + L"|@"] = L"sz:" + value;
  };
  const std::wstring cls = L"CLSID\\" + kClsid, tlb = L"TypeLib\\" + kLibid + L"\\1.0", itf = L"Interface\\" + kIid;
  const std::wstring marshaler = L"{00020424-0000-0000-C000-000000000046}";
  for (const std::wstring progId : {L"VQDataMatrixLib.VQDataMatrix.1", L"VQDataMatrixLib.VQDataMatrix"}) {
    add(progId, L"VQDataMatrix Class");
    add(progId + L"\\CLSID", kClsid);
  }
  add(L"VQDataMatrixLib.VQDataMatrix\\CurVer", L"VQDataMatrixLib.VQDataMatrix.1");
  add(cls, L"VQDataMatrix Class");
  add(cls + L"\\ProgID", L"VQDataMatrixLib.VQDataMatrix.1");
  add(cls + L"\\VersionIndependentProgID", L"VQDataMatrixLib.VQDataMatrix");
  add(cls + L"\\Programmable");
  add(cls + L"\\InprocServer32", path);
  keys[cls + L"\\InprocServer32|ThreadingModel"] = L"sz:Apartment";
  add(cls + L"\\TypeLib", kLibid);
  add(tlb, L"VQDataMatrixLib 1.0 Type Library");
  add(tlb + L"\\FLAGS", L"0");
  add(tlb + L"\\HELPDIR", path.substr(0, path.find_last_of(L'/')));
  add(tlb + L"\\0\\linux64", path);
  add(itf, L"IVQDataMatrix");
  add(itf + L"\\ProxyStubClsid", marshaler);
  add(itf + L"\\ProxyStubClsid32", marshaler);
  add(itf + L"\\TypeLib", kLibid);
  keys[itf + L"\\TypeLib|Version"] = L"sz:1.0";
  return keys;
}

class RegistrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(m_Registry.Dir().empty());
    m_Register = Export<EntryFn>(VQ_MATRIX_LIBRARY, "DllRegisterServer");
    m_Unregister = Export<EntryFn>(VQ_MATRIX_LIBRARY, "DllUnregisterServer");
    m_CanUnload = Export<EntryFn>(VQ_MATRIX_LIBRARY, "DllCanUnloadNow");
    ASSERT_NE(m_Register, nullptr);
    ASSERT_NE(m_Unregister, nullptr);
    ASSERT_NE(m_CanUnload, nullptr);
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
  }
  void TearDown() override { CoUninitialize(); }

  static vq::ComPtr<IClassFactory> Factory() {
    vq::ComPtr<IClassFactory> factory;
    EXPECT_EQ(MatrixGetClassObject(CLSID_VQDataMatrix, IID_IClassFactory, factory.put_void()), S_OK);
    return factory;
  }

  TempRegistry m_Registry;
  EntryFn m_Register = nullptr;
  EntryFn m_Unregister = nullptr;
  EntryFn m_CanUnload = nullptr;
};

// ---------------------------------------------------------------------------
// Keys written and removed.
// ---------------------------------------------------------------------------

TEST_F(RegistrationTest, RegisterWritesExactlyTheScriptKeysAndTypeLibrary) {
  ASSERT_EQ(m_Register(), S_OK);
  const std::wstring path = Wide(RealPath(VQ_MATRIX_LIBRARY));
  EXPECT_EQ(ListStore(), ExpectedKeys(path));
  // Registering again changes nothing.
  ASSERT_EQ(m_Register(), S_OK);
  EXPECT_EQ(ListStore(), ExpectedKeys(path));
}

TEST_F(RegistrationTest, UnregisterRemovesWhatItWroteAndLeavesRootsAndOthers) {
  // Someone else's class and a key another program put under our ProgID.
  const std::wstring other = L"CLSID\\{01234567-89AB-CDEF-0123-456789ABCDEF}\\InprocServer32";
  CreateKey(HKEY_CLASSES_ROOT, other);
  ASSERT_EQ(m_Register(), S_OK);
  ASSERT_EQ(m_Unregister(), S_OK);
  std::map<std::wstring, std::wstring> expected = {
      {L"CLSID", L""},
      {L"CLSID\\{01234567-89AB-CDEF-0123-456789ABCDEF}", L""},
      {other, L""},
      {L"TypeLib", L""},
      {L"Interface", L""},
  };
  EXPECT_EQ(ListStore(), expected);
  // Unregistering what is not registered is no failure.
  EXPECT_EQ(m_Unregister(), S_OK);
  EXPECT_EQ(ListStore(), expected);
}

TEST_F(RegistrationTest, RegisterReplacesAStaleClassKey) {
  // A class key left by an older version with a path that no longer exists
  // and a subkey this version does not write.
  const std::wstring cls = L"CLSID\\" + kClsid;
  CreateKey(HKEY_CLASSES_ROOT, cls + L"\\LocalServer32");
  ASSERT_EQ(m_Register(), S_OK);
  EXPECT_EQ(ListStore(), ExpectedKeys(Wide(RealPath(VQ_MATRIX_LIBRARY))));
}

TEST_F(RegistrationTest, DamagedOrUnreadableStoreGivesAClearResult) {
  m_Registry.Replace("VQRegistry 1\n[HKEY_CLASSES_ROOT\\CLSID]\n@=sz:\"cut off");
  EXPECT_EQ(m_Register(), HRESULT_FROM_WIN32(ERROR_BADDB));
  EXPECT_EQ(m_Unregister(), HRESULT_FROM_WIN32(ERROR_BADDB));
  // The damaged file is left as it was.
  EXPECT_EQ(m_Registry.Contents(), "VQRegistry 1\n[HKEY_CLASSES_ROOT\\CLSID]\n@=sz:\"cut off");

  // A store path that names a directory cannot be read as a file.
  setenv("VQ_REGISTRY", m_Registry.Dir().c_str(), 1);
  HRESULT hr = m_Register();
  EXPECT_TRUE(FAILED(hr));
  EXPECT_EQ(HRESULT_FACILITY(hr), FACILITY_WIN32) << std::hex << hr;
  setenv("VQ_REGISTRY", m_Registry.Path().c_str(), 1);
}

TEST_F(RegistrationTest, StoreInAMissingDirectoryIsCreated) {
  setenv("VQ_REGISTRY", (m_Registry.Dir() + "/no/such/dir/registry").c_str(), 1);
  ASSERT_EQ(m_Register(), S_OK);
  EXPECT_EQ(ListStore(), ExpectedKeys(Wide(RealPath(VQ_MATRIX_LIBRARY))));
  setenv("VQ_REGISTRY", m_Registry.Path().c_str(), 1);
}

// ---------------------------------------------------------------------------
// A client that is not linked against the library.
// ---------------------------------------------------------------------------

// The child also keeps a data item alive across the unload request of the
// matrix library that loaded the item's library as its dependency: before
// the fix that request took both libraries and the item's next call crashed.
TEST_F(RegistrationTest, UnlinkedClientCreatesAndUsesAMatrixThroughTheRegistry) {
  ASSERT_EQ(RunChild({VQ_REGISTRY_CLIENT, "register", VQ_DATA_LIBRARY, VQ_MATRIX_LIBRARY}).exitCode, 0);
  vq::test::ChildResult r = RunChild({VQ_REGISTRY_CLIENT, "use", RealPath(VQ_MATRIX_LIBRARY)});
  EXPECT_EQ(r.exitCode, 0) << r.out;
  // With nothing alive, CoFreeUnusedLibraries took the library out of the
  // process (and the client loaded it again afterwards).
  EXPECT_NE(r.out.find("unloaded=yes"), std::string::npos) << r.out;
}

TEST_F(RegistrationTest, RegisterServerToolRegistersUnregistersAndReports) {
  vq::test::ChildResult r = RunChild({VQ_REGSVR_TOOL, "-s", VQ_MATRIX_LIBRARY});
  ASSERT_EQ(r.exitCode, 0);
  EXPECT_EQ(ListStore(), ExpectedKeys(Wide(RealPath(VQ_MATRIX_LIBRARY))));
  EXPECT_EQ(RunChild({VQ_REGSVR_TOOL, "-u", "-s", VQ_MATRIX_LIBRARY}).exitCode, 0);
  EXPECT_FALSE(ListStore().count(L"CLSID\\" + kClsid));

  EXPECT_EQ(RunChild({VQ_REGSVR_TOOL, m_Registry.Dir() + "/missing.so"}).exitCode, 3);
  EXPECT_EQ(RunChild({VQ_REGSVR_TOOL, VQ_PLATFORM_LIBRARY}).exitCode, 4);
  EXPECT_EQ(RunChild({VQ_REGSVR_TOOL}).exitCode, 1);
  m_Registry.Replace("garbage");
  EXPECT_EQ(RunChild({VQ_REGSVR_TOOL, VQ_MATRIX_LIBRARY}).exitCode, 5);

  r = RunChild({VQ_REGSVR_TOOL, "-r", VQ_MATRIX_LIBRARY});
  ASSERT_EQ(r.exitCode, 0);
  EXPECT_NE(r.out.find("== REGISTRY 101"), std::string::npos);
  EXPECT_NE(r.out.find("InternalName=VQDataMatrixLib"), std::string::npos);
  // The type library record names the library that registration writes.
  EXPECT_NE(r.out.find("Libid=" + std::string(kLibid.begin(), kLibid.end()) + "\nVersion=1.0"), std::string::npos);
  EXPECT_EQ(RunChild({VQ_REGSVR_TOOL, "-r", VQ_REGISTRY_CLIENT}).exitCode, 6);
}

TEST_F(RegistrationTest, LibrariesRegisteredByARelativePathRecordTheirFullPath) {
  // vqregsvr runs in this process's working directory; the path it is given
  // is relative to it, which means nothing to other processes.
  const std::string cwd = std::filesystem::current_path().string();
  for (const char* library : {VQ_MATRIX_LIBRARY, VQ_DATA_LIBRARY}) {
    const std::string relative = std::filesystem::relative(library, cwd).string();
    ASSERT_NE(relative.front(), '/');
    ASSERT_EQ(RunChild({VQ_REGSVR_TOOL, "-s", relative}).exitCode, 0) << relative;
  }
  const auto store = ListStore();
  auto server = [&](const std::wstring& clsid) {
    auto it = store.find(L"CLSID\\" + clsid + L"\\InprocServer32|@");
    return it == store.end() ? std::wstring() : it->second;
  };
  EXPECT_EQ(server(kClsid), L"sz:" + Wide(RealPath(VQ_MATRIX_LIBRARY)));
  OLECHAR text[40];
  ASSERT_GT(StringFromGUID2(CLSID_VQData, text, 40), 0);
  EXPECT_EQ(server(text), L"sz:" + Wide(RealPath(VQ_DATA_LIBRARY)));
}

TEST_F(RegistrationTest, DataItemLibraryRegistersItsOwnClass) {
  auto registerData = Export<EntryFn>(VQ_DATA_LIBRARY, "DllRegisterServer");
  auto unregisterData = Export<EntryFn>(VQ_DATA_LIBRARY, "DllUnregisterServer");
  ASSERT_NE(registerData, nullptr);
  ASSERT_NE(registerData, m_Register);  // each library's own export
  ASSERT_EQ(registerData(), S_OK);
  const auto store = ListStore();
  EXPECT_TRUE(store.count(L"VQData.VQData\\CurVer"));
  EXPECT_FALSE(store.count(L"CLSID\\" + kClsid));
  OLECHAR clsid[40];
  ASSERT_GT(StringFromGUID2(CLSID_VQData, clsid, 40), 0);
  ASSERT_EQ(unregisterData(), S_OK);
  EXPECT_FALSE(ListStore().count(L"VQData.VQData"));
  EXPECT_FALSE(ListStore().count(L"CLSID\\" + std::wstring(clsid)));
  EXPECT_EQ(unregisterData(), S_OK);  // twice is no failure
}

// ---------------------------------------------------------------------------
// The class object, QueryInterface and DllCanUnloadNow.
// ---------------------------------------------------------------------------

TEST_F(RegistrationTest, ClassObjectOnlyForTheMatrixClass) {
  vq::ComPtr<IClassFactory> factory;
  EXPECT_EQ(MatrixGetClassObject(LIBID_VQDATAMATRIXLIBLib, IID_IClassFactory, factory.put_void()),
            CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(factory.get(), nullptr);
  EXPECT_EQ(MatrixGetClassObject(CLSID_VQDataMatrix, IID_IClassFactory, nullptr), E_POINTER);
  vq::ComPtr<IUnknown> wrong;
  EXPECT_EQ(MatrixGetClassObject(CLSID_VQDataMatrix, IID_IVQDataMatrix, wrong.put_void()), E_NOINTERFACE);
  EXPECT_EQ(wrong.get(), nullptr);
}

TEST_F(RegistrationTest, MatrixAnswersItsFourInterfacesWithOneIdentity) {
  vq::ComPtr<IVQDataMatrix> matrix;
  ASSERT_EQ(Factory()->CreateInstance(nullptr, IID_IVQDataMatrix, matrix.put_void()), S_OK);
  vq::ComPtr<IUnknown> identity = matrix.query<IUnknown>();
  ASSERT_TRUE(identity);
  for (const IID* iid : {&IID_IUnknown, &IID_IVQDataMatrix, &IID_IDispatch, &IID_ISupportErrorInfo}) {
    vq::ComPtr<IUnknown> p;
    ASSERT_EQ(matrix->QueryInterface(*iid, p.put_void()), S_OK);
    EXPECT_EQ(p.query<IUnknown>().get(), identity.get());
  }
  for (const IID* iid : {&IID_IClassFactory, &IID_IStream, &IID_IVQData}) {
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(matrix->QueryInterface(*iid, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
  }
}

TEST_F(RegistrationTest, CanUnloadNowCountsObjectsClassObjectsAndServerLocks) {
  ASSERT_EQ(m_CanUnload(), S_OK);
  {
    vq::ComPtr<IVQDataMatrix> matrix;
    ASSERT_EQ(CoCreateInstance(CLSID_VQDataMatrix, nullptr, CLSCTX_INPROC_SERVER, IID_IVQDataMatrix,
                               matrix.put_void()),
              S_OK);
    EXPECT_EQ(m_CanUnload(), S_FALSE);
    ASSERT_EQ(matrix->Initialize(0, 2, 1, 1, 1), S_OK);
    EXPECT_EQ(m_CanUnload(), S_FALSE);
  }
  EXPECT_EQ(m_CanUnload(), S_OK);

  vq::ComPtr<IClassFactory> factory = Factory();
  EXPECT_EQ(m_CanUnload(), S_FALSE);  // a held class object keeps the library
  ASSERT_EQ(factory->LockServer(TRUE), S_OK);
  factory = nullptr;
  EXPECT_EQ(m_CanUnload(), S_FALSE);
  factory = Factory();
  ASSERT_EQ(factory->LockServer(FALSE), S_OK);
  factory = nullptr;
  EXPECT_EQ(m_CanUnload(), S_OK);
}

TEST_F(RegistrationTest, CanUnloadNowWaitsForDataItemsOfTheDependentLibrary) {
  vq::ComPtr<IUnknown> item;
  ASSERT_EQ(CoCreateInstance(CLSID_VQData, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, item.put_void()), S_OK);
  EXPECT_EQ(m_CanUnload(), S_FALSE);
  item = nullptr;
  EXPECT_EQ(m_CanUnload(), S_OK);
}

// ---------------------------------------------------------------------------
// Aggregation.
// ---------------------------------------------------------------------------

// An outer object that aggregates a matrix: it answers IUnknown itself and
// passes every other request to the inner object's non-delegating IUnknown.
class Outer : public IUnknown {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    if (riid == IID_IUnknown) {
      *ppv = static_cast<IUnknown*>(this);
      AddRef();
      return S_OK;
    }
    if (m_Inner == nullptr) {
      *ppv = nullptr;
      return E_NOINTERFACE;
    }
    return m_Inner->QueryInterface(riid, ppv);
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++m_Refs; }
  STDMETHODIMP_(ULONG) Release() override { return --m_Refs; }  // lives on the test's stack

  ULONG m_Refs = 1;
  IUnknown* m_Inner = nullptr;
};

TEST_F(RegistrationTest, AggregatedMatrixDelegatesIdentityAndReferenceCounts) {
  Outer outer;
  vq::ComPtr<IClassFactory> factory = Factory();
  void* p = reinterpret_cast<void*>(1);
  EXPECT_EQ(factory->CreateInstance(&outer, IID_IVQDataMatrix, &p), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(CoCreateInstance(CLSID_VQDataMatrix, &outer, CLSCTX_INPROC_SERVER, IID_IVQDataMatrix, &p),
            CLASS_E_NOAGGREGATION);

  ASSERT_EQ(factory->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&outer.m_Inner)), S_OK);
  factory = nullptr;
  ASSERT_NE(outer.m_Inner, nullptr);
  ASSERT_NE(outer.m_Inner, static_cast<IUnknown*>(&outer));
  EXPECT_EQ(outer.m_Refs, 1u);  // creating the inner object takes no reference on the outer one
  EXPECT_EQ(m_CanUnload(), S_FALSE);

  // The inner unknown answers IUnknown with itself and counts on its own.
  IUnknown* innerAgain = nullptr;
  ASSERT_EQ(outer.m_Inner->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&innerAgain)), S_OK);
  EXPECT_EQ(innerAgain, outer.m_Inner);
  EXPECT_EQ(outer.m_Refs, 1u);
  EXPECT_EQ(innerAgain->Release(), 1u);

  // Any other interface comes with a reference on the outer object.
  IVQDataMatrix* matrix = nullptr;
  ASSERT_EQ(outer.m_Inner->QueryInterface(IID_IVQDataMatrix, reinterpret_cast<void**>(&matrix)), S_OK);
  EXPECT_EQ(outer.m_Refs, 2u);
  EXPECT_EQ(matrix->AddRef(), 3u);
  EXPECT_EQ(matrix->Release(), 2u);

  // The identity is the outer object's (IDispatch shares the matrix
  // interface's vtable, so this holds for both).
  IUnknown* identity = nullptr;
  ASSERT_EQ(matrix->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
  EXPECT_EQ(identity, static_cast<IUnknown*>(&outer));
  identity->Release();
  void* none = nullptr;
  EXPECT_EQ(matrix->QueryInterface(IID_IClassFactory, &none), E_NOINTERFACE);
  EXPECT_EQ(outer.m_Refs, 2u);

  // The aggregated matrix works.
  ASSERT_EQ(matrix->Initialize(0, 2, 3, 1, 1), S_OK);
  LONG size = 0;
  ASSERT_EQ(matrix->get_Size(2, &size), S_OK);
  EXPECT_EQ(size, 3);

  // The outer object lets go: first its interface, then the inner unknown,
  // which destroys the matrix.
  matrix->Release();
  EXPECT_EQ(outer.m_Refs, 1u);
  EXPECT_EQ(m_CanUnload(), S_FALSE);
  EXPECT_EQ(outer.m_Inner->Release(), 0u);
  outer.m_Inner = nullptr;
  EXPECT_EQ(m_CanUnload(), S_OK);
}

}  // namespace
