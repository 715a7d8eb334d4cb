// VQDataInternal.cpp - error information, VARIANT and text helpers.
#include "vqdata/VQDataInternal.h"

#include <cstdarg>
#include <cstdio>

namespace vqdata {

constinit vq::ModuleCount g_Module;

HRESULT Fail(REFIID iid, HRESULT hr, const char* format, ...) noexcept {
  char text[512];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (n < 0) text[0] = '\0';
  // Descriptions are ASCII (they quote no client text), so a byte-wise
  // widening is exact.
  OLECHAR wide[sizeof text];
  size_t i = 0;
  for (; text[i] != '\0' && i + 1 < sizeof text; ++i) wide[i] = static_cast<unsigned char>(text[i]);
  wide[i] = L'\0';
  return vq::ReportError(iid, L"VQData.VQData", wide, hr);
}

HRESULT OwnedVariant::CopyFrom(const VARIANT& src) noexcept {
  VariantClear(&m_V);
  HRESULT hr = VariantCopyInd(&m_V, &src);
  if (FAILED(hr)) VariantInit(&m_V);
  return hr;
}

bool IsStorableVarType(VARTYPE vt) noexcept {
  switch (vt) {
    case VT_EMPTY:
    case VT_NULL:
    case VT_I1:
    case VT_I2:
    case VT_I4:
    case VT_I8:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_UI8:
    case VT_INT:
    case VT_UINT:
    case VT_R4:
    case VT_R8:
    case VT_DATE:
    case VT_BSTR:
    case VT_BOOL:
    case VT_ERROR:
      return true;
    default:
      return false;
  }
}

std::wstring FromBstr(BSTR text) { return text ? std::wstring(text, SysStringLen(text)) : std::wstring(); }

BSTR ToBstr(const std::wstring& text) noexcept {
  if (text.size() > 0x3FFFFFFFu) return nullptr;
  return SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
}

HRESULT CopyOut(const std::wstring& text, BSTR* out, REFIID iid, const char* what) noexcept {
  if (out == nullptr) return Fail(iid, E_POINTER, "%s: null out pointer", what);
  *out = ToBstr(text);
  if (*out == nullptr) return Fail(iid, E_OUTOFMEMORY, "%s: out of memory", what);
  return S_OK;
}

HRESULT ReadIndex(const VARIANT& index, bool namesAllowed, CollectionIndex* out, REFIID iid,
                  const char* what) noexcept {
  const VARIANT* v = &index;
  if (v->vt == (VT_BYREF | VT_VARIANT) && v->pvarVal != nullptr) v = v->pvarVal;
  if (v->vt == VT_BSTR || v->vt == (VT_BYREF | VT_BSTR)) {
    if (!namesAllowed) return Fail(iid, DISP_E_TYPEMISMATCH, "%s: the index must be a number", what);
    BSTR name = v->vt == VT_BSTR ? v->bstrVal : (v->pbstrVal ? *v->pbstrVal : nullptr);
    try {
      out->byName = true;
      out->name = FromBstr(name);
    } catch (...) {
      return Fail(iid, E_OUTOFMEMORY, "%s: out of memory", what);
    }
    return S_OK;
  }
  VARIANT converted;
  VariantInit(&converted);
  HRESULT hr = VariantChangeType(&converted, v, 0, VT_I4);
  if (FAILED(hr)) {
    VariantClear(&converted);
    return Fail(iid, hr == DISP_E_OVERFLOW ? E_INVALIDARG : DISP_E_TYPEMISMATCH,
                "%s: the index (type %u) is not an integer", what, static_cast<unsigned>(v->vt));
  }
  out->byName = false;
  out->position = converted.lVal;
  VariantClear(&converted);
  return S_OK;
}

}  // namespace vqdata
