// The VQDataMatrixLib library as a component server: its resources, the class
// object of VQDataMatrix, the four exports and VQGetSwapStatistics(2). The module
// lock count they answer from is core/VQModule.h; the class object makes its
// matrices through vq::CreateMatrixObject (component/VQMatrixClass.h), which
// matrix/ defines, so that nothing here includes the matrix.
//
// The library puts its class into the process's in-process class table when
// it is loaded (a static entry object, removed again on unload), so
// CoCreateInstance finds the class in any process linked against it without
// registration; DllRegisterServer writes the registry store so that processes
// not linked against it find it and load it with dlopen.
//
// The exports have C linkage. The VQData library exports the same four
// names; this library is linked with -Bsymbolic-functions, so its own calls
// bind to its own definitions, and the runtime reaches each library's
// exports through dlsym on that library's own handle. A program linked to
// both that calls DllRegisterServer by name gets this library's (it comes
// first among the program's dependencies).
#include <dlfcn.h>

#include <climits>
#include <cstdlib>
#include <string>

#include "VQDataMatrixLib.h"
#include "platform/VQRegistrar.h"
#include "VQResources.h"
#include "component/VQMatrixClass.h"
#include "core/VQModule.h"
#include "memory/FileCache.h"

// The identifiers as text for the registry script (the interface
// identifier is checked at compile time; the class and library identifiers,
// objects of component/VQDataMatrixIds.cpp, by the registration tests).
#define VQDM_CLSID_TEXT "35078CFA-9E3B-4E32-B265-26792C93261E"
#define VQDM_LIBID_TEXT "9621577E-F954-4CD0-A2EF-F8FDBE422C93"
#define VQDM_IID_TEXT "BCFCCD04-00C7-4A0F-9BE0-A8813CDCEF6A"
static_assert(vq::ParseGuid(VQDM_IID_TEXT) == IID_IVQDataMatrix);

// The data item library's DllCanUnloadNow under a name of its own.
STDAPI VQDataCanUnloadNow();

#define VQDM_VERSION "1.0.0.1"
#define VQDM_TYPELIB_HELP "VQDataMatrixLib 1.0 Type Library"

namespace {

// ---------------------------------------------------------------------------
// Resources (format in VQResources.h). DllRegisterServer runs the script it
// finds here, so a tool that reads the section sees exactly what
// registration writes.
// ---------------------------------------------------------------------------
const char kResources[] VQ_RESOURCE_SECTION =
    "VQRESOURCES 1\n"
    "\0"
    "REGISTRY 101\n"
    "HKCR\n"
    "{\n"
    "  VQDataMatrixLib.VQDataMatrix.1 = s 'VQDataMatrix Class'\n"
    "  {\n"
    "    CLSID = s '{" VQDM_CLSID_TEXT "}'\n"
    "  }\n"
    "  VQDataMatrixLib.VQDataMatrix = s 'VQDataMatrix Class'\n"
    "  {\n"
    "    CLSID = s '{" VQDM_CLSID_TEXT "}'\n"
    "    CurVer = s 'VQDataMatrixLib.VQDataMatrix.1'\n"
    "  }\n"
    "  NoRemove CLSID\n"
    "  {\n"
    "    ForceRemove {" VQDM_CLSID_TEXT "} = s 'VQDataMatrix Class'\n"
    "    {\n"
    "      ProgID = s 'VQDataMatrixLib.VQDataMatrix.1'\n"
    "      VersionIndependentProgID = s 'VQDataMatrixLib.VQDataMatrix'\n"
    "      ForceRemove 'Programmable'\n"
    "      InprocServer32 = s '%MODULE%'\n"
    "      {\n"
    "        val ThreadingModel = s 'Apartment'\n"
    "      }\n"
    "      'TypeLib' = s '{" VQDM_LIBID_TEXT "}'\n"
    "    }\n"
    "  }\n"
    "}\n"
    "\0"
    "TYPELIB 1\n"
    "Name=VQDATAMATRIXLIBLib\n"
    "Libid={" VQDM_LIBID_TEXT "}\n"
    "Version=1.0\n"
    "Lcid=0\n"
    "HelpString=" VQDM_TYPELIB_HELP "\n"
    "Interface=IVQDataMatrix {" VQDM_IID_TEXT "} dual\n"
    "\0"
    "STRING 100\n"
    "VQDataMatrixLib"
    "\0"
    "VERSION 1\n"
    "FileVersion=" VQDM_VERSION "\n"
    "ProductVersion=" VQDM_VERSION "\n"
    "FileDescription=VQDataMatrixLib Module\n"
    "ProductName=VQDataMatrixLib Module\n"
    "InternalName=VQDataMatrixLib\n"
    "OriginalFilename=libVQDataMatrixLib.so\n";

// The registry script (resource REGISTRY 101), or null when the section
// cannot be read back (never expected: it is this file's own constant).
const char* RegistryScript(std::string* storage) {
  std::vector<vq::LibraryResource> resources;
  if (FAILED(vq::ParseResourceSection(kResources, sizeof kResources, &resources))) return nullptr;
  const vq::LibraryResource* script = vq::FindLibraryResource(resources, "REGISTRY", 101);
  if (script == nullptr) return nullptr;
  *storage = script->content;
  return storage->c_str();
}

// The full path of this library file (symbolic links resolved), empty when
// the loader cannot tell.
std::wstring LibraryPath() {
  Dl_info info{};
  if (dladdr(static_cast<const void*>(kResources), &info) == 0 || info.dli_fname == nullptr) return std::wstring();
  std::string path = info.dli_fname;
  if (char* real = realpath(info.dli_fname, nullptr)) {
    path = real;
    free(real);
  }
  int n = MultiByteToWideChar(CP_UTF8, 0, path.c_str(), -1, nullptr, 0);
  if (n <= 1) return std::wstring();
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, path.c_str(), -1, wide.data(), n);
  wide.resize(static_cast<size_t>(n - 1));
  return wide;
}

vq::TypeLibRegistration TypeLib(const std::wstring& path) {
  vq::TypeLibRegistration t;
  t.libid = LIBID_VQDATAMATRIXLIBLib;
  t.majorVersion = 1;
  t.minorVersion = 0;
  t.lcid = 0;
  t.helpString = L"" VQDM_TYPELIB_HELP;
  t.path = path;
  t.interfaces.emplace_back(IID_IVQDataMatrix, L"IVQDataMatrix");
  return t;
}

// ---------------------------------------------------------------------------
// The class object.
// ---------------------------------------------------------------------------
class CVQDataMatrixFactory final : public vq::ComObject<CVQDataMatrixFactory, IClassFactory> {
 public:
  // Creates a matrix alone, or aggregated into pUnkOuter (then riid must be
  // IID_IUnknown and *ppvObject is the matrix's non-delegating IUnknown).
  STDMETHODIMP CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) override {
    try {
      return vq::CreateMatrixObject(pUnkOuter, riid, ppvObject);
    } catch (...) {
      if (ppvObject != nullptr) *ppvObject = nullptr;
      return E_OUTOFMEMORY;
    }
  }
  STDMETHODIMP LockServer(BOOL fLock) override {
    vq::g_MatrixModule.LockServer(fLock != FALSE);
    return S_OK;
  }

 private:
  // A client holding the class object keeps the library loaded.
  vq::ModuleLock m_ModuleLock;
};

}  // namespace

// ---------------------------------------------------------------------------
// The exports.
// ---------------------------------------------------------------------------

// The class object of VQDataMatrix (a new one per call) asked for riid.
// E_POINTER for a null ppv, CLASS_E_CLASSNOTAVAILABLE for any other class,
// E_NOINTERFACE, E_OUTOFMEMORY; *ppv is null on failure.
STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (rclsid != CLSID_VQDataMatrix) return CLASS_E_CLASSNOTAVAILABLE;
  return vq::CreateComObject<CVQDataMatrixFactory>(riid, ppv);
}

// S_OK when no matrix, no class object and no server lock is alive (and the
// data item library this one depends on could go too), S_FALSE otherwise.
STDAPI DllCanUnloadNow() {
  if (vq::g_MatrixModule.CanUnloadNow() != S_OK) return S_FALSE;
  // The data item library is loaded as this library's dependency: unloading
  // this library may take that one along, so it waits for its items too.
  return VQDataCanUnloadNow() == S_OK ? S_OK : S_FALSE;
}

// Runs the registry script with this file's path, then registers the type
// library. S_OK; E_UNEXPECTED when the library cannot find its own path or
// script; otherwise the registrar's result (HRESULT_FROM_WIN32 of the store's
// error, e.g. ERROR_BADDB for a damaged store).
STDAPI DllRegisterServer() {
  try {
    std::wstring path = LibraryPath();
    std::string storage;
    const char* script = RegistryScript(&storage);
    if (path.empty() || script == nullptr) return E_UNEXPECTED;
    HRESULT hr = vq::UpdateRegistryFromScript(script, {{L"MODULE", path}}, true);
    if (FAILED(hr)) return hr;
    return vq::RegisterTypeLibKeys(TypeLib(path), true);
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

// Removes what DllRegisterServer wrote (the CLSID root stays); keys already
// gone are no failure. Results as for DllRegisterServer.
STDAPI DllUnregisterServer() {
  try {
    std::wstring path = LibraryPath();
    std::string storage;
    const char* script = RegistryScript(&storage);
    if (path.empty() || script == nullptr) return E_UNEXPECTED;
    HRESULT hr = vq::UpdateRegistryFromScript(script, {{L"MODULE", path}}, false);
    if (FAILED(hr)) return hr;
    return vq::RegisterTypeLibKeys(TypeLib(path), false);
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

// The transfers of every swap file of the process since the library was
// loaded (memory/FileCache.h counts them). S_OK, or E_POINTER for null.
EXTERN_C HRESULT VQGetSwapStatistics(VQSwapStatistics* statistics) {
  if (statistics == nullptr) return E_POINTER;
  const vq::SwapTransferCounts counts = vq::SwapTransfers();
  statistics->BlocksWritten = counts.blocksWritten;
  statistics->BytesWritten = counts.bytesWritten;
  statistics->BlocksRead = counts.blocksRead;
  statistics->BytesRead = counts.bytesRead;
  return S_OK;
}

// The first version of VQSwapStatistics2 is the whole structure; a later
// caller's larger one gets this prefix, and Size tells how much was filled.
EXTERN_C HRESULT VQGetSwapStatistics2(VQSwapStatistics2* statistics) {
  if (statistics == nullptr) return E_POINTER;
  if (statistics->Size < sizeof(VQSwapStatistics2)) return E_INVALIDARG;
  const vq::SwapTransferCounts counts = vq::SwapTransfers();
  VQSwapStatistics2 filled{};
  filled.Size = sizeof(VQSwapStatistics2);
  filled.BlocksWritten = counts.blocksWritten;
  filled.BytesWritten = counts.bytesWritten;
  filled.BlocksRead = counts.blocksRead;
  filled.BytesRead = counts.bytesRead;
  filled.FailedSaves = counts.failedSaves;
  filled.BytesNotSwapped = counts.bytesNotSaved;
  filled.FailedLowMemorySaves = counts.failedLowMemorySaves;
  filled.ChecksumFailures = counts.checksumFailures;
  *statistics = filled;
  return S_OK;
}

namespace {
const vq::InProcessClassEntry kMatrixClass(CLSID_VQDataMatrix, L"VQDataMatrixLib.VQDataMatrix.1",
                                           L"VQDataMatrixLib.VQDataMatrix", &DllGetClassObject);
}
