// VariantChangeType / VariantChangeTypeEx: conversions between the integer,
// real, boolean and string variant types.
//
// Every source value is first brought into one of three forms (a signed or an
// unsigned 64-bit integer, or a double) or, for text, into an exact decimal
// (digits and a power of ten), and then written into the target type with its
// range check. Integers from text are computed exactly from the digits, so
// "18446744073709551615" converts to VT_UI8 without passing through a double.
#include <charconv>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <string>

#include "VQOleAuto.h"
#include "platform/OleAutoInternal.h"

namespace {

// ---------------------------------------------------------------------------
// Integer targets
// ---------------------------------------------------------------------------
bool IsIntegerType(VARTYPE vt) {
  switch (vt) {
    case VT_I1: case VT_UI1: case VT_I2: case VT_UI2: case VT_I4: case VT_UI4: case VT_INT:
    case VT_UINT: case VT_I8: case VT_UI8:
      return true;
    default:
      return false;
  }
}

bool IsUnsignedType(VARTYPE vt) {
  return vt == VT_UI1 || vt == VT_UI2 || vt == VT_UI4 || vt == VT_UINT || vt == VT_UI8;
}

// The largest magnitude a negative value and a positive value may have.
void IntegerLimits(VARTYPE vt, uint64_t& maxNegative, uint64_t& maxPositive) {
  switch (vt) {
    case VT_I1: maxNegative = 128; maxPositive = 127; break;
    case VT_UI1: maxNegative = 0; maxPositive = UINT8_MAX; break;
    case VT_I2: maxNegative = 32768; maxPositive = INT16_MAX; break;
    case VT_UI2: maxNegative = 0; maxPositive = UINT16_MAX; break;
    case VT_I4: case VT_INT: maxNegative = 2147483648u; maxPositive = INT32_MAX; break;
    case VT_UI4: case VT_UINT: maxNegative = 0; maxPositive = UINT32_MAX; break;
    case VT_I8: maxNegative = 9223372036854775808u; maxPositive = INT64_MAX; break;
    default: maxNegative = 0; maxPositive = UINT64_MAX; break;  // VT_UI8
  }
}

// Stores the value (negative ? -magnitude : magnitude) as type vt.
HRESULT StoreInteger(VARIANT* out, VARTYPE vt, bool negative, uint64_t magnitude) {
  uint64_t maxNegative = 0;
  uint64_t maxPositive = 0;
  IntegerLimits(vt, maxNegative, maxPositive);
  if (magnitude == 0) negative = false;
  if (negative ? magnitude > maxNegative : magnitude > maxPositive) return DISP_E_OVERFLOW;
  // Two's complement arithmetic in uint64_t, then narrowed: defined in C++20.
  const uint64_t bits = negative ? 0 - magnitude : magnitude;
  const auto s = static_cast<int64_t>(bits);
  out->vt = vt;
  switch (vt) {
    case VT_I1: out->cVal = static_cast<CHAR>(s); break;
    case VT_UI1: out->bVal = static_cast<BYTE>(bits); break;
    case VT_I2: out->iVal = static_cast<SHORT>(s); break;
    case VT_UI2: out->uiVal = static_cast<USHORT>(bits); break;
    case VT_I4: out->lVal = static_cast<LONG>(s); break;
    case VT_INT: out->intVal = static_cast<INT>(s); break;
    case VT_UI4: out->ulVal = static_cast<ULONG>(bits); break;
    case VT_UINT: out->uintVal = static_cast<UINT>(bits); break;
    case VT_I8: out->llVal = s; break;
    default: out->ullVal = bits; break;
  }
  return S_OK;
}

// Rounds half to even, as automation rounds reals to integers. Exact: the
// difference between a double and its floor is representable.
double RoundHalfEven(double r) {
  const double f = std::floor(r);
  const double diff = r - f;
  if (diff > 0.5) return f + 1;
  if (diff < 0.5) return f;
  return std::fmod(f, 2.0) == 0 ? f : f + 1;
}

HRESULT StoreReal(VARIANT* out, VARTYPE vt, double r) {
  if (std::isnan(r)) return DISP_E_OVERFLOW;
  const double rounded = RoundHalfEven(r);
  constexpr double kTwo64 = 18446744073709551616.0;
  if (!(rounded > -kTwo64 && rounded < kTwo64)) return DISP_E_OVERFLOW;
  return StoreInteger(out, vt, rounded < 0, static_cast<uint64_t>(std::fabs(rounded)));
}

// ---------------------------------------------------------------------------
// Numbers in one of three forms
// ---------------------------------------------------------------------------
struct Number {
  enum Kind { kSigned, kUnsigned, kReal } kind = kSigned;
  int64_t s = 0;
  uint64_t u = 0;
  double r = 0;
  bool fromBool = false;
};

Number Signed(int64_t v) {
  Number n;
  n.s = v;
  return n;
}
Number Unsigned(uint64_t v) {
  Number n;
  n.kind = Number::kUnsigned;
  n.u = v;
  return n;
}
Number Real(double v) {
  Number n;
  n.kind = Number::kReal;
  n.r = v;
  return n;
}

double AsDouble(const Number& n) {
  switch (n.kind) {
    case Number::kSigned: return static_cast<double>(n.s);
    case Number::kUnsigned: return static_cast<double>(n.u);
    default: return n.r;
  }
}

BSTR AsciiToBstr(const char* text, size_t length) {
  BSTR s = SysAllocStringLen(nullptr, static_cast<UINT>(length));
  if (s != nullptr)
    for (size_t i = 0; i < length; ++i) s[i] = static_cast<OLECHAR>(static_cast<unsigned char>(text[i]));
  return s;
}

HRESULT StoreText(VARIANT* out, const char* text, size_t length) {
  BSTR s = AsciiToBstr(text, length);
  if (s == nullptr) return E_OUTOFMEMORY;
  out->vt = VT_BSTR;
  out->bstrVal = s;
  return S_OK;
}

// Formats in the invariant style of "%.15G" (doubles) and "%.7G" (floats):
// shortest of fixed and exponent notation, upper-case exponent, no trailing
// zeros.
template <class T>
HRESULT StoreFormatted(VARIANT* out, T value, int precision) {
  char buffer[64];
  auto res = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, precision);
  for (char* p = buffer; p != res.ptr; ++p)
    if (*p >= 'a' && *p <= 'z') *p = static_cast<char>(*p - 'a' + 'A');
  return StoreText(out, buffer, static_cast<size_t>(res.ptr - buffer));
}

HRESULT StoreNumber(VARIANT* out, const Number& n, USHORT flags, VARTYPE vt) {
  switch (vt) {
    case VT_BOOL: {
      bool value = n.kind == Number::kSigned ? n.s != 0 : n.kind == Number::kUnsigned ? n.u != 0 : n.r != 0;
      out->vt = VT_BOOL;
      out->boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
      return S_OK;
    }
    case VT_R8:
      out->vt = VT_R8;
      out->dblVal = AsDouble(n);
      return S_OK;
    case VT_R4: {
      const double d = AsDouble(n);
      if (std::isfinite(d) && std::fabs(d) > FLT_MAX) return DISP_E_OVERFLOW;
      out->vt = VT_R4;
      out->fltVal = static_cast<float>(d);
      return S_OK;
    }
    case VT_BSTR: {
      if (n.fromBool && (flags & (VARIANT_ALPHABOOL | VARIANT_LOCALBOOL))) {
        return n.s != 0 ? StoreText(out, "True", 4) : StoreText(out, "False", 5);
      }
      char buffer[32];
      std::to_chars_result res{};
      if (n.kind == Number::kSigned) {
        res = std::to_chars(buffer, buffer + sizeof buffer, n.s);
      } else if (n.kind == Number::kUnsigned) {
        res = std::to_chars(buffer, buffer + sizeof buffer, n.u);
      } else {
        return StoreFormatted(out, n.r, 15);
      }
      return StoreText(out, buffer, static_cast<size_t>(res.ptr - buffer));
    }
    default:
      break;
  }
  // Integer targets. A boolean keeps its bit pattern in unsigned types, so
  // VARIANT_TRUE becomes all ones rather than an overflow.
  if (n.fromBool && IsUnsignedType(vt)) {
    uint64_t maxNegative = 0;
    uint64_t maxPositive = 0;
    IntegerLimits(vt, maxNegative, maxPositive);
    return StoreInteger(out, vt, false, static_cast<uint64_t>(n.s) & maxPositive);
  }
  switch (n.kind) {
    case Number::kSigned:
      return StoreInteger(out, vt, n.s < 0, n.s < 0 ? 0 - static_cast<uint64_t>(n.s) : static_cast<uint64_t>(n.s));
    case Number::kUnsigned:
      return StoreInteger(out, vt, false, n.u);
    default:
      return StoreReal(out, vt, n.r);
  }
}

// ---------------------------------------------------------------------------
// Text
// ---------------------------------------------------------------------------
// A parsed number: value = (negative ? -1 : 1) * digits * 10^exponent, with
// digits free of leading and trailing zeros (empty for zero); or a value
// written in hexadecimal or octal.
struct Decimal {
  bool negative = false;
  std::string digits;
  int64_t exponent = 0;
  bool radix = false;       // &H / &O form: the value is `radixValue`
  bool radixOverflow = false;
  uint64_t radixValue = 0;
};

bool IsBlank(OLECHAR c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n' || c == L'\f' || c == L'\v'; }
bool IsDigit(OLECHAR c) { return c >= L'0' && c <= L'9'; }

int RadixDigit(OLECHAR c, int radix) {
  int d = -1;
  if (c >= L'0' && c <= L'9') d = static_cast<int>(c - L'0');
  else if (c >= L'a' && c <= L'f') d = static_cast<int>(c - L'a' + 10);
  else if (c >= L'A' && c <= L'F') d = static_cast<int>(c - L'A' + 10);
  return d < radix ? d : -1;
}

// Parses [blanks][sign]digits[.digits][(e|E)[sign]digits][blanks], or
// [blanks]&H<hex> / &O<octal>[blanks]. False for anything else.
bool ParseDecimal(const OLECHAR* s, size_t n, Decimal& out) {
  size_t i = 0;
  while (i < n && IsBlank(s[i])) ++i;
  while (n > i && IsBlank(s[n - 1])) --n;
  if (i == n) return false;
  if (s[i] == L'&') {
    if (i + 2 >= n) return false;
    const OLECHAR kind = s[i + 1];
    const int radix = (kind == L'H' || kind == L'h') ? 16 : (kind == L'O' || kind == L'o') ? 8 : 0;
    if (radix == 0) return false;
    out.radix = true;
    for (i += 2; i < n; ++i) {
      const int d = RadixDigit(s[i], radix);
      if (d < 0) return false;
      if (out.radixValue > (UINT64_MAX - static_cast<uint64_t>(d)) / static_cast<uint64_t>(radix))
        out.radixOverflow = true;
      out.radixValue = out.radixValue * static_cast<uint64_t>(radix) + static_cast<uint64_t>(d);
    }
    return true;
  }
  if (s[i] == L'+' || s[i] == L'-') {
    out.negative = s[i] == L'-';
    ++i;
  }
  std::string digits;
  int64_t fractionDigits = 0;
  bool anyDigit = false;
  for (; i < n && IsDigit(s[i]); ++i) {
    anyDigit = true;
    if (!digits.empty() || s[i] != L'0') digits.push_back(static_cast<char>(s[i]));
  }
  if (i < n && s[i] == L'.') {
    for (++i; i < n && IsDigit(s[i]); ++i) {
      anyDigit = true;
      if (!digits.empty() || s[i] != L'0') digits.push_back(static_cast<char>(s[i]));
      ++fractionDigits;
    }
  }
  if (!anyDigit) return false;
  int64_t exponent = 0;
  if (i < n && (s[i] == L'e' || s[i] == L'E')) {
    ++i;
    bool negativeExponent = false;
    if (i < n && (s[i] == L'+' || s[i] == L'-')) {
      negativeExponent = s[i] == L'-';
      ++i;
    }
    if (i == n || !IsDigit(s[i])) return false;
    for (; i < n && IsDigit(s[i]); ++i) {
      // Clamp: beyond this every value has long over- or underflowed.
      if (exponent < 1000000) exponent = exponent * 10 + (s[i] - L'0');
    }
    if (negativeExponent) exponent = -exponent;
  }
  if (i != n) return false;
  out.exponent = exponent - fractionDigits;
  while (!digits.empty() && digits.back() == '0') {
    digits.pop_back();
    ++out.exponent;
  }
  out.digits = std::move(digits);
  if (out.digits.empty()) {
    out.exponent = 0;
    out.negative = false;
  }
  return true;
}

// Accumulates decimal digits; false when the value exceeds 64 bits.
bool DigitsToUnsigned(const char* p, size_t n, uint64_t& value) {
  value = 0;
  for (size_t i = 0; i < n; ++i) {
    if (__builtin_mul_overflow(value, 10u, &value)) return false;
    if (__builtin_add_overflow(value, static_cast<uint64_t>(p[i] - '0'), &value)) return false;
  }
  return true;
}

HRESULT DecimalToInteger(VARIANT* out, const Decimal& d, VARTYPE vt) {
  if (d.digits.empty()) return StoreInteger(out, vt, false, 0);
  const auto length = static_cast<int64_t>(d.digits.size());
  uint64_t magnitude = 0;
  if (d.exponent >= 0) {
    if (length + d.exponent > 20) return DISP_E_OVERFLOW;
    if (!DigitsToUnsigned(d.digits.data(), d.digits.size(), magnitude)) return DISP_E_OVERFLOW;
    for (int64_t k = 0; k < d.exponent; ++k)
      if (__builtin_mul_overflow(magnitude, 10u, &magnitude)) return DISP_E_OVERFLOW;
    return StoreInteger(out, vt, d.negative, magnitude);
  }
  const int64_t fraction = -d.exponent;
  if (fraction > length) return StoreInteger(out, vt, false, 0);  // below 0.1: rounds to zero
  const size_t integerDigits = static_cast<size_t>(length - fraction);
  if (integerDigits > 20 || !DigitsToUnsigned(d.digits.data(), integerDigits, magnitude))
    return DISP_E_OVERFLOW;
  // Half to even: the digits have no trailing zeros, so anything after the
  // first fractional digit makes the value lie above the half.
  const char first = d.digits[integerDigits];
  const bool more = d.digits.size() > integerDigits + 1;
  const bool up = first > '5' || (first == '5' && (more || (magnitude & 1) != 0));
  if (up && __builtin_add_overflow(magnitude, 1u, &magnitude)) return DISP_E_OVERFLOW;
  return StoreInteger(out, vt, d.negative, magnitude);
}

HRESULT DecimalToDouble(const Decimal& d, double& value) {
  if (d.digits.empty()) {
    value = 0;
    return S_OK;
  }
  std::string text = d.digits;
  text += 'e';
  text += std::to_string(d.exponent);
  auto res = std::from_chars(text.data(), text.data() + text.size(), value);
  if (res.ec == std::errc::result_out_of_range) {
    // Too large overflows; too small is zero.
    if (d.exponent + static_cast<int64_t>(d.digits.size()) > 0) return DISP_E_OVERFLOW;
    value = 0;
  } else if (res.ec != std::errc()) {
    return DISP_E_TYPEMISMATCH;
  }
  if (d.negative) value = -value;
  return S_OK;
}

bool EqualsIgnoringCase(const OLECHAR* s, size_t n, const char* word) {
  if (std::strlen(word) != n) return false;
  for (size_t i = 0; i < n; ++i) {
    OLECHAR c = s[i];
    if (c >= L'A' && c <= L'Z') c = static_cast<OLECHAR>(c - L'A' + L'a');
    if (c != static_cast<OLECHAR>(word[i])) return false;
  }
  return true;
}

HRESULT FromText(VARIANT* out, BSTR text, VARTYPE vt) {
  const OLECHAR* s = text != nullptr ? text : L"";
  size_t n = SysStringLen(text);
  if (vt == VT_BOOL) {
    size_t b = 0;
    while (b < n && IsBlank(s[b])) ++b;
    size_t e = n;
    while (e > b && IsBlank(s[e - 1])) --e;
    if (EqualsIgnoringCase(s + b, e - b, "true") || EqualsIgnoringCase(s + b, e - b, "false")) {
      out->vt = VT_BOOL;
      out->boolVal = (s[b] == L't' || s[b] == L'T') ? VARIANT_TRUE : VARIANT_FALSE;
      return S_OK;
    }
  }
  Decimal d;
  if (!ParseDecimal(s, n, d)) return DISP_E_TYPEMISMATCH;
  if (d.radix) {
    if (d.radixOverflow) return DISP_E_OVERFLOW;
    return StoreNumber(out, Unsigned(d.radixValue), 0, vt);
  }
  if (vt == VT_BOOL) {
    out->vt = VT_BOOL;
    out->boolVal = d.digits.empty() ? VARIANT_FALSE : VARIANT_TRUE;
    return S_OK;
  }
  if (IsIntegerType(vt)) return DecimalToInteger(out, d, vt);
  double value = 0;
  HRESULT hr = DecimalToDouble(d, value);
  if (FAILED(hr)) return hr;
  return StoreNumber(out, Real(value), 0, vt);
}

// ---------------------------------------------------------------------------
// The conversion of one by-value variant into a VT_EMPTY result.
// ---------------------------------------------------------------------------
bool IsConversionTarget(VARTYPE vt) {
  return vt == VT_EMPTY || vt == VT_NULL || vt == VT_BOOL || vt == VT_BSTR || vt == VT_R4 || vt == VT_R8 ||
         vt == VT_UNKNOWN || vt == VT_DISPATCH || IsIntegerType(vt) || vt == VT_CY || vt == VT_DATE ||
         vt == VT_DECIMAL || vt == VT_ERROR;
}

HRESULT ToInterface(VARIANT* out, const VARIANT* in, VARTYPE vt) {
  IUnknown* unknown = nullptr;
  if (in->vt == VT_UNKNOWN) {
    unknown = in->punkVal;
  } else if (in->vt == VT_DISPATCH) {
    unknown = in->pdispVal;
  } else if (in->vt != VT_EMPTY) {
    return DISP_E_TYPEMISMATCH;
  }
  void* p = nullptr;
  if (unknown != nullptr) {
    HRESULT hr = unknown->QueryInterface(vt == VT_DISPATCH ? IID_IDispatch : IID_IUnknown, &p);
    if (FAILED(hr)) return hr == E_NOINTERFACE ? DISP_E_TYPEMISMATCH : hr;
  }
  out->vt = vt;
  out->byref = p;
  return S_OK;
}

HRESULT Coerce(VARIANT* out, const VARIANT* in, LCID lcid, USHORT flags, VARTYPE vt) {
  const VARTYPE from = in->vt;
  if (from == vt) return VariantCopy(out, in);
  switch (vt) {
    case VT_EMPTY:
      out->vt = VT_EMPTY;
      return S_OK;
    case VT_NULL:
      if (from != VT_EMPTY) return DISP_E_TYPEMISMATCH;
      out->vt = VT_NULL;
      return S_OK;
    case VT_UNKNOWN:
    case VT_DISPATCH:
      return ToInterface(out, in, vt);
    case VT_CY:
    case VT_DATE:
    case VT_DECIMAL:
    case VT_ERROR:
      return DISP_E_TYPEMISMATCH;  // currency, dates and decimals are not converted here
    default:
      break;
  }
  if (from == VT_DISPATCH) {
    // An object converts through its value property, read once: a value
    // property that answers with another object does not recurse.
    if ((flags & VARIANT_NOVALUEPROP) || in->pdispVal == nullptr) return DISP_E_TYPEMISMATCH;
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    VARIANT value;
    VariantInit(&value);
    HRESULT hr = in->pdispVal->Invoke(DISPID_VALUE, IID_NULL, lcid, DISPATCH_PROPERTYGET, &none, &value,
                                      nullptr, nullptr);
    if (FAILED(hr)) {
      VariantClear(&value);
      return DISP_E_TYPEMISMATCH;
    }
    hr = VariantChangeTypeEx(out, &value, lcid, static_cast<USHORT>(flags | VARIANT_NOVALUEPROP), vt);
    VariantClear(&value);
    return hr;
  }
  // An empty variant is zero as a number and the empty string as text.
  if (from == VT_EMPTY && vt == VT_BSTR) return StoreText(out, "", 0);
  Number n;
  switch (from) {
    case VT_EMPTY: n = Signed(0); break;
    case VT_I1: n = Signed(static_cast<signed char>(in->cVal)); break;
    case VT_UI1: n = Unsigned(in->bVal); break;
    case VT_I2: n = Signed(in->iVal); break;
    case VT_UI2: n = Unsigned(in->uiVal); break;
    case VT_I4: n = Signed(in->lVal); break;
    case VT_INT: n = Signed(in->intVal); break;
    case VT_UI4: n = Unsigned(in->ulVal); break;
    case VT_UINT: n = Unsigned(in->uintVal); break;
    case VT_I8: n = Signed(in->llVal); break;
    case VT_UI8: n = Unsigned(in->ullVal); break;
    case VT_R4: n = Real(in->fltVal); break;
    case VT_R8: n = Real(in->dblVal); break;
    case VT_BOOL:
      n = Signed(in->boolVal);
      n.fromBool = true;
      break;
    case VT_BSTR:
      return FromText(out, in->bstrVal, vt);
    default:
      return DISP_E_TYPEMISMATCH;  // VT_NULL, VT_ERROR, VT_UNKNOWN, currency, dates, decimals
  }
  if (from == VT_R4 && vt == VT_BSTR) return StoreFormatted(out, in->fltVal, 7);
  return StoreNumber(out, n, flags, vt);
}

}  // namespace

HRESULT VariantChangeTypeEx(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, LCID lcid, USHORT wFlags,
                            VARTYPE vt) {
  if (pvargDest == nullptr || pvarSrc == nullptr) return E_INVALIDARG;
  if (!vq::detail::IsValidVariantType(pvarSrc->vt) || !IsConversionTarget(vt)) return DISP_E_BADVARTYPE;
  if ((pvarSrc->vt & VT_BYREF) && pvarSrc->byref == nullptr) return DISP_E_TYPEMISMATCH;
  // Work on a dereferenced copy and build the result apart, so that the
  // destination is untouched on failure and may be the source itself.
  VARIANT value;
  VariantInit(&value);
  HRESULT hr = VariantCopyInd(&value, pvarSrc);
  if (FAILED(hr)) return hr;
  VARIANT result;
  VariantInit(&result);
  result.wReserved1 = result.wReserved2 = result.wReserved3 = 0;
  result.llVal = 0;
  hr = Coerce(&result, &value, lcid, wFlags, vt);
  VariantClear(&value);
  if (FAILED(hr)) return hr;
  hr = VariantClear(pvargDest);
  if (FAILED(hr)) {
    VariantClear(&result);
    return hr;
  }
  *pvargDest = result;
  return S_OK;
}

HRESULT VariantChangeType(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, USHORT wFlags, VARTYPE vt) {
  return VariantChangeTypeEx(pvargDest, pvarSrc, LOCALE_USER_DEFAULT, wFlags, vt);
}
