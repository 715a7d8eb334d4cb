// _com_error, _com_issue_error(ex), _bstr_t and _variant_t.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <new>

#include "VQComSupport.h"
#include "VQKernel.h"

// ---------------------------------------------------------------------------
// _com_error
// ---------------------------------------------------------------------------
_com_error::_com_error(HRESULT hr, IErrorInfo* perrinfo, bool fAddRef) noexcept
    : m_hresult(hr), m_perrinfo(perrinfo), m_pszMsg(nullptr) {
  if (m_perrinfo != nullptr && fAddRef) m_perrinfo->AddRef();
}

_com_error::_com_error(const _com_error& that) noexcept
    : m_hresult(that.m_hresult), m_perrinfo(that.m_perrinfo), m_pszMsg(nullptr) {
  if (m_perrinfo != nullptr) m_perrinfo->AddRef();
}

_com_error& _com_error::operator=(const _com_error& that) noexcept {
  if (this != &that) {
    if (that.m_perrinfo != nullptr) that.m_perrinfo->AddRef();
    if (m_perrinfo != nullptr) m_perrinfo->Release();
    std::free(m_pszMsg);
    m_hresult = that.m_hresult;
    m_perrinfo = that.m_perrinfo;
    m_pszMsg = nullptr;
  }
  return *this;
}

_com_error::~_com_error() noexcept {
  if (m_perrinfo != nullptr) m_perrinfo->Release();
  std::free(m_pszMsg);
}

IErrorInfo* _com_error::ErrorInfo() const noexcept {
  if (m_perrinfo != nullptr) m_perrinfo->AddRef();
  return m_perrinfo;
}

namespace {
typedef HRESULT (STDMETHODCALLTYPE IErrorInfo::*ErrorInfoText)(BSTR*);

_bstr_t ErrorInfoString(IErrorInfo* info, ErrorInfoText getter) {
  BSTR text = nullptr;
  if (info != nullptr && FAILED((info->*getter)(&text))) text = nullptr;
  return _bstr_t(text, false);
}
}  // namespace

_bstr_t _com_error::Description() const { return ErrorInfoString(m_perrinfo, &IErrorInfo::GetDescription); }
_bstr_t _com_error::Source() const { return ErrorInfoString(m_perrinfo, &IErrorInfo::GetSource); }
_bstr_t _com_error::HelpFile() const { return ErrorInfoString(m_perrinfo, &IErrorInfo::GetHelpFile); }

DWORD _com_error::HelpContext() const noexcept {
  DWORD context = 0;
  if (m_perrinfo != nullptr && FAILED(m_perrinfo->GetHelpContext(&context))) context = 0;
  return context;
}

::GUID _com_error::GUID() const noexcept {
  ::GUID guid = GUID_NULL;
  if (m_perrinfo != nullptr && FAILED(m_perrinfo->GetGUID(&guid))) guid = GUID_NULL;
  return guid;
}

const TCHAR* _com_error::ErrorMessage() const noexcept {
  if (m_pszMsg != nullptr) return m_pszMsg;
  LPSTR system = nullptr;
  const DWORD length =
      FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, static_cast<DWORD>(m_hresult), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                     reinterpret_cast<LPSTR>(&system), 0, nullptr);
  if (length > 0 && system != nullptr) {
    size_t n = std::strlen(system);
    if (n > 1 && system[n - 1] == '\n') {
      system[--n] = '\0';
      if (system[n - 1] == '\r') system[--n] = '\0';
    }
    m_pszMsg = static_cast<TCHAR*>(std::malloc(n + 1));
    if (m_pszMsg != nullptr) std::memcpy(m_pszMsg, system, n + 1);
  }
  if (system != nullptr) LocalFree(system);
  if (m_pszMsg == nullptr) {
    constexpr size_t kFallbackSize = 32;
    m_pszMsg = static_cast<TCHAR*>(std::malloc(kFallbackSize));
    if (m_pszMsg == nullptr) return "Unknown error";  // out of memory: a constant text, never null
    const auto code = static_cast<uint32_t>(m_hresult);
    if (code >= 0x80040200u && code <= 0x8004FFFFu) {
      std::snprintf(m_pszMsg, kFallbackSize, "IDispatch error #%d", static_cast<int>((code - 0x80040200u) & 0xFFFFu));
    } else {
      std::snprintf(m_pszMsg, kFallbackSize, "Unknown error 0x%0lX", static_cast<unsigned long>(code));
    }
  }
  return m_pszMsg;
}

void _com_issue_error(HRESULT hr) { throw _com_error(hr); }

void _com_raise_error(HRESULT hr, IErrorInfo* perrinfo) { throw _com_error(hr, perrinfo); }

void _com_issue_errorex(HRESULT hr, IUnknown* punk, REFIID riid) {
  IErrorInfo* info = nullptr;
  if (punk != nullptr) {
    ISupportErrorInfo* support = nullptr;
    if (SUCCEEDED(punk->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(&support))) &&
        support != nullptr) {
      const HRESULT supported = support->InterfaceSupportsErrorInfo(riid);
      support->Release();
      if (supported == S_OK && GetErrorInfo(0, &info) != S_OK) info = nullptr;
    }
  }
  throw _com_error(hr, info);  // takes over the reference
}

// ---------------------------------------------------------------------------
// _bstr_t
// ---------------------------------------------------------------------------

// One shared string: the BSTR, its narrow copy (made on first use) and the
// count of _bstr_t objects sharing it.
class _bstr_t::Data_t {
 public:
  explicit Data_t(BSTR owned) noexcept : m_Wide(owned) {}
  Data_t(const Data_t&) = delete;
  Data_t& operator=(const Data_t&) = delete;

  void AddRef() noexcept { m_RefCount.fetch_add(1, std::memory_order_relaxed); }
  void Release() noexcept {
    if (m_RefCount.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }
  bool Shared() const noexcept { return m_RefCount.load(std::memory_order_acquire) > 1; }

  BSTR& Wide() noexcept { return m_Wide; }
  // Drops the narrow copy, after the wide string was changed in place.
  void Changed() noexcept { std::free(m_Narrow.exchange(nullptr)); }

  // The narrow copy, made once; two threads racing both build one, and the
  // loser frees its own.
  char* Narrow() {
    char* existing = m_Narrow.load(std::memory_order_acquire);
    if (existing != nullptr || m_Wide == nullptr) return existing;
    const int length = static_cast<int>(SysStringLen(m_Wide));
    int needed = 0;
    if (length > 0) {
      needed = WideCharToMultiByte(CP_ACP, 0, m_Wide, length, nullptr, 0, nullptr, nullptr);
      if (needed <= 0) _com_issue_error(E_OUTOFMEMORY);
    }
    char* made = static_cast<char*>(std::malloc(static_cast<size_t>(needed) + 1));
    if (made == nullptr) _com_issue_error(E_OUTOFMEMORY);
    if (length > 0) WideCharToMultiByte(CP_ACP, 0, m_Wide, length, made, needed, nullptr, nullptr);
    made[needed] = '\0';
    if (!m_Narrow.compare_exchange_strong(existing, made, std::memory_order_acq_rel)) {
      std::free(made);
      return existing;
    }
    return made;
  }

 private:
  ~Data_t() {
    SysFreeString(m_Wide);
    std::free(m_Narrow.load());
  }

  std::atomic<ULONG> m_RefCount{1};
  BSTR m_Wide;
  std::atomic<char*> m_Narrow{nullptr};
};

namespace {

BSTR CopyBstr(BSTR s) {
  if (s == nullptr) return nullptr;
  BSTR copy = SysAllocStringByteLen(reinterpret_cast<LPCSTR>(s), SysStringByteLen(s));
  if (copy == nullptr) _com_issue_error(E_OUTOFMEMORY);
  return copy;
}

BSTR BstrFromAnsi(const char* s) {
  if (s == nullptr) return nullptr;
  const size_t bytes = std::strlen(s);
  if (bytes > INT32_MAX) _com_issue_error(E_OUTOFMEMORY);
  const int needed =
      bytes == 0 ? 0 : MultiByteToWideChar(CP_ACP, 0, s, static_cast<int>(bytes), nullptr, 0);
  BSTR result = SysAllocStringLen(nullptr, static_cast<UINT>(needed));
  if (result == nullptr) _com_issue_error(E_OUTOFMEMORY);
  if (needed > 0) MultiByteToWideChar(CP_ACP, 0, s, static_cast<int>(bytes), result, needed);
  return result;
}

BSTR BstrFromWide(const wchar_t* s) {
  if (s == nullptr) return nullptr;
  BSTR result = SysAllocString(s);
  if (result == nullptr) _com_issue_error(E_OUTOFMEMORY);
  return result;
}

// Concatenates two strings (either may be null) into a new BSTR.
BSTR Concat(BSTR a, BSTR b) {
  const UINT la = SysStringLen(a);
  const UINT lb = SysStringLen(b);
  if (la > UINT32_MAX - lb) _com_issue_error(E_OUTOFMEMORY);
  BSTR result = SysAllocStringLen(nullptr, la + lb);
  if (result == nullptr) _com_issue_error(E_OUTOFMEMORY);
  if (la > 0) std::wmemcpy(result, a, la);
  if (lb > 0) std::wmemcpy(result + la, b, lb);
  return result;
}

}  // namespace

_bstr_t::_bstr_t(const _bstr_t& s) noexcept : m_Data(s.m_Data) {
  if (m_Data != nullptr) m_Data->AddRef();
}

// Wraps a freshly made BSTR, freeing it if the wrapper cannot be made.
#define VQ_BSTR_DATA(expr)                                  \
  [&]() -> Data_t* {                                        \
    BSTR made = (expr);                                     \
    if (made == nullptr) return nullptr;                    \
    Data_t* data = new (std::nothrow) Data_t(made);         \
    if (data == nullptr) {                                  \
      SysFreeString(made);                                  \
      _com_issue_error(E_OUTOFMEMORY);                      \
    }                                                       \
    return data;                                            \
  }()

_bstr_t::_bstr_t(const char* s) : m_Data(VQ_BSTR_DATA(BstrFromAnsi(s))) {}
_bstr_t::_bstr_t(const wchar_t* s) : m_Data(VQ_BSTR_DATA(BstrFromWide(s))) {}

_bstr_t::_bstr_t(BSTR bstr, bool fCopy) : m_Data(nullptr) {
  if (bstr == nullptr) return;
  if (fCopy) {
    m_Data = VQ_BSTR_DATA(CopyBstr(bstr));
  } else {
    m_Data = new (std::nothrow) Data_t(bstr);
    if (m_Data == nullptr) {
      SysFreeString(bstr);  // it was handed over: do not leak it
      _com_issue_error(E_OUTOFMEMORY);
    }
  }
}

_bstr_t::_bstr_t(const _variant_t& var) : m_Data(nullptr) {
  if (var.vt == VT_BSTR) {
    m_Data = VQ_BSTR_DATA(CopyBstr(var.bstrVal));
    return;
  }
  VARIANT converted;
  VariantInit(&converted);
  HRESULT hr = VariantChangeType(&converted, &var, 0, VT_BSTR);
  if (FAILED(hr)) _com_issue_error(hr);
  m_Data = VQ_BSTR_DATA(converted.bstrVal);
}

#undef VQ_BSTR_DATA

_bstr_t::~_bstr_t() noexcept { ReleaseData(); }

void _bstr_t::ReleaseData() noexcept {
  if (m_Data != nullptr) m_Data->Release();
  m_Data = nullptr;
}

_bstr_t& _bstr_t::operator=(const _bstr_t& s) noexcept {
  if (m_Data != s.m_Data) {
    if (s.m_Data != nullptr) s.m_Data->AddRef();
    ReleaseData();
    m_Data = s.m_Data;
  }
  return *this;
}

_bstr_t& _bstr_t::operator=(_bstr_t&& s) noexcept {
  if (this != &s) {
    ReleaseData();
    m_Data = s.m_Data;
    s.m_Data = nullptr;
  }
  return *this;
}

_bstr_t& _bstr_t::operator=(const char* s) { return *this = _bstr_t(s); }
_bstr_t& _bstr_t::operator=(const wchar_t* s) { return *this = _bstr_t(s); }
_bstr_t& _bstr_t::operator=(const _variant_t& var) { return *this = _bstr_t(var); }

_bstr_t& _bstr_t::operator+=(const _bstr_t& s) {
  // Build first: s may be this object.
  _bstr_t joined(Concat(GetBSTRValue(), s.GetBSTRValue()), false);
  return *this = std::move(joined);
}

_bstr_t _bstr_t::operator+(const _bstr_t& s) const { return _bstr_t(Concat(GetBSTRValue(), s.GetBSTRValue()), false); }

_bstr_t operator+(const char* s1, const _bstr_t& s2) { return _bstr_t(s1) + s2; }
_bstr_t operator+(const wchar_t* s1, const _bstr_t& s2) { return _bstr_t(s1) + s2; }

BSTR _bstr_t::GetBSTRValue() const noexcept { return m_Data != nullptr ? m_Data->Wide() : nullptr; }

_bstr_t::operator const wchar_t*() const noexcept { return GetBSTRValue(); }
_bstr_t::operator wchar_t*() const noexcept { return GetBSTRValue(); }
_bstr_t::operator const char*() const { return m_Data != nullptr ? m_Data->Narrow() : nullptr; }
_bstr_t::operator char*() const { return m_Data != nullptr ? m_Data->Narrow() : nullptr; }

int _bstr_t::Compare(const _bstr_t& s) const noexcept {
  if (m_Data == s.m_Data) return 0;
  const BSTR a = GetBSTRValue();
  const BSTR b = s.GetBSTRValue();
  const UINT la = SysStringLen(a);
  const UINT lb = SysStringLen(b);
  const UINT common = la < lb ? la : lb;
  for (UINT i = 0; i < common; ++i)
    if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
  return la == lb ? 0 : (la < lb ? -1 : 1);
}

bool _bstr_t::operator==(const wchar_t* s) const { return *this == _bstr_t(s); }
bool _bstr_t::operator==(const char* s) const { return *this == _bstr_t(s); }

BSTR _bstr_t::copy(bool fCopy) const {
  BSTR s = GetBSTRValue();
  return fCopy ? CopyBstr(s) : s;
}

unsigned int _bstr_t::length() const noexcept { return SysStringLen(GetBSTRValue()); }

void _bstr_t::Assign(BSTR s) { *this = _bstr_t(s, true); }

void _bstr_t::MakeUnique() {
  if (m_Data == nullptr) {
    m_Data = new (std::nothrow) Data_t(nullptr);
    if (m_Data == nullptr) _com_issue_error(E_OUTOFMEMORY);
  } else if (m_Data->Shared()) {
    _bstr_t own(GetBSTRValue(), true);
    if (own.m_Data == nullptr) {
      own.m_Data = new (std::nothrow) Data_t(nullptr);
      if (own.m_Data == nullptr) _com_issue_error(E_OUTOFMEMORY);
    }
    *this = std::move(own);
  }
}

BSTR& _bstr_t::GetBSTR() {
  MakeUnique();
  // The caller may change the string through the reference: the narrow copy
  // would then be stale.
  m_Data->Changed();
  return m_Data->Wide();
}

BSTR* _bstr_t::GetAddress() {
  ReleaseData();
  m_Data = new (std::nothrow) Data_t(nullptr);
  if (m_Data == nullptr) _com_issue_error(E_OUTOFMEMORY);
  return &m_Data->Wide();
}

void _bstr_t::Attach(BSTR s) {
  ReleaseData();
  if (s == nullptr) return;
  m_Data = new (std::nothrow) Data_t(s);
  if (m_Data == nullptr) {
    SysFreeString(s);
    _com_issue_error(E_OUTOFMEMORY);
  }
}

BSTR _bstr_t::Detach() {
  if (m_Data == nullptr) return nullptr;
  BSTR result;
  if (m_Data->Shared()) {
    result = CopyBstr(m_Data->Wide());
  } else {
    result = m_Data->Wide();
    m_Data->Wide() = nullptr;
  }
  ReleaseData();
  return result;
}

// ---------------------------------------------------------------------------
// _variant_t
// ---------------------------------------------------------------------------
namespace {

void Check(HRESULT hr) {
  if (FAILED(hr)) _com_issue_error(hr);
}

void InitAs(VARIANT* v, VARTYPE vt) {
  std::memset(static_cast<void*>(v), 0, sizeof(VARIANT));
  v->vt = vt;
}

}  // namespace

_variant_t::_variant_t() noexcept { InitAs(this, VT_EMPTY); }

_variant_t::_variant_t(const VARIANT& varSrc) {
  InitAs(this, VT_EMPTY);
  Check(VariantCopy(this, &varSrc));
}

_variant_t::_variant_t(const VARIANT* pSrc) {
  InitAs(this, VT_EMPTY);
  if (pSrc == nullptr) _com_issue_error(E_POINTER);
  Check(VariantCopy(this, pSrc));
}

_variant_t::_variant_t(const _variant_t& varSrc) : _variant_t(static_cast<const VARIANT&>(varSrc)) {}

_variant_t::_variant_t(_variant_t&& varSrc) noexcept {
  std::memcpy(static_cast<void*>(static_cast<VARIANT*>(this)), static_cast<const VARIANT*>(&varSrc), sizeof(VARIANT));
  InitAs(&varSrc, VT_EMPTY);
}

_variant_t::_variant_t(VARIANT& varSrc, bool fCopy) {
  InitAs(this, VT_EMPTY);
  if (fCopy) {
    Check(VariantCopy(this, &varSrc));
  } else {
    std::memcpy(static_cast<void*>(static_cast<VARIANT*>(this)), &varSrc, sizeof(VARIANT));
    varSrc.vt = VT_EMPTY;
  }
}

_variant_t::_variant_t(short sSrc, VARTYPE vtSrc) {
  InitAs(this, VT_EMPTY);
  if (vtSrc == VT_BOOL) {
    vt = VT_BOOL;
    boolVal = sSrc != 0 ? VARIANT_TRUE : VARIANT_FALSE;
  } else if (vtSrc == VT_I2) {
    vt = VT_I2;
    iVal = sSrc;
  } else {
    _com_issue_error(E_INVALIDARG);
  }
}

_variant_t::_variant_t(int lSrc, VARTYPE vtSrc) {
  InitAs(this, VT_EMPTY);
  switch (vtSrc) {
    case VT_I4: vt = VT_I4; lVal = lSrc; break;
    case VT_INT: vt = VT_INT; intVal = lSrc; break;
    case VT_ERROR: vt = VT_ERROR; scode = lSrc; break;
    case VT_BOOL: vt = VT_BOOL; boolVal = lSrc != 0 ? VARIANT_TRUE : VARIANT_FALSE; break;
    default: _com_issue_error(E_INVALIDARG);
  }
}

_variant_t::_variant_t(long i8Src) noexcept {
  InitAs(this, VT_I8);
  llVal = i8Src;
}
_variant_t::_variant_t(long long i8Src) noexcept {
  InitAs(this, VT_I8);
  llVal = i8Src;
}
_variant_t::_variant_t(float fltSrc) noexcept {
  InitAs(this, VT_R4);
  fltVal = fltSrc;
}

_variant_t::_variant_t(double dblSrc, VARTYPE vtSrc) {
  InitAs(this, VT_EMPTY);
  if (vtSrc != VT_R8 && vtSrc != VT_DATE) _com_issue_error(E_INVALIDARG);
  vt = vtSrc;
  dblVal = dblSrc;
}

_variant_t::_variant_t(const _bstr_t& bstrSrc) {
  InitAs(this, VT_BSTR);
  bstrVal = bstrSrc.copy();
}

_variant_t::_variant_t(const wchar_t* pSrc) {
  InitAs(this, VT_EMPTY);
  if (pSrc != nullptr) {
    bstrVal = SysAllocString(pSrc);
    if (bstrVal == nullptr) _com_issue_error(E_OUTOFMEMORY);
  }
  vt = VT_BSTR;
}

_variant_t::_variant_t(const char* pSrc) {
  InitAs(this, VT_EMPTY);
  bstrVal = _bstr_t(pSrc).Detach();
  vt = VT_BSTR;
}

_variant_t::_variant_t(IDispatch* pSrc, bool fAddRef) noexcept {
  InitAs(this, VT_DISPATCH);
  pdispVal = pSrc;
  if (fAddRef && pSrc != nullptr) pSrc->AddRef();
}

_variant_t::_variant_t(bool boolSrc) noexcept {
  InitAs(this, VT_BOOL);
  boolVal = boolSrc ? VARIANT_TRUE : VARIANT_FALSE;
}

_variant_t::_variant_t(IUnknown* pSrc, bool fAddRef) noexcept {
  InitAs(this, VT_UNKNOWN);
  punkVal = pSrc;
  if (fAddRef && pSrc != nullptr) pSrc->AddRef();
}

_variant_t::_variant_t(BYTE bSrc) noexcept {
  InitAs(this, VT_UI1);
  bVal = bSrc;
}
_variant_t::_variant_t(char cSrc) noexcept {
  InitAs(this, VT_I1);
  cVal = cSrc;
}
_variant_t::_variant_t(signed char cSrc) noexcept {
  InitAs(this, VT_I1);
  cVal = static_cast<CHAR>(cSrc);
}
_variant_t::_variant_t(unsigned short usSrc) noexcept {
  InitAs(this, VT_UI2);
  uiVal = usSrc;
}

_variant_t::_variant_t(unsigned int ulSrc, VARTYPE vtSrc) {
  InitAs(this, VT_EMPTY);
  if (vtSrc == VT_UI4) {
    vt = VT_UI4;
    ulVal = ulSrc;
  } else if (vtSrc == VT_UINT) {
    vt = VT_UINT;
    uintVal = ulSrc;
  } else {
    _com_issue_error(E_INVALIDARG);
  }
}

_variant_t::_variant_t(unsigned long ui8Src) noexcept {
  InitAs(this, VT_UI8);
  ullVal = ui8Src;
}
_variant_t::_variant_t(unsigned long long ui8Src) noexcept {
  InitAs(this, VT_UI8);
  ullVal = ui8Src;
}

_variant_t::~_variant_t() noexcept { VariantClear(this); }

_variant_t _variant_t::Converted(VARTYPE type) const {
  _variant_t result;
  Check(VariantChangeType(&result, this, 0, type));
  return result;
}

// Extractions read the value directly when the type already matches.
#define VQ_VARIANT_EXTRACT(T, TYPE, MEMBER)       \
  _variant_t::operator T() const {                \
    if (vt == (TYPE)) return static_cast<T>(MEMBER); \
    return static_cast<T>(Converted(TYPE).MEMBER);  \
  }

VQ_VARIANT_EXTRACT(short, VT_I2, iVal)
VQ_VARIANT_EXTRACT(unsigned short, VT_UI2, uiVal)
VQ_VARIANT_EXTRACT(int, VT_I4, lVal)
VQ_VARIANT_EXTRACT(unsigned int, VT_UI4, ulVal)
VQ_VARIANT_EXTRACT(long, VT_I8, llVal)
VQ_VARIANT_EXTRACT(unsigned long, VT_UI8, ullVal)
VQ_VARIANT_EXTRACT(long long, VT_I8, llVal)
VQ_VARIANT_EXTRACT(unsigned long long, VT_UI8, ullVal)
VQ_VARIANT_EXTRACT(float, VT_R4, fltVal)
VQ_VARIANT_EXTRACT(double, VT_R8, dblVal)
VQ_VARIANT_EXTRACT(char, VT_I1, cVal)
VQ_VARIANT_EXTRACT(BYTE, VT_UI1, bVal)

#undef VQ_VARIANT_EXTRACT

_variant_t::operator bool() const {
  if (vt == VT_BOOL) return boolVal != VARIANT_FALSE;
  return Converted(VT_BOOL).boolVal != VARIANT_FALSE;
}

_variant_t::operator IDispatch*() const {
  if (vt == VT_DISPATCH) {
    if (pdispVal != nullptr) pdispVal->AddRef();
    return pdispVal;
  }
  _variant_t converted = Converted(VT_DISPATCH);
  IDispatch* result = converted.pdispVal;
  converted.vt = VT_EMPTY;  // the reference goes to the caller
  return result;
}

_variant_t::operator IUnknown*() const {
  if (vt == VT_UNKNOWN) {
    if (punkVal != nullptr) punkVal->AddRef();
    return punkVal;
  }
  _variant_t converted = Converted(VT_UNKNOWN);
  IUnknown* result = converted.punkVal;
  converted.vt = VT_EMPTY;
  return result;
}

_variant_t& _variant_t::operator=(const VARIANT& varSrc) {
  Check(VariantCopy(this, &varSrc));
  return *this;
}

_variant_t& _variant_t::operator=(const VARIANT* pSrc) {
  if (pSrc == nullptr) _com_issue_error(E_POINTER);
  return *this = *pSrc;
}

_variant_t& _variant_t::operator=(const _variant_t& varSrc) { return *this = static_cast<const VARIANT&>(varSrc); }

_variant_t& _variant_t::operator=(_variant_t&& varSrc) noexcept {
  if (this != &varSrc) {
    _variant_t taken(std::move(varSrc));
    Swap(taken);
  }
  return *this;
}

bool _variant_t::operator==(const VARIANT& other) const noexcept {
  if (this == &other) return true;
  if (vt != other.vt) return false;
  if (vt & VT_BYREF) return byref == other.byref;
  switch (vt) {
    case VT_EMPTY:
    case VT_NULL: return true;
    case VT_I1: return cVal == other.cVal;
    case VT_UI1: return bVal == other.bVal;
    case VT_I2: return iVal == other.iVal;
    case VT_UI2: return uiVal == other.uiVal;
    case VT_BOOL: return boolVal == other.boolVal;
    case VT_I4: return lVal == other.lVal;
    case VT_UI4: return ulVal == other.ulVal;
    case VT_INT: return intVal == other.intVal;
    case VT_UINT: return uintVal == other.uintVal;
    case VT_ERROR: return scode == other.scode;
    case VT_I8:
    case VT_CY: return llVal == other.llVal;
    case VT_UI8: return ullVal == other.ullVal;
    case VT_R4: return fltVal == other.fltVal;
    case VT_R8:
    case VT_DATE: return dblVal == other.dblVal;
    case VT_BSTR: {
      const UINT la = SysStringLen(bstrVal);
      if (la != SysStringLen(other.bstrVal)) return false;
      return la == 0 || std::wmemcmp(bstrVal, other.bstrVal, la) == 0;
    }
    case VT_UNKNOWN:
    case VT_DISPATCH: return byref == other.byref;
    default: return false;
  }
}

void _variant_t::Clear() { Check(VariantClear(this)); }

void _variant_t::Attach(VARIANT& varSrc) {
  Clear();
  std::memcpy(static_cast<void*>(static_cast<VARIANT*>(this)), &varSrc, sizeof(VARIANT));
  varSrc.vt = VT_EMPTY;
}

VARIANT _variant_t::Detach() noexcept {
  VARIANT result = *this;
  vt = VT_EMPTY;
  return result;
}

VARIANT* _variant_t::GetAddress() {
  Clear();
  return this;
}

void _variant_t::ChangeType(VARTYPE vartype, const _variant_t* pSrc) {
  if (pSrc == nullptr) pSrc = this;
  if (pSrc != this || vartype != vt) Check(VariantChangeType(this, pSrc, 0, vartype));
}

void _variant_t::SetString(const char* pSrc) { *this = _variant_t(pSrc); }

void _variant_t::Swap(_variant_t& other) noexcept {
  VARIANT held;
  std::memcpy(&held, static_cast<VARIANT*>(this), sizeof(VARIANT));
  std::memcpy(static_cast<void*>(static_cast<VARIANT*>(this)), static_cast<VARIANT*>(&other), sizeof(VARIANT));
  std::memcpy(static_cast<void*>(static_cast<VARIANT*>(&other)), &held, sizeof(VARIANT));
}
