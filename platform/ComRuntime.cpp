// Apartments, class lookup and library loading.
//
// Three tables, each behind its own lock:
// - registered class objects (CoRegisterClassObject), a map from cookie to
//   class and object, guarded by RegisteredObjects::mutex;
// - the in-process class table filled by linked component libraries,
//   guarded by InProcessTable::mutex;
// - libraries loaded through the registry (path -> dlopen handle), guarded by
//   LoadedLibraries::mutex, a recursive mutex held across dlopen, the call to
//   DllGetClassObject, DllCanUnloadNow and dlclose. Holding it across the call
//   means CoFreeUnusedLibraries cannot unload a library between the lookup of
//   its export and the end of the call; the recursion allows a library's
//   DllGetClassObject to create other objects on the same thread.
// A library's static initialisers (run inside dlopen) and destructors (run
//   inside dlclose) may register and unregister in-process classes: they take
//   the in-process table's lock while the library lock is held, and no code
//   takes the two in the other order.
#include <dlfcn.h>

#include <cstring>
#include <cwchar>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "VQComRuntime.h"
#include "VQThreadSafety.h"
#include "VQOleAuto.h"

namespace {

// ---------------------------------------------------------------------------
// Apartments.
// ---------------------------------------------------------------------------
struct Apartment {
  int count = 0;  // successful CoInitializeEx calls not yet undone
  DWORD mode = COINIT_MULTITHREADED;
};
thread_local Apartment t_Apartment;

bool ThreadInitialised() { return t_Apartment.count > 0; }

// ---------------------------------------------------------------------------
// Class tables.
// ---------------------------------------------------------------------------
struct InProcessClass {
  std::wstring progId;
  std::wstring versionIndependentProgId;
  vq::GetClassObjectFunction getClassObject = nullptr;
};

struct InProcessTable {
  vq::Mutex mutex;
  std::map<CLSID, InProcessClass> classes VQ_GUARDED_BY(mutex);
};

InProcessTable& TheInProcessTable() {
  // Never destroyed: component libraries unregister from their own static
  // destructors, which may run after this file's.
  static InProcessTable* table = new InProcessTable;
  return *table;
}

struct RegisteredObject {
  CLSID clsid;
  DWORD context;
  IUnknown* object;
};

struct RegisteredObjects {
  vq::Mutex mutex;
  DWORD nextCookie VQ_GUARDED_BY(mutex) = 1;
  std::map<DWORD, RegisteredObject> objects VQ_GUARDED_BY(mutex);
};

RegisteredObjects& TheRegisteredObjects() {
  static RegisteredObjects* table = new RegisteredObjects;
  return *table;
}

struct LoadedLibraries {
  std::recursive_mutex mutex;
  std::map<std::string, void*> handles;  // dlopen handles by path, guarded by mutex
};

LoadedLibraries& TheLoadedLibraries() {
  static LoadedLibraries* table = new LoadedLibraries;
  return *table;
}

bool SameText(const std::wstring& a, const wchar_t* b) {
  size_t n = a.size();
  for (size_t i = 0; i < n; ++i) {
    if (b[i] == 0) return false;
    wchar_t x = a[i], y = b[i];
    if (x >= L'A' && x <= L'Z') x = static_cast<wchar_t>(x + 32);
    if (y >= L'A' && y <= L'Z') y = static_cast<wchar_t>(y + 32);
    if (x != y) return false;
  }
  return b[n] == 0;
}

std::string Utf8OfWide(const std::wstring& w) {
  if (w.empty() || w.size() > INT32_MAX) return std::string();
  const int length = static_cast<int>(w.size());
  const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), length, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return std::string();
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), length, out.data(), n, nullptr, nullptr);
  return out;
}

// The registry's answer as an HRESULT: a missing key or value is
// `missing`; a store that cannot be read is REGDB_E_READREGDB.
HRESULT HResultOfRegistry(LSTATUS status, HRESULT missing) {
  switch (status) {
    case ERROR_SUCCESS:
      return S_OK;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_KEY_DELETED:
    case ERROR_BAD_PATHNAME:
    case ERROR_INVALID_PARAMETER:
      return missing;
    case ERROR_OUTOFMEMORY:
    case ERROR_NOT_ENOUGH_MEMORY:
      return E_OUTOFMEMORY;
    default:
      return REGDB_E_READREGDB;
  }
}

// Reads the string value `name` (null: default) of HKCR\subKey. A value of
// another type or without text counts as missing.
LSTATUS ReadRegistryString(const std::wstring& subKey, const wchar_t* name, std::wstring& out) {
  HKEY key = nullptr;
  LSTATUS status = RegOpenKeyExW(HKEY_CLASSES_ROOT, subKey.c_str(), 0, KEY_READ, &key);
  if (status != ERROR_SUCCESS) return status;
  DWORD type = 0;
  DWORD size = 0;
  status = RegQueryValueExW(key, name, nullptr, &type, nullptr, &size);
  std::vector<wchar_t> buffer;
  if (status == ERROR_SUCCESS) {
    if (type != REG_SZ && type != REG_EXPAND_SZ) {
      status = ERROR_FILE_NOT_FOUND;
    } else {
      buffer.resize(size / sizeof(wchar_t) + 1, L'\0');
      status = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &size);
      // Another process may have grown the value between the two reads.
      if (status == ERROR_MORE_DATA) status = ERROR_CANTREAD;
    }
  }
  RegCloseKey(key);
  if (status != ERROR_SUCCESS) return status;
  buffer.resize(size / sizeof(wchar_t));
  out.assign(buffer.data(), wcsnlen(buffer.data(), buffer.size()));
  return out.empty() ? ERROR_FILE_NOT_FOUND : ERROR_SUCCESS;
}

std::wstring ClsidText(REFCLSID clsid) {
  wchar_t text[39];
  StringFromGUID2(clsid, text, 39);
  return text;
}

// Loads (once) the library at path and asks its DllGetClassObject for the
// class object. The library lock is held throughout.
HRESULT GetClassObjectFromLibrary(const std::wstring& widePath, REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
  std::string path = Utf8OfWide(widePath);
  LoadedLibraries& libraries = TheLoadedLibraries();
  std::lock_guard<std::recursive_mutex> guard(libraries.mutex);
  void* handle = nullptr;
  auto it = libraries.handles.find(path);
  if (it != libraries.handles.end()) {
    handle = it->second;
  } else {
    // A missing file and one that is no loadable library get the same answer,
    // as on Windows; dlerror's text is not kept.
    handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) return CO_E_DLLNOTFOUND;
    if (dlsym(handle, "DllGetClassObject") == nullptr) {
      dlclose(handle);
      return CO_E_ERRORINDLL;
    }
    libraries.handles.emplace(path, handle);
  }
  auto getClassObject = reinterpret_cast<LPFNGETCLASSOBJECT>(dlsym(handle, "DllGetClassObject"));
  if (getClassObject == nullptr) return CO_E_ERRORINDLL;
  HRESULT hr = getClassObject(rclsid, riid, ppv);
  if (FAILED(hr)) *ppv = nullptr;
  return hr;
}

HRESULT GetClassObject(REFCLSID rclsid, DWORD dwClsContext, REFIID riid, LPVOID* ppv) {
  {
    RegisteredObjects& registered = TheRegisteredObjects();
    IUnknown* object = nullptr;
    {
      vq::MutexLock guard(registered.mutex);
      for (const auto& [cookie, entry] : registered.objects) {
        if (entry.clsid == rclsid && (entry.context & dwClsContext) != 0) {
          object = entry.object;
          object->AddRef();
          break;
        }
      }
    }
    if (object != nullptr) {
      HRESULT hr = object->QueryInterface(riid, ppv);
      object->Release();
      return hr;
    }
  }
  if ((dwClsContext & CLSCTX_INPROC_SERVER) == 0) return REGDB_E_CLASSNOTREG;
  vq::GetClassObjectFunction linked = nullptr;
  {
    InProcessTable& table = TheInProcessTable();
    vq::MutexLock guard(table.mutex);
    auto it = table.classes.find(rclsid);
    if (it != table.classes.end()) linked = it->second.getClassObject;
  }
  if (linked != nullptr) {
    HRESULT hr = linked(rclsid, riid, ppv);
    if (FAILED(hr)) *ppv = nullptr;
    return hr;
  }
  std::wstring path;
  HRESULT hr = HResultOfRegistry(
      ReadRegistryString(L"CLSID\\" + ClsidText(rclsid) + L"\\InprocServer32", nullptr, path), REGDB_E_CLASSNOTREG);
  if (FAILED(hr)) return hr;
  return GetClassObjectFromLibrary(path, rclsid, riid, ppv);
}

HRESULT AllocString(const std::wstring& text, LPOLESTR* out) {
  auto* p = static_cast<LPOLESTR>(CoTaskMemAlloc((text.size() + 1) * sizeof(OLECHAR)));
  if (p == nullptr) return E_OUTOFMEMORY;
  std::memcpy(p, text.c_str(), (text.size() + 1) * sizeof(OLECHAR));
  *out = p;
  return S_OK;
}

template <class Fn>
HRESULT Guarded(Fn&& fn) {
  try {
    return fn();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// Apartments.
// ---------------------------------------------------------------------------
STDAPI CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit) {
  constexpr DWORD known =
      COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE | COINIT_SPEED_OVER_MEMORY;
  if (pvReserved != nullptr || (dwCoInit & ~known) != 0) return E_INVALIDARG;
  DWORD mode = dwCoInit & COINIT_APARTMENTTHREADED;
  Apartment& apartment = t_Apartment;
  if (apartment.count == 0) {
    apartment.mode = mode;
    apartment.count = 1;
    return S_OK;
  }
  if (apartment.mode != mode) return RPC_E_CHANGED_MODE;
  ++apartment.count;
  return S_FALSE;
}

STDAPI CoInitialize(LPVOID pvReserved) { return CoInitializeEx(pvReserved, COINIT_APARTMENTTHREADED); }

STDAPI_(void) CoUninitialize() {
  if (t_Apartment.count > 0) --t_Apartment.count;
}

// ---------------------------------------------------------------------------
// Class objects.
// ---------------------------------------------------------------------------
STDAPI CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID, REFIID riid, LPVOID* ppv) {
  if (ppv == nullptr) return E_INVALIDARG;
  *ppv = nullptr;
  if (!ThreadInitialised()) return CO_E_NOTINITIALIZED;
  return Guarded([&] { return GetClassObject(rclsid, dwClsContext, riid, ppv); });
}

STDAPI CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID* ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (pUnkOuter != nullptr && riid != IID_IUnknown) return CLASS_E_NOAGGREGATION;
  if (!ThreadInitialised()) return CO_E_NOTINITIALIZED;
  return Guarded([&] {
    IClassFactory* factory = nullptr;
    HRESULT hr = GetClassObject(rclsid, dwClsContext, IID_IClassFactory, reinterpret_cast<void**>(&factory));
    if (FAILED(hr)) return hr;
    if (factory == nullptr) return E_UNEXPECTED;
    hr = factory->CreateInstance(pUnkOuter, riid, ppv);
    factory->Release();
    if (FAILED(hr)) *ppv = nullptr;
    return hr;
  });
}

STDAPI CoRegisterClassObject(REFCLSID rclsid, LPUNKNOWN pUnk, DWORD dwClsContext, DWORD, LPDWORD lpdwRegister) {
  if (pUnk == nullptr || lpdwRegister == nullptr) return E_INVALIDARG;
  *lpdwRegister = 0;
  return Guarded([&] {
    RegisteredObjects& registered = TheRegisteredObjects();
    vq::MutexLock guard(registered.mutex);
    DWORD cookie = registered.nextCookie++;
    if (registered.nextCookie == 0) registered.nextCookie = 1;
    registered.objects.emplace(cookie, RegisteredObject{rclsid, dwClsContext, pUnk});
    pUnk->AddRef();
    *lpdwRegister = cookie;
    return S_OK;
  });
}

STDAPI CoRevokeClassObject(DWORD dwRegister) {
  IUnknown* object = nullptr;
  {
    RegisteredObjects& registered = TheRegisteredObjects();
    vq::MutexLock guard(registered.mutex);
    auto it = registered.objects.find(dwRegister);
    if (it == registered.objects.end()) return E_INVALIDARG;
    object = it->second.object;
    registered.objects.erase(it);
  }
  object->Release();  // outside the lock: the release may re-enter the runtime
  return S_OK;
}

STDAPI_(void) CoFreeUnusedLibraries() {
  LoadedLibraries& libraries = TheLoadedLibraries();
  std::lock_guard<std::recursive_mutex> guard(libraries.mutex);
  for (auto it = libraries.handles.begin(); it != libraries.handles.end();) {
    auto canUnload = reinterpret_cast<LPFNCANUNLOADNOW>(dlsym(it->second, "DllCanUnloadNow"));
    if (canUnload != nullptr && canUnload() == S_OK) {
      dlclose(it->second);
      it = libraries.handles.erase(it);
    } else {
      ++it;
    }
  }
}

STDAPI_(void) CoFreeUnusedLibrariesEx(DWORD, DWORD) { CoFreeUnusedLibraries(); }

HRESULT vq::RegisterInProcessClass(REFCLSID clsid, const wchar_t* progId, const wchar_t* versionIndependentProgId,
                                   GetClassObjectFunction getClassObject) {
  if (getClassObject == nullptr) return E_INVALIDARG;
  return Guarded([&] {
    InProcessClass entry{progId != nullptr ? progId : L"",
                         versionIndependentProgId != nullptr ? versionIndependentProgId : L"", getClassObject};
    InProcessTable& table = TheInProcessTable();
    vq::MutexLock guard(table.mutex);
    auto [it, inserted] = table.classes.insert_or_assign(clsid, std::move(entry));
    return inserted ? S_OK : S_FALSE;
  });
}

HRESULT vq::UnregisterInProcessClass(REFCLSID clsid, GetClassObjectFunction getClassObject) {
  InProcessTable& table = TheInProcessTable();
  vq::MutexLock guard(table.mutex);
  auto it = table.classes.find(clsid);
  if (it == table.classes.end() || it->second.getClassObject != getClassObject) return S_FALSE;
  table.classes.erase(it);
  return S_OK;
}

// ---------------------------------------------------------------------------
// ProgIDs and identifier strings.
// ---------------------------------------------------------------------------
STDAPI CLSIDFromProgID(LPCOLESTR lpszProgID, LPCLSID lpclsid) {
  if (lpszProgID == nullptr || lpclsid == nullptr) return E_INVALIDARG;
  return Guarded([&]() -> HRESULT {
    {
      InProcessTable& table = TheInProcessTable();
      vq::MutexLock guard(table.mutex);
      for (const auto& [clsid, entry] : table.classes) {
        if ((!entry.progId.empty() && SameText(entry.progId, lpszProgID)) ||
            (!entry.versionIndependentProgId.empty() && SameText(entry.versionIndependentProgId, lpszProgID))) {
          *lpclsid = clsid;
          return S_OK;
        }
      }
    }
    std::wstring progId = lpszProgID;
    // A chain of CurVer entries longer than this is taken for a loop.
    for (int hop = 0; hop < 8; ++hop) {
      if (progId.empty() || progId.find(L'\\') != std::wstring::npos) return CO_E_CLASSSTRING;
      std::wstring text;
      LSTATUS status = ReadRegistryString(progId + L"\\CLSID", nullptr, text);
      if (status == ERROR_SUCCESS) {
        CLSID clsid;
        if (FAILED(CLSIDFromString(text.c_str(), &clsid))) return CO_E_CLASSSTRING;
        *lpclsid = clsid;
        return S_OK;
      }
      HRESULT hr = HResultOfRegistry(status, CO_E_CLASSSTRING);
      if (hr != CO_E_CLASSSTRING) return hr;
      status = ReadRegistryString(progId + L"\\CurVer", nullptr, text);
      hr = HResultOfRegistry(status, CO_E_CLASSSTRING);
      if (FAILED(hr)) return hr;
      progId = text;
    }
    return CO_E_CLASSSTRING;
  });
}

STDAPI ProgIDFromCLSID(REFCLSID clsid, LPOLESTR* lplpszProgID) {
  if (lplpszProgID == nullptr) return E_INVALIDARG;
  *lplpszProgID = nullptr;
  return Guarded([&]() -> HRESULT {
    std::wstring progId;
    {
      InProcessTable& table = TheInProcessTable();
      vq::MutexLock guard(table.mutex);
      auto it = table.classes.find(clsid);
      if (it != table.classes.end())
        progId = !it->second.progId.empty() ? it->second.progId : it->second.versionIndependentProgId;
    }
    if (progId.empty()) {
      HRESULT hr = HResultOfRegistry(ReadRegistryString(L"CLSID\\" + ClsidText(clsid) + L"\\ProgID", nullptr, progId),
                                     REGDB_E_CLASSNOTREG);
      if (FAILED(hr)) return hr;
    }
    return AllocString(progId, lplpszProgID);
  });
}

STDAPI StringFromCLSID(REFCLSID rclsid, LPOLESTR* lplpsz) {
  if (lplpsz == nullptr) return E_INVALIDARG;
  *lplpsz = nullptr;
  return Guarded([&] { return AllocString(ClsidText(rclsid), lplpsz); });
}

STDAPI StringFromIID(REFIID rclsid, LPOLESTR* lplpsz) { return StringFromCLSID(rclsid, lplpsz); }

STDAPI OleRun(LPUNKNOWN pUnknown) { return pUnknown == nullptr ? E_INVALIDARG : S_OK; }
