// GUID text conversions.
#include <cwchar>

#include "VQPlatformTypes.h"

namespace {

constexpr wchar_t kHex[] = L"0123456789ABCDEF";

int HexValue(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  return -1;
}

// Reads `digits` hex digits from s; false on any non-hex character.
bool ReadHex(const wchar_t* s, int digits, uint32_t* out) {
  uint32_t v = 0;
  for (int i = 0; i < digits; ++i) {
    int h = HexValue(s[i]);
    if (h < 0) return false;
    v = (v << 4) | static_cast<uint32_t>(h);
  }
  *out = v;
  return true;
}

void WriteHex(wchar_t* s, uint32_t value, int digits) {
  for (int i = digits - 1; i >= 0; --i) {
    s[i] = kHex[value & 0xF];
    value >>= 4;
  }
}

}  // namespace

EXTERN_C int StringFromGUID2(REFGUID g, LPOLESTR lpsz, int cchMax) {
  if (lpsz == nullptr || cchMax < 39) return 0;
  wchar_t* s = lpsz;
  s[0] = L'{';
  WriteHex(s + 1, g.Data1, 8);
  s[9] = L'-';
  WriteHex(s + 10, g.Data2, 4);
  s[14] = L'-';
  WriteHex(s + 15, g.Data3, 4);
  s[19] = L'-';
  WriteHex(s + 20, g.Data4[0], 2);
  WriteHex(s + 22, g.Data4[1], 2);
  s[24] = L'-';
  for (int i = 0; i < 6; ++i) WriteHex(s + 25 + 2 * i, g.Data4[2 + i], 2);
  s[37] = L'}';
  s[38] = L'\0';
  return 39;
}

EXTERN_C HRESULT CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid) {
  if (lpsz == nullptr || pclsid == nullptr) return E_INVALIDARG;
  // wcsnlen bounds the scan: a longer text is malformed, whatever follows.
  if (wcsnlen(lpsz, 40) != 38) return CO_E_CLASSSTRING;
  const wchar_t* s = lpsz;
  if (s[0] != L'{' || s[37] != L'}' || s[9] != L'-' || s[14] != L'-' || s[19] != L'-' || s[24] != L'-')
    return CO_E_CLASSSTRING;
  GUID g{};
  uint32_t v = 0;
  if (!ReadHex(s + 1, 8, &g.Data1)) return CO_E_CLASSSTRING;
  if (!ReadHex(s + 10, 4, &v)) return CO_E_CLASSSTRING;
  g.Data2 = static_cast<uint16_t>(v);
  if (!ReadHex(s + 15, 4, &v)) return CO_E_CLASSSTRING;
  g.Data3 = static_cast<uint16_t>(v);
  for (int i = 0; i < 2; ++i) {
    if (!ReadHex(s + 20 + 2 * i, 2, &v)) return CO_E_CLASSSTRING;
    g.Data4[i] = static_cast<uint8_t>(v);
  }
  for (int i = 0; i < 6; ++i) {
    if (!ReadHex(s + 25 + 2 * i, 2, &v)) return CO_E_CLASSSTRING;
    g.Data4[2 + i] = static_cast<uint8_t>(v);
  }
  *pclsid = g;
  return S_OK;
}

EXTERN_C HRESULT IIDFromString(LPCOLESTR lpsz, LPIID lpiid) {
  HRESULT hr = CLSIDFromString(lpsz, lpiid);
  return hr == CO_E_CLASSSTRING ? E_INVALIDARG : hr;
}
