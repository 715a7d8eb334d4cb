// VQDataModule.cpp - the VQData library's class object and exports.
//
// The library puts its class into the process's in-process class table when
// it is loaded (a static entry object), so CoCreateInstance(CLSID_VQData, ...)
// works in any process linked against it without registration; the entry is
// removed again when the library is unloaded. The exports DllGetClassObject,
// DllCanUnloadNow, DllRegisterServer and DllUnregisterServer have C linkage;
// the library is linked with -Bsymbolic, so its own calls bind to its own
// definitions even when the matrix library exports the same names.
#include <dlfcn.h>

#include <cstdlib>
#include <string>

#include "vqdata/VQDataInternal.h"
#include "vqdata/VQDataItem.h"

const CLSID CLSID_VQData = vq::ParseGuid("6C3B1E52-8F0A-4D7B-9A61-2E54C0D7B3A9");

namespace vqdata {
namespace {

class CVQDataFactory final : public vq::ComObject<CVQDataFactory, IClassFactory> {
 public:
  STDMETHODIMP CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) override {
    if (ppvObject == nullptr) return E_POINTER;
    *ppvObject = nullptr;
    if (pUnkOuter != nullptr) return CLASS_E_NOAGGREGATION;
    return CreateDataItem(riid, ppvObject);
  }
  STDMETHODIMP LockServer(BOOL fLock) override {
    g_Module.LockServer(fLock != FALSE);
    return S_OK;
  }
};

// The path of this library, for the InprocServer32 key.
std::string LibraryPath() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&LibraryPath), &info) == 0 || info.dli_fname == nullptr) return std::string();
  // The loader keeps the name it was given, which may be relative to the
  // registering process's working directory; other processes need it whole.
  if (char* real = realpath(info.dli_fname, nullptr)) {
    std::string path = real;
    free(real);
    return path;
  }
  return info.dli_fname;
}

}  // namespace
}  // namespace vqdata

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (rclsid != CLSID_VQData) return CLASS_E_CLASSNOTAVAILABLE;
  return vq::CreateComObject<vqdata::CVQDataFactory>(riid, ppv);
}

STDAPI DllCanUnloadNow() {
  return vqdata::g_Module.CanUnloadNow();
}

// DllCanUnloadNow under a name of its own, for a library that loads this one
// as its dependency: it must not let the runtime unload it (and this library
// with it) while items live.
STDAPI VQDataCanUnloadNow() { return DllCanUnloadNow(); }

namespace {

// "CLSID\{...}" of the class.
std::string ClsidKey() {
  OLECHAR text[40];
  StringFromGUID2(CLSID_VQData, text, 40);
  std::string key = "CLSID\\";
  for (const OLECHAR* c = text; *c != 0; ++c) key += static_cast<char>(*c);
  return key;
}

LSTATUS SetString(HKEY root, const std::string& key, const char* name, const std::string& value) {
  HKEY h = nullptr;
  LSTATUS s = RegCreateKeyExA(root, key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, &h, nullptr);
  if (s != ERROR_SUCCESS) return s;
  s = RegSetValueExA(h, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                     static_cast<DWORD>(value.size() + 1));
  RegCloseKey(h);
  return s;
}

}  // namespace

// Writes the class, its InprocServer32 (this library's path, threading model
// Both) and both ProgIDs under HKEY_CLASSES_ROOT of the registry store.
STDAPI DllRegisterServer() {
  try {
    std::string path = vqdata::LibraryPath();
    if (path.empty()) return SELFREG_E_CLASS;
    const std::string clsid = ClsidKey();
    const std::string braced = clsid.substr(6);
    LSTATUS s = SetString(HKEY_CLASSES_ROOT, clsid, nullptr, "VQData data item");
    if (s == ERROR_SUCCESS) s = SetString(HKEY_CLASSES_ROOT, clsid + "\\InprocServer32", nullptr, path);
    if (s == ERROR_SUCCESS) s = SetString(HKEY_CLASSES_ROOT, clsid + "\\InprocServer32", "ThreadingModel", "Both");
    if (s == ERROR_SUCCESS) s = SetString(HKEY_CLASSES_ROOT, clsid + "\\ProgID", nullptr, VQDATA_PROGID_VERSIONED);
    if (s == ERROR_SUCCESS)
      s = SetString(HKEY_CLASSES_ROOT, clsid + "\\VersionIndependentProgID", nullptr, VQDATA_PROGID);
    if (s == ERROR_SUCCESS)
      s = SetString(HKEY_CLASSES_ROOT, std::string(VQDATA_PROGID_VERSIONED) + "\\CLSID", nullptr, braced);
    if (s == ERROR_SUCCESS) s = SetString(HKEY_CLASSES_ROOT, std::string(VQDATA_PROGID) + "\\CLSID", nullptr, braced);
    if (s == ERROR_SUCCESS)
      s = SetString(HKEY_CLASSES_ROOT, std::string(VQDATA_PROGID) + "\\CurVer", nullptr, VQDATA_PROGID_VERSIONED);
    return s == ERROR_SUCCESS ? S_OK : SELFREG_E_CLASS;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

// Removes what DllRegisterServer wrote; keys already gone are no failure.
STDAPI DllUnregisterServer() {
  try {
    const std::string keys[] = {ClsidKey(), VQDATA_PROGID_VERSIONED, VQDATA_PROGID};
    for (const std::string& key : keys) {
      LSTATUS s = RegDeleteTreeA(HKEY_CLASSES_ROOT, key.c_str());
      if (s != ERROR_SUCCESS && s != ERROR_FILE_NOT_FOUND) return SELFREG_E_CLASS;
    }
    return S_OK;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

namespace {
// Puts the class into the in-process class table while the library is loaded.
const vq::InProcessClassEntry g_ClassEntry(CLSID_VQData, L"" VQDATA_PROGID_VERSIONED, L"" VQDATA_PROGID,
                                           &DllGetClassObject);
}  // namespace
