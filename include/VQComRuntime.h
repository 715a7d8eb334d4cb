// VQComRuntime.h - apartments, class objects, the registry store and error info.
//
// This is the process-wide part of the component runtime, implemented by the
// vqplatform shared library so that every component library in a process
// shares one class table, one set of loaded libraries and one registry cache.
//
// Apartments: CoInitializeEx keeps a per-thread count and mode; nothing is
// marshalled, the bookkeeping only gives clients the results they expect
// (S_OK first, S_FALSE when nested, RPC_E_CHANGED_MODE on a mode change).
//
// Class lookup, in this order: class objects registered with
// CoRegisterClassObject; the in-process class table that component libraries
// linked into the process fill from static initialisers (RegisterInProcessClass
// or an InProcessClassEntry object); the registry store, whose
// HKEY_CLASSES_ROOT\CLSID\{clsid}\InprocServer32 default value names a shared
// library that is loaded with dlopen and asked through its own
// DllGetClassObject. Each library is opened once and kept until
// CoFreeUnusedLibraries finds that its DllCanUnloadNow answers S_OK.
// Locks: the class table and the registered-object table each have a mutex;
// the loaded-library table has a recursive mutex held across dlopen, the call
// to DllGetClassObject and dlclose (so a library cannot be unloaded while its
// class object is being fetched). No lock is held while a caller's factory
// creates an object.
//
// Registry store: a text file ($VQ_REGISTRY, else
// $XDG_DATA_HOME/VQDataMatrixLib/registry, else
// ~/.local/share/VQDataMatrixLib/registry), described in Registry.cpp. Key
// handles name a key by its path, so a handle stays usable while other
// processes rewrite the file; every call sees the file's latest contents, and
// every change is one locked read-modify-write of the whole file. All Reg*
// functions may be called from any thread.
//
// Error info: one slot per thread (SetErrorInfo / GetErrorInfo), released when
// the thread ends.
#pragma once

#include <string>

#include "VQComObject.h"
#include "VQPlatformTypes.h"

// ---------------------------------------------------------------------------
// Apartments.
// ---------------------------------------------------------------------------
#define COINIT_MULTITHREADED 0x0
#define COINIT_APARTMENTTHREADED 0x2
#define COINIT_DISABLE_OLE1DDE 0x4
#define COINIT_SPEED_OVER_MEMORY 0x8

// Enters the calling thread into an apartment. S_OK on the thread's first call,
// S_FALSE when it already is in an apartment of the same kind (the call is
// counted and needs its own CoUninitialize), RPC_E_CHANGED_MODE when it is in
// the other kind (not counted), E_INVALIDARG for a non-null pvReserved or
// unknown flags.
STDAPI CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);
// CoInitializeEx(pvReserved, COINIT_APARTMENTTHREADED).
STDAPI CoInitialize(LPVOID pvReserved);
// Undoes one successful CoInitializeEx of the calling thread; a call without
// a matching initialisation is ignored.
STDAPI_(void) CoUninitialize();

// ---------------------------------------------------------------------------
// Class objects.
// ---------------------------------------------------------------------------
#define CLSCTX_INPROC_SERVER 0x1
#define CLSCTX_INPROC_HANDLER 0x2
#define CLSCTX_LOCAL_SERVER 0x4
#define CLSCTX_REMOTE_SERVER 0x10
#define CLSCTX_INPROC (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER)
#define CLSCTX_SERVER (CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)
#define CLSCTX_ALL (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)

#define REGCLS_SINGLEUSE 0
#define REGCLS_MULTIPLEUSE 1
#define REGCLS_MULTI_SEPARATE 2
#define REGCLS_SUSPENDED 4

VQ_DECLARE_INTERFACE(IClassFactory, IUnknown, "00000001-0000-0000-C000-000000000046");
struct IClassFactory : IUnknown {
  // Creates an object, aggregated into pUnkOuter when that is not null (then
  // riid must be IID_IUnknown). On failure *ppvObject is null.
  STDMETHOD(CreateInstance)(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) = 0;
  // Counts (fLock TRUE) or uncounts a lock that keeps the server loaded.
  STDMETHOD(LockServer)(BOOL fLock) = 0;
};
typedef IClassFactory* LPCLASSFACTORY;
inline constexpr IID IID_IClassFactory = __uuidof(IClassFactory);

// The exports every component library offers, reached with dlsym.
typedef HRESULT (*LPFNGETCLASSOBJECT)(REFCLSID, REFIID, LPVOID*);
typedef HRESULT (*LPFNCANUNLOADNOW)();

// Finds the class object of rclsid in dwClsContext (the in-process table and
// the registry need CLSCTX_INPROC_SERVER among the bits; 23 qualifies) and asks
// it for riid. E_INVALIDARG for a null ppv; CO_E_NOTINITIALIZED on a thread
// outside an apartment; REGDB_E_CLASSNOTREG for an unknown class;
// CO_E_DLLNOTFOUND when the registered library is missing or cannot be
// loaded; CO_E_ERRORINDLL when it has no DllGetClassObject; REGDB_E_READREGDB
// when the registry store cannot be read. *ppv is null on any failure.
STDAPI CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID pvReserved, REFIID riid, LPVOID* ppv);
// Creates an object of rclsid through its class factory. E_POINTER for a null
// ppv; CLASS_E_NOAGGREGATION when pUnkOuter is given with an riid other than
// IID_IUnknown; otherwise CoGetClassObject's and the factory's results.
// *ppv is null on any failure.
STDAPI CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID* ppv);
// Makes pUnk the class object of rclsid for this process (it is AddRef'ed and
// found before any other source) and stores a cookie in *lpdwRegister.
// E_INVALIDARG for null arguments.
STDAPI CoRegisterClassObject(REFCLSID rclsid, LPUNKNOWN pUnk, DWORD dwClsContext, DWORD flags, LPDWORD lpdwRegister);
// Releases the class object registered under dwRegister; E_INVALIDARG for an
// unknown cookie.
STDAPI CoRevokeClassObject(DWORD dwRegister);
// Unloads every library loaded through the registry whose DllCanUnloadNow
// answers S_OK. Libraries without that export stay loaded.
STDAPI_(void) CoFreeUnusedLibraries();
// The same; the delay is not used, unloading happens at once.
STDAPI_(void) CoFreeUnusedLibrariesEx(DWORD dwUnloadDelay, DWORD dwReserved);

// Finds the class of a ProgID: the in-process table, then
// HKEY_CLASSES_ROOT\<ProgID>\CLSID, following the ProgID's CurVer when it has
// no CLSID of its own. E_INVALIDARG for null arguments, CO_E_CLASSSTRING for an
// unknown ProgID, REGDB_E_READREGDB when the store cannot be read. *lpclsid is
// written only on success.
STDAPI CLSIDFromProgID(LPCOLESTR lpszProgID, LPCLSID lpclsid);
// Stores the (versioned) ProgID of clsid in *lplpszProgID, allocated with
// CoTaskMemAlloc. E_INVALIDARG for a null pointer, REGDB_E_CLASSNOTREG when
// the class has no ProgID; *lplpszProgID is null on failure.
STDAPI ProgIDFromCLSID(REFCLSID clsid, LPOLESTR* lplpszProgID);
// Stores "{xxxxxxxx-...}" in *lplpsz, allocated with CoTaskMemAlloc.
// E_INVALIDARG for a null pointer, E_OUTOFMEMORY.
STDAPI StringFromCLSID(REFCLSID rclsid, LPOLESTR* lplpsz);
STDAPI StringFromIID(REFIID rclsid, LPOLESTR* lplpsz);
// Puts an object into the running state. Every in-process object already is:
// S_OK for any object, E_INVALIDARG for null.
STDAPI OleRun(LPUNKNOWN pUnknown);

namespace vq {

// The DllGetClassObject-shaped entry point of a class linked into the process.
typedef HRESULT (*GetClassObjectFunction)(REFCLSID, REFIID, LPVOID*);

// Adds a class to the process's in-process class table (thread-safe; meant
// for a static initialiser of the component library). The ProgIDs may be null.
// S_OK; S_FALSE when the class was already in the table (the entry is
// replaced); E_INVALIDARG for a null function.
HRESULT RegisterInProcessClass(REFCLSID clsid, const wchar_t* progId, const wchar_t* versionIndependentProgId,
                               GetClassObjectFunction getClassObject);
// Removes the class again if its entry still names getClassObject. A library
// that can be unloaded must do this before its code goes away. S_OK, or
// S_FALSE when there was no such entry.
HRESULT UnregisterInProcessClass(REFCLSID clsid, GetClassObjectFunction getClassObject);

// Registers a class for the lifetime of a static object: the constructor adds
// the entry and the destructor (which runs on dlclose too) removes it.
class InProcessClassEntry {
 public:
  InProcessClassEntry(REFCLSID clsid, const wchar_t* progId, const wchar_t* versionIndependentProgId,
                      GetClassObjectFunction getClassObject)
      : m_Clsid(clsid), m_GetClassObject(getClassObject) {
    RegisterInProcessClass(clsid, progId, versionIndependentProgId, getClassObject);
  }
  ~InProcessClassEntry() { UnregisterInProcessClass(m_Clsid, m_GetClassObject); }
  InProcessClassEntry(const InProcessClassEntry&) = delete;
  InProcessClassEntry& operator=(const InProcessClassEntry&) = delete;

 private:
  CLSID m_Clsid;
  GetClassObjectFunction m_GetClassObject;
};

}  // namespace vq

// ---------------------------------------------------------------------------
// Registry store.
// ---------------------------------------------------------------------------
struct HKEY__;
typedef HKEY__* HKEY;
typedef HKEY* PHKEY;
typedef LONG LSTATUS;
typedef DWORD REGSAM;
typedef DWORD ACCESS_MASK;
// Declared incomplete: the kernel header completes it, and the registry only
// accepts null here.
struct _SECURITY_ATTRIBUTES;

#define HKEY_CLASSES_ROOT ((HKEY)(ULONG_PTR)((LONG)0x80000000))
#define HKEY_CURRENT_USER ((HKEY)(ULONG_PTR)((LONG)0x80000001))
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)((LONG)0x80000002))

#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_DWORD_LITTLE_ENDIAN 4
#define REG_DWORD_BIG_ENDIAN 5
#define REG_LINK 6
#define REG_MULTI_SZ 7
#define REG_QWORD 11
#define REG_QWORD_LITTLE_ENDIAN 11

#define REG_OPTION_NON_VOLATILE 0x0
#define REG_OPTION_VOLATILE 0x1
#define REG_CREATED_NEW_KEY 0x1
#define REG_OPENED_EXISTING_KEY 0x2

#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY 0x0010
#define KEY_CREATE_LINK 0x0020
#define KEY_WOW64_64KEY 0x0100
#define KEY_WOW64_32KEY 0x0200
#define KEY_READ 0x20019
#define KEY_WRITE 0x20006
#define KEY_EXECUTE 0x20019
#define KEY_ALL_ACCESS 0xF003F

// The longest key name (one path element) and value name, in characters.
#define VQ_REG_MAX_KEY_NAME 255
#define VQ_REG_MAX_VALUE_NAME 16383
// The largest value the store accepts, in bytes.
#define VQ_REG_MAX_VALUE_SIZE (1u << 20)

// Every Reg* function returns ERROR_SUCCESS or a Win32 error code:
// ERROR_INVALID_HANDLE for a handle that is not open, ERROR_INVALID_PARAMETER
// for bad arguments, ERROR_FILE_NOT_FOUND for a missing key or value,
// ERROR_KEY_DELETED when the handle's key was deleted since it was opened,
// ERROR_BADDB when the store file is damaged, ERROR_CANTREAD/ERROR_CANTWRITE
// or ERROR_ACCESS_DENIED when it cannot be read or written,
// ERROR_NO_SYSTEM_RESOURCES when a change would take the file past its size
// limit (16 MiB), ERROR_OUTOFMEMORY.

// Opens (creating it and missing parents when needed) hKey\lpSubKey and stores
// a new handle in *phkResult (null on failure); *lpdwDisposition, when given,
// says REG_CREATED_NEW_KEY or REG_OPENED_EXISTING_KEY.
STDAPI_(LSTATUS) RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass, DWORD dwOptions,
                                 REGSAM samDesired, const struct _SECURITY_ATTRIBUTES* lpSecurityAttributes,
                                 PHKEY phkResult, LPDWORD lpdwDisposition);
STDAPI_(LSTATUS) RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions,
                                 REGSAM samDesired, const struct _SECURITY_ATTRIBUTES* lpSecurityAttributes,
                                 PHKEY phkResult, LPDWORD lpdwDisposition);
// Opens an existing hKey\lpSubKey (null or empty: hKey itself) and stores a new
// handle in *phkResult (null on failure). ERROR_FILE_NOT_FOUND when missing.
STDAPI_(LSTATUS) RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult);
STDAPI_(LSTATUS) RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult);
// Closes a handle; closing a predefined root is a no-op.
STDAPI_(LSTATUS) RegCloseKey(HKEY hKey);
// Stores a value (null or empty name: the key's default value). REG_DWORD
// needs cbData 4 and REG_QWORD 8; the data is kept byte for byte.
STDAPI_(LSTATUS) RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                                DWORD cbData);
// The ANSI form takes Windows-1252 text for REG_SZ/REG_EXPAND_SZ and stores it
// as wide text.
STDAPI_(LSTATUS) RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                                DWORD cbData);
// Reads a value. With lpData null and lpcbData given, stores the size only;
// with a buffer too small, stores the size needed and returns ERROR_MORE_DATA
// (the buffer is left alone). *lpType, when given, receives the type.
STDAPI_(LSTATUS) RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                                  LPDWORD lpcbData);
// The ANSI form returns REG_SZ/REG_EXPAND_SZ as Windows-1252 text.
STDAPI_(LSTATUS) RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                                  LPDWORD lpcbData);
// Removes one value; ERROR_FILE_NOT_FOUND when there is none of that name.
STDAPI_(LSTATUS) RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName);
STDAPI_(LSTATUS) RegDeleteValueA(HKEY hKey, LPCSTR lpValueName);
// Removes hKey\lpSubKey, which must have no subkeys (ERROR_ACCESS_DENIED
// otherwise).
STDAPI_(LSTATUS) RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey);
STDAPI_(LSTATUS) RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey);
// Removes hKey\lpSubKey with everything below it; with lpSubKey null, removes
// the subkeys and values of hKey and keeps hKey.
STDAPI_(LSTATUS) RegDeleteTreeW(HKEY hKey, LPCWSTR lpSubKey);
STDAPI_(LSTATUS) RegDeleteTreeA(HKEY hKey, LPCSTR lpSubKey);
// Names the dwIndex-th subkey (in case-insensitive name order) in lpName;
// *lpcchName holds the buffer size in characters on entry and the name's
// length without the terminating zero on success. ERROR_MORE_DATA when the
// buffer is too small, ERROR_NO_MORE_ITEMS past the last key. No class names;
// *lpftLastWriteTime is zeroed.
STDAPI_(LSTATUS) RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                               LPWSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime);
// Names the dwIndex-th value (in the order the values were created) and, like
// RegQueryValueExW, its type and data.
STDAPI_(LSTATUS) RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName,
                               LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
// Counts and sizes of a key: subkeys, longest subkey name (characters), values,
// longest value name (characters), largest value (bytes). Class and security
// figures are zero.
STDAPI_(LSTATUS) RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                                  LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                                  LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                                  LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime);

// TCHAR is char: the undecorated names are the ANSI forms.
#define RegCreateKeyEx RegCreateKeyExA
#define RegOpenKeyEx RegOpenKeyExA
#define RegSetValueEx RegSetValueExA
#define RegQueryValueEx RegQueryValueExA
#define RegDeleteValue RegDeleteValueA
#define RegDeleteKey RegDeleteKeyA
#define RegDeleteTree RegDeleteTreeA

namespace vq {
// The path of the registry store file this process uses now (it follows
// $VQ_REGISTRY), as UTF-8; empty when no home directory can be found.
std::string RegistryStorePath();
}  // namespace vq

// ---------------------------------------------------------------------------
// Error info.
// ---------------------------------------------------------------------------
VQ_DECLARE_INTERFACE(IErrorInfo, IUnknown, "1CF2B120-547D-101B-8E65-08002B2BD119");
struct IErrorInfo : IUnknown {
  // Each getter stores its field (strings as new BSTRs the caller frees, null
  // when never set) and returns S_OK, or E_INVALIDARG for a null pointer.
  STDMETHOD(GetGUID)(GUID* pGUID) = 0;
  STDMETHOD(GetSource)(BSTR* pBstrSource) = 0;
  STDMETHOD(GetDescription)(BSTR* pBstrDescription) = 0;
  STDMETHOD(GetHelpFile)(BSTR* pBstrHelpFile) = 0;
  STDMETHOD(GetHelpContext)(DWORD* pdwHelpContext) = 0;
};
typedef IErrorInfo* LPERRORINFO;
inline constexpr IID IID_IErrorInfo = __uuidof(IErrorInfo);

VQ_DECLARE_INTERFACE(ICreateErrorInfo, IUnknown, "22F03340-547D-101B-8E65-08002B2BD119");
struct ICreateErrorInfo : IUnknown {
  // Each setter copies its argument (null clears a string) and returns S_OK or
  // E_OUTOFMEMORY.
  STDMETHOD(SetGUID)(REFGUID rguid) = 0;
  STDMETHOD(SetSource)(LPOLESTR szSource) = 0;
  STDMETHOD(SetDescription)(LPOLESTR szDescription) = 0;
  STDMETHOD(SetHelpFile)(LPOLESTR szHelpFile) = 0;
  STDMETHOD(SetHelpContext)(DWORD dwHelpContext) = 0;
};
typedef ICreateErrorInfo* LPCREATEERRORINFO;
inline constexpr IID IID_ICreateErrorInfo = __uuidof(ICreateErrorInfo);

VQ_DECLARE_INTERFACE(ISupportErrorInfo, IUnknown, "DF0B3D60-548F-101B-8E65-08002B2BD119");
struct ISupportErrorInfo : IUnknown {
  // S_OK when failures of interface riid leave error info on the thread,
  // S_FALSE otherwise.
  STDMETHOD(InterfaceSupportsErrorInfo)(REFIID riid) = 0;
};
typedef ISupportErrorInfo* LPSUPPORTERRORINFO;
inline constexpr IID IID_ISupportErrorInfo = __uuidof(ISupportErrorInfo);

// Stores a new error object with both interfaces in *pperrinfo (null on
// failure). E_INVALIDARG for a null pointer, E_OUTOFMEMORY.
STDAPI CreateErrorInfo(ICreateErrorInfo** pperrinfo);
// Replaces the calling thread's error object with perrinfo (AddRef'ed; null
// clears the slot). E_INVALIDARG when dwReserved is not zero.
STDAPI SetErrorInfo(DWORD dwReserved, IErrorInfo* perrinfo);
// Hands the calling thread's error object to the caller and clears the slot:
// S_OK with the object, S_FALSE with null when there is none. E_INVALIDARG for
// a null pointer or a non-zero dwReserved.
STDAPI GetErrorInfo(DWORD dwReserved, IErrorInfo** pperrinfo);

namespace vq {

// Leaves an error object (interface iid, source, description) on the calling
// thread for the client of a failing call, and returns hr so that a method can
// end with `return vq::ReportError(...)`. When the object cannot be made the
// slot is cleared, so no stale description is reported; hr is returned anyway.
HRESULT ReportError(REFIID iid, LPCOLESTR source, LPCOLESTR description, HRESULT hr);

// S_OK when riid is one of Interfaces, S_FALSE otherwise.
template <class... Interfaces>
HRESULT InterfaceSupportsErrorInfoFor(REFIID riid) {
  return ((riid == __uuidof(Interfaces)) || ...) ? S_OK : S_FALSE;
}

// ISupportErrorInfo for a ComObject: list it among the object's interfaces,
//   class CThing : public vq::ComObject<CThing, IThing, vq::SupportErrorInfoFor<IThing>>
// and QueryInterface answers ISupportErrorInfo with S_OK exactly for IThing.
template <class... Interfaces>
class SupportErrorInfoFor : public ISupportErrorInfo {
 public:
  STDMETHODIMP InterfaceSupportsErrorInfo(REFIID riid) override {
    return InterfaceSupportsErrorInfoFor<Interfaces...>(riid);
  }

  // ComObject finds the interface identifier through these traits.
  struct VqTraits {
    static constexpr IID iid = __uuidof(ISupportErrorInfo);
    using self = SupportErrorInfoFor;
    using base = IUnknown;
  };
  friend VqTraits VqInterfaceTraitsOf(SupportErrorInfoFor*) { return {}; }

 protected:
  ~SupportErrorInfoFor() = default;
};

}  // namespace vq
