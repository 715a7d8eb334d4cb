// VQPlatformTypes.h - base types of the portable component runtime.
//
// This header is the foundation of the platform layer: the Windows integer and
// character types with their Windows widths, HRESULT and the result codes in
// use, GUIDs with compile-time parsing, the interface declaration macros, and
// IUnknown. Everything here is header-only and free of state; the rest of the
// platform layer (VQOleAuto.h, VQStreams.h, VQComRuntime.h, VQKernel.h,
// VQComSupport.h) builds on it. Clients include VQPlatform.h, which pulls in
// all of them.
//
// Width rules: the interface's `long` is LONG (int32_t); ULONG and DWORD are
// uint32_t; BOOL and HRESULT are int32_t. C++ `long` is 64 bits on Linux and is
// never used for these. OLECHAR is wchar_t (4 bytes here).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cwchar>
#include <type_traits>

// ---------------------------------------------------------------------------
// Method and export declaration macros (the calling conventions are empty on
// Linux). Interfaces are declared as structs with `= 0` methods: the Windows
// words for those (`interface`, `PURE`) and the other decorations are in
// VQWin32Compat.h, for ported code that opts in, since a Linux program may use
// them as names of its own.
// ---------------------------------------------------------------------------
#define STDMETHODCALLTYPE
#define STDAPICALLTYPE
#define EXTERN_C extern "C"
#define STDAPI EXTERN_C HRESULT STDAPICALLTYPE
#define STDAPI_(type) EXTERN_C type STDAPICALLTYPE
#define STDMETHOD(method) virtual HRESULT STDMETHODCALLTYPE method
#define STDMETHOD_(type, method) virtual type STDMETHODCALLTYPE method
#define STDMETHODIMP HRESULT STDMETHODCALLTYPE
#define STDMETHODIMP_(type) type STDMETHODCALLTYPE

// ---------------------------------------------------------------------------
// Integer and character types.
// ---------------------------------------------------------------------------
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef int32_t BOOL;
typedef int32_t INT;
typedef uint32_t UINT;
typedef int16_t SHORT;
typedef uint16_t USHORT;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef int64_t LONG64;
typedef uint64_t ULONG64;
typedef uint64_t DWORD64;
typedef uint64_t DWORDLONG;
typedef char CHAR;
typedef unsigned char UCHAR;
typedef float FLOAT;
typedef double DOUBLE;
typedef size_t SIZE_T;
typedef uintptr_t ULONG_PTR;
typedef intptr_t LONG_PTR;
typedef uintptr_t DWORD_PTR;
typedef uintptr_t UINT_PTR;
typedef intptr_t INT_PTR;
typedef void VOID;
typedef void* PVOID;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef BYTE* LPBYTE;
typedef DWORD* LPDWORD;
typedef LONG* LPLONG;
typedef BOOL* LPBOOL;

typedef wchar_t WCHAR;
typedef WCHAR OLECHAR;
typedef CHAR* LPSTR;
typedef const CHAR* LPCSTR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef OLECHAR* LPOLESTR;
typedef const OLECHAR* LPCOLESTR;
// An automation string: a pointer to the characters, preceded in memory by a
// uint32_t byte count and followed by a terminating zero. Allocated only by the
// Sys*String functions of VQOleAuto.h; a null BSTR counts as empty.
typedef OLECHAR* BSTR;

typedef int32_t SCODE;
typedef int32_t HRESULT;
typedef DWORD LCID;
typedef LONG DISPID;
typedef DISPID MEMBERID;
typedef uint16_t VARTYPE;
typedef int16_t VARIANT_BOOL;
typedef double DATE;

typedef void* HANDLE;
typedef HANDLE* LPHANDLE;
typedef void* HMODULE;
typedef void* HINSTANCE;
typedef void* HGLOBAL;
typedef void* HLOCAL;

typedef union _LARGE_INTEGER {
  struct {
    DWORD LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef union _ULARGE_INTEGER {
  struct {
    DWORD LowPart;
    DWORD HighPart;
  } u;
  ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

typedef struct _FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
} FILETIME, *PFILETIME, *LPFILETIME;

// BOOL's two values. Other Linux libraries (curses, GLib, ICU) define them
// alike, hence the guards.
#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
#define VARIANT_TRUE ((VARIANT_BOOL)-1)
#define VARIANT_FALSE ((VARIANT_BOOL)0)

// ---------------------------------------------------------------------------
// HRESULT: severity bit 31, facility bits 16..26, code bits 0..15.
// Every code is a negative int32_t when it is a failure, so FAILED() holds.
// ---------------------------------------------------------------------------
#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)
#define IS_ERROR(hr) (((HRESULT)(hr)) < 0)
#define HRESULT_CODE(hr) ((int)((hr) & 0xFFFF))
#define SCODE_CODE(sc) ((int)((sc) & 0xFFFF))
#define HRESULT_FACILITY(hr) ((int)(((hr) >> 16) & 0x1FFF))
#define HRESULT_SEVERITY(hr) ((int)(((hr) >> 31) & 0x1))
#define SEVERITY_SUCCESS 0
#define SEVERITY_ERROR 1
#define MAKE_HRESULT(sev, fac, code) \
  ((HRESULT)(((uint32_t)(sev) << 31) | ((uint32_t)(fac) << 16) | ((uint32_t)(code))))
#define MAKE_SCODE(sev, fac, code) MAKE_HRESULT(sev, fac, code)

#define FACILITY_NULL 0
#define FACILITY_RPC 1
#define FACILITY_DISPATCH 2
#define FACILITY_STORAGE 3
#define FACILITY_ITF 4
#define FACILITY_WIN32 7
#define FACILITY_WINDOWS 8
#define FACILITY_CONTROL 10

// Maps a Win32 error code to an HRESULT; codes that are already HRESULTs (zero
// or negative when read as int32_t) pass unchanged.
constexpr HRESULT HRESULT_FROM_WIN32_inline(uint32_t x) {
  return static_cast<int32_t>(x) <= 0
             ? static_cast<HRESULT>(x)
             : static_cast<HRESULT>((x & 0x0000FFFFu) | (FACILITY_WIN32 << 16) | 0x80000000u);
}
#define HRESULT_FROM_WIN32(x) (HRESULT_FROM_WIN32_inline((uint32_t)(x)))

#define VQ_HR(x) ((HRESULT)(uint32_t)(x))

#define S_OK VQ_HR(0x00000000)
#define S_FALSE VQ_HR(0x00000001)
#define E_UNEXPECTED VQ_HR(0x8000FFFF)
#define E_NOTIMPL VQ_HR(0x80004001)
#define E_OUTOFMEMORY VQ_HR(0x8007000E)
#define E_INVALIDARG VQ_HR(0x80070057)
#define E_NOINTERFACE VQ_HR(0x80004002)
#define E_POINTER VQ_HR(0x80004003)
#define E_HANDLE VQ_HR(0x80070006)
#define E_ABORT VQ_HR(0x80004004)
#define E_FAIL VQ_HR(0x80004005)
#define E_ACCESSDENIED VQ_HR(0x80070005)
#define E_PENDING VQ_HR(0x8000000A)
#define E_BOUNDS VQ_HR(0x8000000B)

#define CLASS_E_NOAGGREGATION VQ_HR(0x80040110)
#define CLASS_E_CLASSNOTAVAILABLE VQ_HR(0x80040111)
#define REGDB_E_READREGDB VQ_HR(0x80040150)
#define REGDB_E_WRITEREGDB VQ_HR(0x80040151)
#define REGDB_E_KEYMISSING VQ_HR(0x80040152)
#define REGDB_E_INVALIDVALUE VQ_HR(0x80040153)
#define REGDB_E_CLASSNOTREG VQ_HR(0x80040154)
#define REGDB_E_IIDNOTREG VQ_HR(0x80040155)
#define SELFREG_E_TYPELIB VQ_HR(0x80040200)
#define SELFREG_E_CLASS VQ_HR(0x80040201)
#define CO_E_NOTINITIALIZED VQ_HR(0x800401F0)
#define CO_E_CLASSSTRING VQ_HR(0x800401F3)
#define CO_E_DLLNOTFOUND VQ_HR(0x800401F8)
#define CO_E_ERRORINDLL VQ_HR(0x800401F9)
#define CO_E_APPNOTFOUND VQ_HR(0x800401F5)
#define CO_E_NOT_SUPPORTED VQ_HR(0x80004021)
#define RPC_E_CHANGED_MODE VQ_HR(0x80010106)
#define RPC_E_WRONG_THREAD VQ_HR(0x8001010E)

#define DISP_E_UNKNOWNINTERFACE VQ_HR(0x80020001)
#define DISP_E_MEMBERNOTFOUND VQ_HR(0x80020003)
#define DISP_E_PARAMNOTFOUND VQ_HR(0x80020004)
#define DISP_E_TYPEMISMATCH VQ_HR(0x80020005)
#define DISP_E_UNKNOWNNAME VQ_HR(0x80020006)
#define DISP_E_NONAMEDARGS VQ_HR(0x80020007)
#define DISP_E_BADVARTYPE VQ_HR(0x80020008)
#define DISP_E_EXCEPTION VQ_HR(0x80020009)
#define DISP_E_OVERFLOW VQ_HR(0x8002000A)
#define DISP_E_BADINDEX VQ_HR(0x8002000B)
#define DISP_E_UNKNOWNLCID VQ_HR(0x8002000C)
#define DISP_E_ARRAYISLOCKED VQ_HR(0x8002000D)
#define DISP_E_BADPARAMCOUNT VQ_HR(0x8002000E)
#define DISP_E_PARAMNOTOPTIONAL VQ_HR(0x8002000F)
#define TYPE_E_ELEMENTNOTFOUND VQ_HR(0x8002802B)
#define TYPE_E_LIBNOTREGISTERED VQ_HR(0x8002801D)
#define TYPE_E_CANTLOADLIBRARY VQ_HR(0x80029C4A)

#define STG_E_INVALIDFUNCTION VQ_HR(0x80030001)
#define STG_E_FILENOTFOUND VQ_HR(0x80030002)
#define STG_E_PATHNOTFOUND VQ_HR(0x80030003)
#define STG_E_ACCESSDENIED VQ_HR(0x80030005)
#define STG_E_INVALIDHANDLE VQ_HR(0x80030006)
#define STG_E_INSUFFICIENTMEMORY VQ_HR(0x80030008)
#define STG_E_INVALIDPOINTER VQ_HR(0x80030009)
#define STG_E_WRITEFAULT VQ_HR(0x8003001D)
#define STG_E_READFAULT VQ_HR(0x8003001E)
#define STG_E_MEDIUMFULL VQ_HR(0x80030070)
#define STG_E_INVALIDPARAMETER VQ_HR(0x80030057)
#define STG_E_INVALIDFLAG VQ_HR(0x800300FF)
#define STG_E_SEEKERROR VQ_HR(0x80030019)
#define STG_E_FILEALREADYEXISTS VQ_HR(0x80030050)
#define STG_E_CANTSAVE VQ_HR(0x80030103)
#define STG_S_CONVERTED VQ_HR(0x00030200)

// Win32 error codes in use (GetLastError values; HRESULT_FROM_WIN32 maps them).
#define ERROR_SUCCESS 0L
#define ERROR_INVALID_FUNCTION 1L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_TOO_MANY_OPEN_FILES 4L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_BAD_FORMAT 11L
#define ERROR_INVALID_DATA 13L
#define ERROR_OUTOFMEMORY 14L
#define ERROR_WRITE_FAULT 29L
#define ERROR_READ_FAULT 30L
#define ERROR_GEN_FAILURE 31L
#define ERROR_SHARING_VIOLATION 32L
#define ERROR_HANDLE_EOF 38L
#define ERROR_HANDLE_DISK_FULL 39L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_FILE_EXISTS 80L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_BUFFER_OVERFLOW 111L
#define ERROR_DISK_FULL 112L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_INVALID_NAME 123L
#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_PROC_NOT_FOUND 127L
#define ERROR_NEGATIVE_SEEK 131L
#define ERROR_BAD_PATHNAME 161L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_FILENAME_EXCED_RANGE 206L
#define ERROR_ENVVAR_NOT_FOUND 203L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_MR_MID_NOT_FOUND 317L
#define ERROR_INVALID_ADDRESS 487L
#define ERROR_NO_UNICODE_TRANSLATION 1113L
#define ERROR_IO_DEVICE 1117L
#define ERROR_NOT_FOUND 1168L
#define ERROR_ALREADY_INITIALIZED 1247L
#define ERROR_INVALID_FLAGS 1004L
#define ERROR_BADDB 1009L
#define ERROR_BADKEY 1010L
#define ERROR_CANTOPEN 1011L
#define ERROR_CANTREAD 1012L
#define ERROR_CANTWRITE 1013L
#define ERROR_KEY_DELETED 1018L
#define ERROR_NO_SYSTEM_RESOURCES 1450L
#define ERROR_TIMEOUT 1460L
#define ERROR_RESOURCE_DATA_NOT_FOUND 1812L

// ---------------------------------------------------------------------------
// GUIDs.
// ---------------------------------------------------------------------------
typedef struct _GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
} GUID;

typedef GUID IID;
typedef GUID CLSID;
typedef GUID* LPGUID;
typedef IID* LPIID;
typedef CLSID* LPCLSID;
typedef const GUID& REFGUID;
typedef const IID& REFIID;
typedef const CLSID& REFCLSID;

constexpr bool operator==(const GUID& a, const GUID& b) {
  if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
  for (int i = 0; i < 8; ++i)
    if (a.Data4[i] != b.Data4[i]) return false;
  return true;
}
constexpr bool operator!=(const GUID& a, const GUID& b) { return !(a == b); }
// A total order, so that GUIDs can key ordered containers.
constexpr bool operator<(const GUID& a, const GUID& b) {
  if (a.Data1 != b.Data1) return a.Data1 < b.Data1;
  if (a.Data2 != b.Data2) return a.Data2 < b.Data2;
  if (a.Data3 != b.Data3) return a.Data3 < b.Data3;
  for (int i = 0; i < 8; ++i)
    if (a.Data4[i] != b.Data4[i]) return a.Data4[i] < b.Data4[i];
  return false;
}
inline bool IsEqualGUID(REFGUID a, REFGUID b) { return a == b; }
inline bool IsEqualIID(REFIID a, REFIID b) { return a == b; }
inline bool IsEqualCLSID(REFCLSID a, REFCLSID b) { return a == b; }

namespace vq {

namespace detail {
[[noreturn]] inline void MalformedGuid() { throw "malformed GUID string"; }
consteval uint32_t HexDigit(char c) {
  if (c >= '0' && c <= '9') return static_cast<uint32_t>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<uint32_t>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<uint32_t>(c - 'A' + 10);
  MalformedGuid();
}
consteval uint32_t HexField(const char* s, int count) {
  uint32_t v = 0;
  for (int i = 0; i < count; ++i) v = (v << 4) | HexDigit(s[i]);
  return v;
}
}  // namespace detail

// Parses "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx" (with or without braces) at
// compile time. A malformed string is a compile error, never a wrong GUID.
template <size_t N>
consteval GUID ParseGuid(const char (&text)[N]) {
  const char* s = text;
  size_t len = N - 1;
  if (len == 38) {
    if (s[0] != '{' || s[37] != '}') detail::MalformedGuid();
    ++s;
    len = 36;
  }
  if (len != 36 || s[8] != '-' || s[13] != '-' || s[18] != '-' || s[23] != '-')
    detail::MalformedGuid();
  GUID g{};
  g.Data1 = detail::HexField(s, 8);
  g.Data2 = static_cast<uint16_t>(detail::HexField(s + 9, 4));
  g.Data3 = static_cast<uint16_t>(detail::HexField(s + 14, 4));
  g.Data4[0] = static_cast<uint8_t>(detail::HexField(s + 19, 2));
  g.Data4[1] = static_cast<uint8_t>(detail::HexField(s + 21, 2));
  for (int i = 0; i < 6; ++i) g.Data4[2 + i] = static_cast<uint8_t>(detail::HexField(s + 24 + 2 * i, 2));
  return g;
}

// The identifier and base interface of every declared interface, found by
// argument-dependent lookup of the traits function that VQ_DECLARE_INTERFACE
// declares beside the interface (so interfaces may live in any namespace).
template <class T>
using InterfaceTraits = decltype(VqInterfaceTraitsOf(static_cast<T*>(nullptr)));

template <class T>
constexpr const IID& UuidOf() {
  using Traits = InterfaceTraits<std::remove_cv_t<T>>;
  // An interface declared without VQ_DECLARE_INTERFACE would otherwise borrow
  // its base's identifier.
  static_assert(std::is_same_v<typename Traits::self, std::remove_cv_t<T>>,
                "interface declared without VQ_DECLARE_INTERFACE");
  return Traits::iid;
}

}  // namespace vq

// Declares interface `Name` deriving from `Base` with identifier `uuid`, in the
// current namespace. Use before the interface body:
//   VQ_DECLARE_INTERFACE(IFoo, IUnknown, "...");
//   struct IFoo : IUnknown { ... };
// The traits function is only named inside decltype: maybe_unused keeps clang
// from calling it unneeded when an interface is declared in an unnamed namespace.
#define VQ_DECLARE_INTERFACE(Name, Base, uuid)                    \
  struct Name;                                                    \
  struct Name##_VqTraits {                                        \
    static constexpr IID iid = ::vq::ParseGuid(uuid);             \
    using self = Name;                                            \
    using base = Base;                                            \
  };                                                              \
  [[maybe_unused]] inline Name##_VqTraits VqInterfaceTraitsOf(Name*) { return {}; }

// Declares a class identifier with a compile-time checked value.
#define VQ_DEFINE_GUID(name, uuid) inline constexpr GUID name = ::vq::ParseGuid(uuid)

// The identifier of an interface type (types only: __uuidof(IStream)).
#define __uuidof(T) (::vq::UuidOf<T>())

inline constexpr GUID GUID_NULL{};
inline constexpr IID IID_NULL{};
inline constexpr CLSID CLSID_NULL{};

// ---------------------------------------------------------------------------
// IUnknown.
// ---------------------------------------------------------------------------
VQ_DECLARE_INTERFACE(IUnknown, void, "00000000-0000-0000-C000-000000000046");
struct IUnknown {
  STDMETHOD(QueryInterface)(REFIID riid, void** ppvObject) = 0;
  STDMETHOD_(ULONG, AddRef)() = 0;
  STDMETHOD_(ULONG, Release)() = 0;

  template <class Q>
  HRESULT QueryInterface(Q** pp) {
    return QueryInterface(__uuidof(Q), reinterpret_cast<void**>(pp));
  }

 protected:
  ~IUnknown() = default;  // objects are destroyed through Release, never through an interface
};
typedef IUnknown* LPUNKNOWN;
inline constexpr IID IID_IUnknown = __uuidof(IUnknown);

// The identifier and pointer pair that query functions take.
#define IID_PPV_ARGS(pp) __uuidof(std::remove_pointer_t<std::remove_reference_t<decltype(*(pp))>>), \
                         reinterpret_cast<void**>(pp)

// ---------------------------------------------------------------------------
// GUID text conversions (Guid.cpp).
// ---------------------------------------------------------------------------
// Writes "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" and its terminating zero into
// lpsz; returns the characters written including the zero (39), or 0 when cchMax
// is below 39 or lpsz is null.
EXTERN_C int StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax);
// Parses a braced GUID string. E_INVALIDARG for a null pointer, CO_E_CLASSSTRING
// for any malformed text; *pclsid is set only on success.
EXTERN_C HRESULT CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid);
EXTERN_C HRESULT IIDFromString(LPCOLESTR lpsz, LPIID lpiid);

// Code ported from Windows opts in to the Windows spellings with this define
// (on its command line), or by including VQWin32Compat.h itself.
#ifdef VQ_WIN32_COMPAT
#include "VQWin32Compat.h"
#endif
