// VQComSupport.h - the compiler-support classes of the component runtime:
// _com_error, _com_issue_error(ex), _bstr_t, _variant_t, _com_ptr_t with
// _COM_SMARTPTR_TYPEDEF, and vq::ComPtr, the non-throwing smart pointer the
// library's own code uses.
//
// The standard classes throw _com_error when something fails (allocation,
// conversion, a null smart pointer dereferenced); that is what Windows client
// code written against them expects. Library code that must never throw uses
// vq::ComPtr instead.
//
// Ownership: _bstr_t shares one reference-counted copy of its string among
// copies (the count is atomic; the lazily made narrow copy is published
// atomically, so copies may be read from several threads; one _bstr_t object
// must not be written by two threads at once). _variant_t owns what a VARIANT
// owns. _com_ptr_t and vq::ComPtr hold one reference to their interface.
// _com_error holds one reference to its IErrorInfo and keeps the message text
// it produces on demand; it is not synchronised.
//
// Platform notes: TCHAR is char. C++ `int` is this platform's LONG, so
// _variant_t(int) makes VT_I4 and `long`/`long long` (64 bits here) make
// VT_I8; unsigned int makes VT_UI4 and unsigned long VT_UI8.
#pragma once

#include <atomic>
#include <cstddef>
#include <type_traits>
#include <utility>

#include "VQComRuntime.h"
#include "VQOleAuto.h"
#include "VQPlatformTypes.h"
#include "VQStreams.h"

typedef char TCHAR;

class _bstr_t;
class _variant_t;

// ---------------------------------------------------------------------------
// _com_error
// ---------------------------------------------------------------------------
class _com_error {
 public:
  // Takes over perrinfo (one reference), or adds one when fAddRef is true.
  _com_error(HRESULT hr, IErrorInfo* perrinfo = nullptr, bool fAddRef = false) noexcept;
  _com_error(const _com_error& that) noexcept;
  _com_error& operator=(const _com_error& that) noexcept;
  virtual ~_com_error() noexcept;

  HRESULT Error() const noexcept { return m_hresult; }
  // The IDispatch exception code of the HRESULT, or 0 when it carries none.
  WORD WCode() const noexcept { return HRESULTToWCode(m_hresult); }
  // The error object with a new reference for the caller, or null.
  IErrorInfo* ErrorInfo() const noexcept;
  // Fields of the error object; empty (null) without one.
  _bstr_t Description() const;
  _bstr_t Source() const;
  _bstr_t HelpFile() const;
  DWORD HelpContext() const noexcept;
  ::GUID GUID() const noexcept;
  // The system's text for the HRESULT without its final line break, else
  // "IDispatch error #n" (0x80040200..0x8004FFFF) or "Unknown error 0x..."; made
  // on the first call and kept in the object (so not thread-safe). Never null.
  const TCHAR* ErrorMessage() const noexcept;

  static HRESULT WCodeToHRESULT(WORD wCode) noexcept {
    return wCode >= 0xFE00 ? kWCodeLast : static_cast<HRESULT>(static_cast<uint32_t>(kWCodeFirst) + wCode);
  }
  static WORD HRESULTToWCode(HRESULT hr) noexcept {
    return (hr >= kWCodeFirst && hr <= kWCodeLast) ? static_cast<WORD>(hr - kWCodeFirst) : 0;
  }

 private:
  static constexpr HRESULT kWCodeFirst = MAKE_HRESULT(SEVERITY_ERROR, FACILITY_ITF, 0x200);
  static constexpr HRESULT kWCodeLast = MAKE_HRESULT(SEVERITY_ERROR, FACILITY_ITF + 1, 0) - 1;

  HRESULT m_hresult;
  IErrorInfo* m_perrinfo;
  mutable TCHAR* m_pszMsg;
};

// Throws _com_error(hr). Smart pointers and the wrappers call it for every
// failure; a client may define its own to change what is thrown.
void _com_issue_error(HRESULT hr);
// Throws _com_error(hr) with the thread's error object attached when punk
// offers ISupportErrorInfo and answers S_OK for riid (the object is then
// taken from the thread with GetErrorInfo); otherwise without one.
void _com_issue_errorex(HRESULT hr, IUnknown* punk, REFIID riid);
// Throws _com_error(hr, perrinfo), taking over the reference.
[[noreturn]] void _com_raise_error(HRESULT hr, IErrorInfo* perrinfo = nullptr);

// ---------------------------------------------------------------------------
// _bstr_t
// ---------------------------------------------------------------------------
class _bstr_t {
 public:
  _bstr_t() noexcept : m_Data(nullptr) {}
  _bstr_t(const _bstr_t& s) noexcept;
  _bstr_t(_bstr_t&& s) noexcept : m_Data(s.m_Data) { s.m_Data = nullptr; }
  // Converts from the ANSI code page (Windows-1252); null gives a null string.
  _bstr_t(const char* s);
  _bstr_t(const wchar_t* s);
  // The variant converted with VariantChangeType(VT_BSTR); throws on failure.
  _bstr_t(const _variant_t& var);
  // Copies bstr (fCopy) or takes it over (the caller must not free it).
  _bstr_t(BSTR bstr, bool fCopy);
  ~_bstr_t() noexcept;

  _bstr_t& operator=(const _bstr_t& s) noexcept;
  _bstr_t& operator=(_bstr_t&& s) noexcept;
  _bstr_t& operator=(const char* s);
  _bstr_t& operator=(const wchar_t* s);
  _bstr_t& operator=(const _variant_t& var);

  _bstr_t& operator+=(const _bstr_t& s);
  _bstr_t operator+(const _bstr_t& s) const;
  friend _bstr_t operator+(const char* s1, const _bstr_t& s2);
  friend _bstr_t operator+(const wchar_t* s1, const _bstr_t& s2);

  // The string, or null for a null string. The narrow form is made once per
  // shared string, in the ANSI code page ('?' for what it cannot show).
  operator const wchar_t*() const noexcept;
  operator wchar_t*() const noexcept;
  operator const char*() const;
  operator char*() const;

  // True for a null string.
  bool operator!() const noexcept { return m_Data == nullptr || GetBSTRValue() == nullptr; }
  // Comparisons by characters; a null string equals an empty one.
  bool operator==(const _bstr_t& s) const noexcept { return Compare(s) == 0; }
  bool operator<(const _bstr_t& s) const noexcept { return Compare(s) < 0; }
  bool operator>(const _bstr_t& s) const noexcept { return Compare(s) > 0; }
  bool operator<=(const _bstr_t& s) const noexcept { return Compare(s) <= 0; }
  bool operator>=(const _bstr_t& s) const noexcept { return Compare(s) >= 0; }
  bool operator==(const wchar_t* s) const;
  bool operator==(const char* s) const;

  // A new BSTR for the caller (fCopy) or the string itself (still owned here).
  BSTR copy(bool fCopy = true) const;
  // Characters in the string (0 for null).
  unsigned int length() const noexcept;
  // Replaces the string with a copy of s.
  void Assign(BSTR s);
  // The BSTR held here (made unshared first, so writing through it affects
  // only this object).
  BSTR& GetBSTR();
  // Frees the string and returns the address of a null BSTR that a callee
  // may fill; the result then belongs to this object.
  BSTR* GetAddress();
  // Takes over s, freeing the current string.
  void Attach(BSTR s);
  // Gives up the string: the caller owns the result. A string still shared
  // with other copies is duplicated for the caller, so they keep theirs.
  BSTR Detach();

 private:
  class Data_t;
  BSTR GetBSTRValue() const noexcept;
  int Compare(const _bstr_t& s) const noexcept;
  void MakeUnique();
  void ReleaseData() noexcept;

  Data_t* m_Data;
};

// ---------------------------------------------------------------------------
// _variant_t
// ---------------------------------------------------------------------------
class _variant_t : public ::tagVARIANT {
 public:
  _variant_t() noexcept;
  _variant_t(const VARIANT& varSrc);
  _variant_t(const VARIANT* pSrc);
  _variant_t(const _variant_t& varSrc);
  _variant_t(_variant_t&& varSrc) noexcept;
  // Copies varSrc (fCopy) or takes over its contents, leaving it VT_EMPTY.
  _variant_t(VARIANT& varSrc, bool fCopy);
  // VT_I2, or VT_BOOL when vtSrc says so (anything else: E_INVALIDARG).
  _variant_t(short sSrc, VARTYPE vtSrc = VT_I2);
  // VT_I4, or VT_ERROR, VT_BOOL, VT_INT when vtSrc says so.
  _variant_t(int lSrc, VARTYPE vtSrc = VT_I4);
  _variant_t(long i8Src) noexcept;
  _variant_t(long long i8Src) noexcept;
  _variant_t(float fltSrc) noexcept;
  // VT_R8, or VT_DATE when vtSrc says so.
  _variant_t(double dblSrc, VARTYPE vtSrc = VT_R8);
  _variant_t(const _bstr_t& bstrSrc);
  _variant_t(const wchar_t* pSrc);
  _variant_t(const char* pSrc);
  _variant_t(IDispatch* pSrc, bool fAddRef = true) noexcept;
  _variant_t(bool boolSrc) noexcept;
  _variant_t(IUnknown* pSrc, bool fAddRef = true) noexcept;
  _variant_t(BYTE bSrc) noexcept;
  _variant_t(char cSrc) noexcept;
  _variant_t(signed char cSrc) noexcept;
  _variant_t(unsigned short usSrc) noexcept;
  // VT_UI4, or VT_UINT when vtSrc says so.
  _variant_t(unsigned int ulSrc, VARTYPE vtSrc = VT_UI4);
  _variant_t(unsigned long ui8Src) noexcept;
  _variant_t(unsigned long long ui8Src) noexcept;
  ~_variant_t() noexcept;

  // Extraction: the value converted with VariantChangeType to the matching
  // type (short VT_I2, int VT_I4, long/long long VT_I8, unsigned int VT_UI4,
  // unsigned long/long long VT_UI8, float VT_R4, double VT_R8, bool VT_BOOL,
  // char VT_I1, BYTE VT_UI1); throws _com_error with the conversion's result
  // (DISP_E_OVERFLOW, DISP_E_TYPEMISMATCH...) on failure. The interface
  // extractions return a new reference.
  operator short() const;
  operator unsigned short() const;
  operator int() const;
  operator unsigned int() const;
  operator long() const;
  operator unsigned long() const;
  operator long long() const;
  operator unsigned long long() const;
  operator float() const;
  operator double() const;
  operator bool() const;
  operator char() const;
  operator BYTE() const;
  operator IDispatch*() const;
  operator IUnknown*() const;

  // Assignment replaces the value and its type with those of the argument.
  _variant_t& operator=(const VARIANT& varSrc);
  _variant_t& operator=(const VARIANT* pSrc);
  _variant_t& operator=(const _variant_t& varSrc);
  _variant_t& operator=(_variant_t&& varSrc) noexcept;
  template <class T>
    requires std::is_constructible_v<_variant_t, T> && (!std::is_base_of_v<VARIANT, std::remove_cvref_t<T>>) &&
             (!std::is_same_v<std::remove_cvref_t<T>, const VARIANT*>)
  _variant_t& operator=(T&& value) {
    _variant_t other(std::forward<T>(value));
    Swap(other);
    return *this;
  }

  // Same type and value (strings by characters, interfaces by pointer).
  bool operator==(const VARIANT& varSrc) const noexcept;
  bool operator==(const _variant_t& varSrc) const noexcept { return *this == static_cast<const VARIANT&>(varSrc); }
  bool operator==(const VARIANT* pSrc) const noexcept { return pSrc != nullptr && *this == *pSrc; }

  // Releases the value (VT_EMPTY); throws when the variant cannot be cleared.
  void Clear();
  // Takes over varSrc's contents (varSrc becomes VT_EMPTY).
  void Attach(VARIANT& varSrc);
  // Hands the contents to the caller; this becomes VT_EMPTY.
  VARIANT Detach() noexcept;
  VARIANT& GetVARIANT() noexcept { return *this; }
  // Clears and returns the address, for a callee to fill.
  VARIANT* GetAddress();
  // Converts this variant (or *pSrc into this one) to vartype; throws on
  // failure, leaving this variant as it was.
  void ChangeType(VARTYPE vartype, const _variant_t* pSrc = nullptr);
  void SetString(const char* pSrc);
  void Swap(_variant_t& other) noexcept;

 private:
  // The value converted to vt, or a thrown _com_error.
  _variant_t Converted(VARTYPE vt) const;
};

// ---------------------------------------------------------------------------
// _com_ptr_t
// ---------------------------------------------------------------------------
template <typename _Interface, const IID* _IID>
class _com_IIID {
 public:
  typedef _Interface Interface;
  static const IID& GetIID() noexcept { return *_IID; }
};

template <typename _IIID>
class _com_ptr_t {
 public:
  typedef _IIID ThisIIID;
  typedef typename _IIID::Interface Interface;

  static const IID& GetIID() noexcept { return ThisIIID::GetIID(); }

  _com_ptr_t() noexcept : m_pInterface(nullptr) {}
  _com_ptr_t(std::nullptr_t) noexcept : m_pInterface(nullptr) {}
  // Only a literal 0 is accepted; any other integer throws E_POINTER.
  _com_ptr_t(int null) : m_pInterface(nullptr) {
    if (null != 0) _com_issue_error(E_POINTER);
  }
  // Adds a reference (or not, with fAddRef false: the reference is taken over).
  _com_ptr_t(Interface* pInterface) noexcept : m_pInterface(pInterface) { _AddRef(); }
  _com_ptr_t(Interface* pInterface, bool fAddRef) noexcept : m_pInterface(pInterface) {
    if (fAddRef) _AddRef();
  }
  _com_ptr_t(const _com_ptr_t& cp) noexcept : m_pInterface(cp.m_pInterface) { _AddRef(); }
  _com_ptr_t(_com_ptr_t&& cp) noexcept : m_pInterface(cp.m_pInterface) { cp.m_pInterface = nullptr; }
  // Queries another smart pointer or interface pointer for this interface:
  // null when the object does not offer it, a thrown _com_error for any other
  // failure.
  template <typename _OtherIID>
  _com_ptr_t(const _com_ptr_t<_OtherIID>& p) : m_pInterface(nullptr) {
    HRESULT hr = _QueryInterface(p.GetInterfacePtr());
    if (FAILED(hr) && hr != E_NOINTERFACE) _com_issue_error(hr);
  }
  template <typename _InterfaceType>
    requires std::is_base_of_v<IUnknown, _InterfaceType>
  _com_ptr_t(_InterfaceType* p) : m_pInterface(nullptr) {
    HRESULT hr = _QueryInterface(p);
    if (FAILED(hr) && hr != E_NOINTERFACE) _com_issue_error(hr);
  }
  // The interface of a VT_UNKNOWN / VT_DISPATCH variant (or one convertible).
  _com_ptr_t(const _variant_t& varSrc) : m_pInterface(nullptr) {
    HRESULT hr = QueryStdInterfaces(varSrc);
    if (FAILED(hr) && hr != E_NOINTERFACE) _com_issue_error(hr);
  }
  // Creates an object of the class; throws for failures other than
  // E_NOINTERFACE (which leaves the pointer null).
  explicit _com_ptr_t(const CLSID& clsid, IUnknown* pOuter = nullptr, DWORD dwClsContext = CLSCTX_ALL)
      : m_pInterface(nullptr) {
    HRESULT hr = CreateInstance(clsid, pOuter, dwClsContext);
    if (FAILED(hr) && hr != E_NOINTERFACE) _com_issue_error(hr);
  }
  explicit _com_ptr_t(LPCWSTR clsidOrProgId, IUnknown* pOuter = nullptr, DWORD dwClsContext = CLSCTX_ALL)
      : m_pInterface(nullptr) {
    HRESULT hr = CreateInstance(clsidOrProgId, pOuter, dwClsContext);
    if (FAILED(hr) && hr != E_NOINTERFACE) _com_issue_error(hr);
  }

  ~_com_ptr_t() noexcept { _Release(); }

  _com_ptr_t& operator=(Interface* pInterface) noexcept {
    if (m_pInterface != pInterface) {
      Interface* old = m_pInterface;
      m_pInterface = pInterface;
      _AddRef();
      if (old != nullptr) old->Release();
    }
    return *this;
  }
  _com_ptr_t& operator=(const _com_ptr_t& cp) noexcept { return operator=(cp.m_pInterface); }
  _com_ptr_t& operator=(_com_ptr_t&& cp) noexcept {
    if (this != &cp) {
      Interface* old = m_pInterface;
      m_pInterface = cp.m_pInterface;
      cp.m_pInterface = nullptr;
      if (old != nullptr) old->Release();
    }
    return *this;
  }
  template <typename _OtherIID>
  _com_ptr_t& operator=(const _com_ptr_t<_OtherIID>& p) {
    HRESULT hr = _QueryInterface(p.GetInterfacePtr());
    if (FAILED(hr) && hr != E_NOINTERFACE) _com_issue_error(hr);
    return *this;
  }
  template <typename _InterfaceType>
    requires std::is_base_of_v<IUnknown, _InterfaceType>
  _com_ptr_t& operator=(_InterfaceType* p) {
    HRESULT hr = _QueryInterface(p);
    if (FAILED(hr) && hr != E_NOINTERFACE) _com_issue_error(hr);
    return *this;
  }
  _com_ptr_t& operator=(std::nullptr_t) noexcept {
    _Release();
    m_pInterface = nullptr;
    return *this;
  }
  _com_ptr_t& operator=(int null) {
    if (null != 0) _com_issue_error(E_POINTER);
    return operator=(nullptr);
  }
  _com_ptr_t& operator=(const _variant_t& varSrc) {
    HRESULT hr = QueryStdInterfaces(varSrc);
    if (FAILED(hr) && hr != E_NOINTERFACE) _com_issue_error(hr);
    return *this;
  }

  // Takes over pInterface's reference (releasing the current one).
  void Attach(Interface* pInterface) noexcept {
    _Release();
    m_pInterface = pInterface;
  }
  // As Attach; with fAddRef a reference is added (a null pointer then throws
  // E_POINTER).
  void Attach(Interface* pInterface, bool fAddRef) {
    _Release();
    m_pInterface = pInterface;
    if (fAddRef) {
      if (pInterface == nullptr) {
        _com_issue_error(E_POINTER);
      } else {
        pInterface->AddRef();
      }
    }
  }
  // Gives the reference to the caller; the pointer becomes null.
  Interface* Detach() noexcept {
    Interface* p = m_pInterface;
    m_pInterface = nullptr;
    return p;
  }

  operator Interface*() const noexcept { return m_pInterface; }
  operator Interface&() const {
    if (m_pInterface == nullptr) _com_issue_error(E_POINTER);
    return *m_pInterface;
  }
  Interface& operator*() const {
    if (m_pInterface == nullptr) _com_issue_error(E_POINTER);
    return *m_pInterface;
  }
  // Releases the current interface and gives the address for a callee to fill.
  Interface** operator&() noexcept {
    _Release();
    m_pInterface = nullptr;
    return &m_pInterface;
  }
  // Throws E_POINTER when null.
  Interface* operator->() const {
    if (m_pInterface == nullptr) _com_issue_error(E_POINTER);
    return m_pInterface;
  }
  operator bool() const noexcept { return m_pInterface != nullptr; }
  bool operator!() const noexcept { return m_pInterface == nullptr; }

  // Identity comparisons: two pointers are equal when they reach the same
  // object (compared through IUnknown).
  template <typename _OtherIID>
  bool operator==(const _com_ptr_t<_OtherIID>& p) const {
    return _CompareUnknown(p.GetInterfacePtr()) == 0;
  }
  bool operator==(const _com_ptr_t& p) const { return _CompareUnknown(p.m_pInterface) == 0; }
  template <typename _InterfaceType>
    requires std::is_base_of_v<IUnknown, _InterfaceType>
  bool operator==(_InterfaceType* p) const {
    return _CompareUnknown(p) == 0;
  }
  bool operator==(std::nullptr_t) const noexcept { return m_pInterface == nullptr; }
  bool operator==(int null) const {
    if (null != 0) _com_issue_error(E_POINTER);
    return m_pInterface == nullptr;
  }

  // Adds or drops a reference on the held interface; E_POINTER when null.
  void AddRef() {
    if (m_pInterface == nullptr) {
      _com_issue_error(E_POINTER);
    } else {
      m_pInterface->AddRef();
    }
  }
  void Release() {
    if (m_pInterface == nullptr) {
      _com_issue_error(E_POINTER);
    } else {
      m_pInterface->Release();
      m_pInterface = nullptr;
    }
  }

  Interface* GetInterfacePtr() const noexcept { return m_pInterface; }
  Interface*& GetInterfacePtr() noexcept { return m_pInterface; }

  // Releases the current interface and creates an object of rclsid with
  // CoCreateInstance. Returns its HRESULT; the pointer is null on failure.
  HRESULT CreateInstance(const CLSID& rclsid, IUnknown* pOuter = nullptr,
                         DWORD dwClsContext = CLSCTX_ALL) noexcept {
    _Release();
    m_pInterface = nullptr;
    HRESULT hr;
    if (dwClsContext & (CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)) {
      // An out-of-process object must be running before it is asked for
      // anything but IUnknown.
      IUnknown* unknown = nullptr;
      hr = CoCreateInstance(rclsid, pOuter, dwClsContext, IID_IUnknown, reinterpret_cast<void**>(&unknown));
      if (SUCCEEDED(hr)) {
        hr = OleRun(unknown);
        if (SUCCEEDED(hr)) hr = unknown->QueryInterface(GetIID(), reinterpret_cast<void**>(&m_pInterface));
        unknown->Release();
      }
    } else {
      hr = CoCreateInstance(rclsid, pOuter, dwClsContext, GetIID(), reinterpret_cast<void**>(&m_pInterface));
    }
    if (FAILED(hr)) m_pInterface = nullptr;
    return hr;
  }
  // As above with a class named by "{clsid}" text or a ProgID. E_INVALIDARG
  // for null; CLSIDFromString / CLSIDFromProgID failures pass through.
  HRESULT CreateInstance(LPCWSTR clsidOrProgId, IUnknown* pOuter = nullptr,
                         DWORD dwClsContext = CLSCTX_ALL) noexcept {
    if (clsidOrProgId == nullptr) return E_INVALIDARG;
    CLSID clsid;
    HRESULT hr = clsidOrProgId[0] == L'{' ? CLSIDFromString(clsidOrProgId, &clsid)
                                          : CLSIDFromProgID(clsidOrProgId, &clsid);
    if (FAILED(hr)) return hr;
    return CreateInstance(clsid, pOuter, dwClsContext);
  }

  // Queries the held interface for iid; E_POINTER when null.
  template <typename _InterfaceType>
  HRESULT QueryInterface(const IID& iid, _InterfaceType*& p) noexcept {
    if (m_pInterface == nullptr) return E_POINTER;
    return m_pInterface->QueryInterface(iid, reinterpret_cast<void**>(&p));
  }
  template <typename _InterfaceType>
  HRESULT QueryInterface(const IID& iid, _InterfaceType** p) noexcept {
    return QueryInterface(iid, *p);
  }

 private:
  Interface* m_pInterface;

  void _Release() noexcept {
    if (m_pInterface != nullptr) m_pInterface->Release();
  }
  void _AddRef() noexcept {
    if (m_pInterface != nullptr) m_pInterface->AddRef();
  }
  // Replaces the held interface by p's answer for this interface; a null p
  // gives null and E_NOINTERFACE.
  template <typename _InterfacePtr>
  HRESULT _QueryInterface(_InterfacePtr p) noexcept {
    HRESULT hr;
    if (p != nullptr) {
      Interface* pInterface = nullptr;
      hr = p->QueryInterface(GetIID(), reinterpret_cast<void**>(&pInterface));
      Attach(SUCCEEDED(hr) ? pInterface : nullptr);
    } else {
      operator=(nullptr);
      hr = E_NOINTERFACE;
    }
    return hr;
  }
  template <typename _InterfacePtr>
  int _CompareUnknown(_InterfacePtr p) const {
    IUnknown* mine = nullptr;
    IUnknown* theirs = nullptr;
    if (m_pInterface != nullptr) {
      HRESULT hr = m_pInterface->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&mine));
      if (FAILED(hr)) _com_issue_error(hr);
      mine->Release();  // only the identity is needed
    }
    if (p != nullptr) {
      HRESULT hr = p->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&theirs));
      if (FAILED(hr)) _com_issue_error(hr);
      theirs->Release();
    }
    return mine == theirs ? 0 : (mine < theirs ? -1 : 1);
  }
  HRESULT QueryStdInterfaces(const _variant_t& varSrc) noexcept {
    if (varSrc.vt == VT_DISPATCH) return _QueryInterface(varSrc.pdispVal);
    if (varSrc.vt == VT_UNKNOWN) return _QueryInterface(varSrc.punkVal);
    VARIANT converted;
    VariantInit(&converted);
    HRESULT hr = VariantChangeType(&converted, &varSrc, 0, VT_DISPATCH);
    if (SUCCEEDED(hr)) {
      hr = _QueryInterface(converted.pdispVal);
    } else {
      hr = VariantChangeType(&converted, &varSrc, 0, VT_UNKNOWN);
      if (SUCCEEDED(hr)) hr = _QueryInterface(converted.punkVal);
    }
    VariantClear(&converted);
    return hr;
  }
};

// Declares InterfacePtr as the smart pointer for Interface with identifier
// IID: _COM_SMARTPTR_TYPEDEF(IStream, __uuidof(IStream)) gives IStreamPtr.
#define _COM_SMARTPTR _com_ptr_t
#define _COM_SMARTPTR_TYPEDEF(Interface, IID) typedef _COM_SMARTPTR<_com_IIID<Interface, &IID>> Interface##Ptr

_COM_SMARTPTR_TYPEDEF(IUnknown, __uuidof(IUnknown));
_COM_SMARTPTR_TYPEDEF(IDispatch, __uuidof(IDispatch));
_COM_SMARTPTR_TYPEDEF(ITypeInfo, __uuidof(ITypeInfo));
_COM_SMARTPTR_TYPEDEF(ISequentialStream, __uuidof(ISequentialStream));
_COM_SMARTPTR_TYPEDEF(IStream, __uuidof(IStream));
_COM_SMARTPTR_TYPEDEF(IErrorInfo, __uuidof(IErrorInfo));
_COM_SMARTPTR_TYPEDEF(ICreateErrorInfo, __uuidof(ICreateErrorInfo));
_COM_SMARTPTR_TYPEDEF(ISupportErrorInfo, __uuidof(ISupportErrorInfo));
_COM_SMARTPTR_TYPEDEF(IClassFactory, __uuidof(IClassFactory));

// ---------------------------------------------------------------------------
// vq::ComPtr
// ---------------------------------------------------------------------------
namespace vq {

// A smart pointer that never throws: it holds one reference to a T (an
// interface or a ComObject class) or nothing. Queries report failure by an
// empty result or an HRESULT.
template <class T>
class ComPtr {
 public:
  ComPtr() noexcept = default;
  ComPtr(std::nullptr_t) noexcept {}
  // Adds a reference to p (use attach() to take one over).
  explicit ComPtr(T* p) noexcept : m_Ptr(p) { AddRefHeld(); }
  ComPtr(const ComPtr& other) noexcept : m_Ptr(other.m_Ptr) { AddRefHeld(); }
  ComPtr(ComPtr&& other) noexcept : m_Ptr(std::exchange(other.m_Ptr, nullptr)) {}
  template <class U>
    requires std::is_convertible_v<U*, T*>
  ComPtr(const ComPtr<U>& other) noexcept : m_Ptr(other.get()) {
    AddRefHeld();
  }
  template <class U>
    requires std::is_convertible_v<U*, T*>
  ComPtr(ComPtr<U>&& other) noexcept : m_Ptr(other.detach()) {}
  ~ComPtr() { reset(); }

  ComPtr& operator=(const ComPtr& other) noexcept {
    ComPtr(other).swap(*this);
    return *this;
  }
  ComPtr& operator=(ComPtr&& other) noexcept {
    ComPtr(std::move(other)).swap(*this);
    return *this;
  }
  ComPtr& operator=(std::nullptr_t) noexcept {
    reset();
    return *this;
  }

  T* get() const noexcept { return m_Ptr; }
  T* operator->() const noexcept { return m_Ptr; }
  T& operator*() const noexcept { return *m_Ptr; }
  explicit operator bool() const noexcept { return m_Ptr != nullptr; }

  // Releases the held reference and returns the address for a callee to fill.
  T** put() noexcept {
    reset();
    return &m_Ptr;
  }
  void** put_void() noexcept { return reinterpret_cast<void**>(put()); }
  // Takes over p's reference (releasing the held one).
  void attach(T* p) noexcept {
    reset();
    m_Ptr = p;
  }
  // Gives the reference to the caller and becomes empty.
  [[nodiscard]] T* detach() noexcept { return std::exchange(m_Ptr, nullptr); }
  // Releases the held reference.
  void reset() noexcept {
    if (T* p = std::exchange(m_Ptr, nullptr)) p->Release();
  }
  // Holds p with a new reference (releasing the old one afterwards, so that
  // p may be the held pointer itself).
  void copy_from(T* p) noexcept { ComPtr(p).swap(*this); }
  void swap(ComPtr& other) noexcept { std::swap(m_Ptr, other.m_Ptr); }

  // The object's U interface, or an empty pointer (with the failure in
  // *result when given: E_POINTER when this one is empty, else
  // QueryInterface's code).
  template <class U>
  ComPtr<U> query(HRESULT* result = nullptr) const noexcept {
    ComPtr<U> out;
    HRESULT hr = m_Ptr == nullptr ? E_POINTER : m_Ptr->QueryInterface(__uuidof(U), out.put_void());
    if (FAILED(hr)) out.reset();
    if (result != nullptr) *result = hr;
    return out;
  }
  template <class U>
  ComPtr<U> try_query() const noexcept {
    return query<U>();
  }
  // QueryInterface on the held object: *ppv gets a new reference or null.
  HRESULT as(REFIID riid, void** ppv) const noexcept {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (m_Ptr == nullptr) return E_POINTER;
    return m_Ptr->QueryInterface(riid, ppv);
  }
  template <class U>
  HRESULT as(U** pp) const noexcept {
    return as(__uuidof(U), reinterpret_cast<void**>(pp));
  }
  // Stores the held pointer with a new reference in *pp (null when empty).
  HRESULT copy_to(T** pp) const noexcept {
    if (pp == nullptr) return E_POINTER;
    *pp = m_Ptr;
    AddRefHeld();
    return S_OK;
  }

  bool operator==(const ComPtr& other) const noexcept { return m_Ptr == other.m_Ptr; }
  bool operator==(std::nullptr_t) const noexcept { return m_Ptr == nullptr; }
  bool operator==(const T* p) const noexcept { return m_Ptr == p; }

 private:
  void AddRefHeld() const noexcept {
    if (m_Ptr != nullptr) m_Ptr->AddRef();
  }

  T* m_Ptr = nullptr;
};

// True when a and b are the same object: the same IUnknown identity,
// whichever interfaces they were reached through (two nulls are the same).
inline bool IsSameObject(IUnknown* a, IUnknown* b) noexcept {
  if (a == nullptr || b == nullptr) return a == b;
  ComPtr<IUnknown> ua, ub;
  a->QueryInterface(IID_IUnknown, ua.put_void());
  b->QueryInterface(IID_IUnknown, ub.put_void());
  return ua.get() == ub.get();
}

}  // namespace vq
