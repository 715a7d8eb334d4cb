// BSTR allocation, task memory and the VARIANT lifetime functions
// (VariantInit, VariantClear, VariantCopy, VariantCopyInd). Conversions live in
// OleAutoConvert.cpp, code pages in OleAutoText.cpp.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "VQOleAuto.h"
#include "platform/OleAutoInternal.h"

namespace {

// The allocation behind a BSTR: the byte count sits immediately before the
// characters. Sizes are computed in size_t, so no count can wrap.
constexpr size_t kPrefix = sizeof(uint32_t);
// The largest byte count a BSTR can carry: the prefix is 32 bits and room for
// the terminator and rounding must remain.
constexpr size_t kMaxBytes = UINT32_MAX - 2 * sizeof(OLECHAR);

BSTR AllocBytes(size_t byteCount) {
  if (byteCount > kMaxBytes) return nullptr;
  // Round up to whole characters and add one character of zeros, so that an
  // odd byte count still reads as a terminated wide string.
  const size_t rounded = (byteCount + sizeof(OLECHAR) - 1) / sizeof(OLECHAR) * sizeof(OLECHAR);
  const size_t total = kPrefix + rounded + sizeof(OLECHAR);
  auto* block = static_cast<unsigned char*>(std::malloc(total));
  if (block == nullptr) return nullptr;
  const uint32_t count = static_cast<uint32_t>(byteCount);
  std::memcpy(block, &count, kPrefix);
  std::memset(block + kPrefix + byteCount, 0, total - kPrefix - byteCount);
  return reinterpret_cast<BSTR>(block + kPrefix);
}

unsigned char* BlockOf(BSTR bstr) { return reinterpret_cast<unsigned char*>(bstr) - kPrefix; }

}  // namespace

// ---------------------------------------------------------------------------
// BSTR
// ---------------------------------------------------------------------------
BSTR SysAllocString(const OLECHAR* psz) {
  if (psz == nullptr) return nullptr;
  return SysAllocStringLen(psz, static_cast<UINT>(std::min<size_t>(std::wcslen(psz), UINT32_MAX)));
}

BSTR SysAllocStringLen(const OLECHAR* strIn, UINT ui) {
  const size_t bytes = static_cast<size_t>(ui) * sizeof(OLECHAR);
  BSTR s = AllocBytes(bytes);
  if (s != nullptr && strIn != nullptr) std::memcpy(s, strIn, bytes);
  return s;
}

BSTR SysAllocStringByteLen(LPCSTR psz, UINT len) {
  BSTR s = AllocBytes(len);
  if (s != nullptr && psz != nullptr) std::memcpy(s, psz, len);
  return s;
}

INT SysReAllocStringLen(BSTR* pbstr, const OLECHAR* psz, UINT len) {
  if (pbstr == nullptr) return FALSE;
  BSTR fresh = SysAllocStringLen(nullptr, len);
  if (fresh == nullptr) return FALSE;
  // psz may point into the old string, so copy before freeing it. Without a
  // source the old contents are kept as far as they reach.
  if (psz != nullptr) {
    std::memcpy(fresh, psz, static_cast<size_t>(len) * sizeof(OLECHAR));
  } else if (*pbstr != nullptr) {
    std::memcpy(fresh, *pbstr, std::min<size_t>(len, SysStringLen(*pbstr)) * sizeof(OLECHAR));
  }
  SysFreeString(*pbstr);
  *pbstr = fresh;
  return TRUE;
}

INT SysReAllocString(BSTR* pbstr, const OLECHAR* psz) {
  if (pbstr == nullptr) return FALSE;
  if (psz == nullptr) {
    SysFreeString(*pbstr);
    *pbstr = nullptr;
    return TRUE;
  }
  return SysReAllocStringLen(pbstr, psz, static_cast<UINT>(std::min<size_t>(std::wcslen(psz), UINT32_MAX)));
}

void SysFreeString(BSTR bstrString) {
  if (bstrString != nullptr) std::free(BlockOf(bstrString));
}

UINT SysStringByteLen(BSTR bstr) {
  if (bstr == nullptr) return 0;
  uint32_t count;
  std::memcpy(&count, BlockOf(bstr), kPrefix);
  return count;
}

UINT SysStringLen(BSTR pbstr) { return SysStringByteLen(pbstr) / sizeof(OLECHAR); }

// ---------------------------------------------------------------------------
// Task memory
// ---------------------------------------------------------------------------
LPVOID CoTaskMemAlloc(SIZE_T cb) { return std::malloc(cb == 0 ? 1 : cb); }

LPVOID CoTaskMemRealloc(LPVOID pv, SIZE_T cb) {
  if (cb == 0) {
    std::free(pv);
    return nullptr;
  }
  return std::realloc(pv, cb);
}

void CoTaskMemFree(LPVOID pv) { std::free(pv); }

// ---------------------------------------------------------------------------
// VARIANT lifetime
// ---------------------------------------------------------------------------
namespace vq::detail {

bool IsValueType(VARTYPE vt) {
  switch (vt) {
    case VT_EMPTY: case VT_NULL: case VT_I2: case VT_I4: case VT_R4: case VT_R8: case VT_CY:
    case VT_DATE: case VT_BSTR: case VT_DISPATCH: case VT_ERROR: case VT_BOOL: case VT_UNKNOWN:
    case VT_DECIMAL: case VT_I1: case VT_UI1: case VT_UI2: case VT_UI4: case VT_I8: case VT_UI8:
    case VT_INT: case VT_UINT:
      return true;
    default:
      return false;
  }
}

bool IsValidVariantType(VARTYPE vt) {
  if (vt & (VT_VECTOR | VT_RESERVED)) return false;
  const VARTYPE base = vt & VT_TYPEMASK;
  if (vt & VT_BYREF) {
    if (base == VT_EMPTY || base == VT_NULL) return false;
    return base == VT_VARIANT || IsValueType(base);
  }
  // Arrays need SAFEARRAY support, which this platform does not have: such a
  // variant could be neither copied nor released.
  if (vt & VT_ARRAY) return false;
  return IsValueType(base);
}

}  // namespace vq::detail

void VariantInit(VARIANTARG* pvarg) {
  if (pvarg != nullptr) pvarg->vt = VT_EMPTY;
}

HRESULT VariantClear(VARIANTARG* pvarg) {
  if (pvarg == nullptr) return E_INVALIDARG;
  if (!vq::detail::IsValidVariantType(pvarg->vt)) return DISP_E_BADVARTYPE;
  switch (pvarg->vt) {
    case VT_BSTR:
      SysFreeString(pvarg->bstrVal);
      break;
    case VT_UNKNOWN:
      if (pvarg->punkVal != nullptr) pvarg->punkVal->Release();
      break;
    case VT_DISPATCH:
      if (pvarg->pdispVal != nullptr) static_cast<IUnknown*>(pvarg->pdispVal)->Release();
      break;
    default:
      break;  // values and references own nothing
  }
  pvarg->vt = VT_EMPTY;
  pvarg->llVal = 0;
  return S_OK;
}

HRESULT VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc) {
  if (pvargDest == nullptr || pvargSrc == nullptr) return E_INVALIDARG;
  if (!vq::detail::IsValidVariantType(pvargSrc->vt)) return DISP_E_BADVARTYPE;
  if (pvargDest == pvargSrc) return S_OK;
  HRESULT hr = VariantClear(pvargDest);
  if (FAILED(hr)) return hr;
  VARIANT copy = *pvargSrc;
  switch (copy.vt) {
    case VT_BSTR:
      if (pvargSrc->bstrVal != nullptr) {
        copy.bstrVal = SysAllocStringByteLen(reinterpret_cast<LPCSTR>(pvargSrc->bstrVal),
                                             SysStringByteLen(pvargSrc->bstrVal));
        if (copy.bstrVal == nullptr) return E_OUTOFMEMORY;  // destination stays VT_EMPTY
      }
      break;
    case VT_UNKNOWN:
      if (copy.punkVal != nullptr) copy.punkVal->AddRef();
      break;
    case VT_DISPATCH:
      if (copy.pdispVal != nullptr) static_cast<IUnknown*>(copy.pdispVal)->AddRef();
      break;
    default:
      break;
  }
  *pvargDest = copy;
  return S_OK;
}

namespace vq::detail {

// Builds in *out (VT_EMPTY on entry) a by-value copy of what a by-reference
// variant points at.
HRESULT DereferenceCopy(VARIANT* out, const VARIANT* src) {
  if (src->byref == nullptr) return E_INVALIDARG;
  const VARTYPE base = src->vt & static_cast<VARTYPE>(~VT_BYREF);
  VARIANT value;
  value.vt = base;
  value.wReserved1 = value.wReserved2 = value.wReserved3 = 0;
  value.llVal = 0;
  switch (base) {
    case VT_VARIANT: {
      const VARIANT* inner = src->pvarVal;
      // A reference to a reference is not a value: refuse rather than chase.
      if (inner->vt & VT_BYREF) return E_INVALIDARG;
      return VariantCopy(out, inner);
    }
    case VT_I1: value.cVal = *src->pcVal; break;
    case VT_UI1: value.bVal = *src->pbVal; break;
    case VT_I2: value.iVal = *src->piVal; break;
    case VT_UI2: value.uiVal = *src->puiVal; break;
    case VT_BOOL: value.boolVal = *src->pboolVal; break;
    case VT_I4: value.lVal = *src->plVal; break;
    case VT_UI4: value.ulVal = *src->pulVal; break;
    case VT_INT: value.intVal = *src->pintVal; break;
    case VT_UINT: value.uintVal = *src->puintVal; break;
    case VT_ERROR: value.scode = *src->pscode; break;
    case VT_I8: value.llVal = *src->pllVal; break;
    case VT_UI8: value.ullVal = *src->pullVal; break;
    case VT_R4: value.fltVal = *src->pfltVal; break;
    case VT_R8: value.dblVal = *src->pdblVal; break;
    case VT_DATE: value.date = *src->pdate; break;
    case VT_CY: value.llVal = *src->pllVal; break;  // a currency is a scaled 64-bit integer
    case VT_BSTR: value.bstrVal = *src->pbstrVal; break;
    case VT_UNKNOWN: value.punkVal = *src->ppunkVal; break;
    case VT_DISPATCH: value.pdispVal = *src->ppdispVal; break;
    default:
      return DISP_E_BADVARTYPE;
  }
  // VariantCopy duplicates the string or adds the reference.
  return VariantCopy(out, &value);
}

}  // namespace vq::detail

HRESULT VariantCopyInd(VARIANT* pvarDest, const VARIANTARG* pvargSrc) {
  if (pvarDest == nullptr || pvargSrc == nullptr) return E_INVALIDARG;
  if (!vq::detail::IsValidVariantType(pvargSrc->vt)) return DISP_E_BADVARTYPE;
  if (!(pvargSrc->vt & VT_BYREF)) return VariantCopy(pvarDest, pvargSrc);
  // Build the value apart first: source and destination may be one variant.
  VARIANT value;
  VariantInit(&value);
  HRESULT hr = vq::detail::DereferenceCopy(&value, pvargSrc);
  if (FAILED(hr)) return hr;
  hr = VariantClear(pvarDest);
  if (FAILED(hr)) {
    VariantClear(&value);
    return hr;
  }
  *pvarDest = value;
  return S_OK;
}
