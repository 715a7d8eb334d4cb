// BSTR allocation, VARIANT ownership and conversion, code pages, task memory.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "VQComObject.h"
#include "VQComSupport.h"
#include "VQKernel.h"
#include "VQOleAuto.h"

namespace {

// ---------------------------------------------------------------------------
// Helpers
// ---------------------------------------------------------------------------

// An IDispatch whose value property (DISPID_VALUE, property get) answers a
// fixed VT_I4, so that reference counts and value-property conversions can be
// observed.
class ValueObject : public vq::ComObject<ValueObject, IDispatch> {
 public:
  explicit ValueObject(LONG value) : m_Value(value) {}
  STDMETHODIMP GetTypeInfoCount(UINT* pctinfo) override {
    *pctinfo = 0;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS*, VARIANT* result, EXCEPINFO*,
                      UINT*) override {
    if (id != DISPID_VALUE || !(flags & DISPATCH_PROPERTYGET) || result == nullptr) return DISP_E_MEMBERNOTFOUND;
    result->vt = VT_I4;
    result->lVal = m_Value;
    return S_OK;
  }

 private:
  LONG m_Value;
};

VQ_DECLARE_INTERFACE(IOnlyUnknownThing, IUnknown, "6c0a4f1e-2b7d-4c53-9e61-3f1a2b4c5d6e");
struct IOnlyUnknownThing : IUnknown {};
class PlainObject : public vq::ComObject<PlainObject, IOnlyUnknownThing> {};

// Owns a VARIANT for the length of a test (cleared with VariantClear).
using Var = _variant_t;

// The integer members of the union all start at its first byte, so on this
// little-endian target the low bytes of value are the member of type vt.
static_assert(std::endian::native == std::endian::little);
Var* SetInteger(Var& v, VARTYPE vt, int64_t value) {
  VariantClear(&v);
  v.vt = vt;
  v.llVal = value;
  return &v;
}

Var* SetReal(Var& v, VARTYPE vt, double value) {
  VariantClear(&v);
  v.vt = vt;
  if (vt == VT_R4) v.fltVal = static_cast<float>(value);
  if (vt == VT_R8) v.dblVal = value;
  return &v;
}

// A by-reference VARIANT of type vt | VT_BYREF to *p.
Var* SetRef(Var& v, VARTYPE vt, void* p) {
  VariantClear(&v);
  v.vt = static_cast<VARTYPE>(vt | VT_BYREF);
  v.byref = p;
  return &v;
}

// A VARIANT holding a reference of its own to object, as VT_UNKNOWN or VT_DISPATCH.
Var* SetObject(Var& v, VARTYPE vt, IUnknown* object) {
  VariantClear(&v);
  v.vt = vt;
  v.punkVal = object;
  object->AddRef();
  return &v;
}

std::wstring TextOf(const VARIANT& v) { return std::wstring(v.bstrVal, SysStringLen(v.bstrVal)); }

// ---------------------------------------------------------------------------
// BSTR
// ---------------------------------------------------------------------------
TEST(Bstr, LengthsCountCharactersAndBytes) {
  BSTR s = SysAllocString(L"abc");
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(SysStringLen(s), 3u);
  EXPECT_EQ(SysStringByteLen(s), 3u * sizeof(OLECHAR));
  EXPECT_EQ(s[3], L'\0');
  SysFreeString(s);
  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  EXPECT_EQ(SysStringByteLen(nullptr), 0u);
  SysFreeString(nullptr);
}

TEST(Bstr, EmbeddedZerosAreKept) {
  const OLECHAR text[] = {L'a', L'\0', L'b', L'\0', L'c'};
  BSTR s = SysAllocStringLen(text, 5);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(SysStringLen(s), 5u);
  EXPECT_EQ(std::wmemcmp(s, text, 5), 0);
  EXPECT_EQ(s[5], L'\0');
  // SysAllocString stops at the first zero.
  BSTR cut = SysAllocString(s);
  EXPECT_EQ(SysStringLen(cut), 1u);
  SysFreeString(cut);
  SysFreeString(s);
}

TEST(Bstr, NullSourceGivesTerminatedUninitialisedString) {
  BSTR s = SysAllocStringLen(nullptr, 4);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(SysStringLen(s), 4u);
  EXPECT_EQ(s[4], L'\0');
  SysFreeString(s);
  BSTR empty = SysAllocStringLen(nullptr, 0);
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(SysStringLen(empty), 0u);
  EXPECT_EQ(empty[0], L'\0');
  SysFreeString(empty);
}

TEST(Bstr, OddByteLengthIsKeptAndStillTerminated) {
  BSTR s = SysAllocStringByteLen("abcde", 5);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(SysStringByteLen(s), 5u);
  EXPECT_EQ(SysStringLen(s), 5u / sizeof(OLECHAR));
  const auto* bytes = reinterpret_cast<const unsigned char*>(s);
  EXPECT_EQ(std::memcmp(bytes, "abcde", 5), 0);
  // The bytes after the count read as a zero character wherever a reader
  // stops: at the count or at the next whole character.
  for (size_t i = 5; i < 2 * sizeof(OLECHAR); ++i) EXPECT_EQ(bytes[i], 0) << i;
  SysFreeString(s);
}

TEST(Bstr, OverflowingLengthsAreRefused) {
  EXPECT_EQ(SysAllocStringLen(nullptr, std::numeric_limits<UINT>::max()), nullptr);
  EXPECT_EQ(SysAllocStringLen(nullptr, std::numeric_limits<UINT>::max() / sizeof(OLECHAR) + 1), nullptr);
  EXPECT_EQ(SysAllocStringByteLen(nullptr, std::numeric_limits<UINT>::max()), nullptr);
}

TEST(Bstr, ReAllocFromItsOwnCharacters) {
  BSTR s = SysAllocString(L"hello world");
  ASSERT_TRUE(SysReAllocStringLen(&s, s + 6, 5));
  EXPECT_EQ(std::wstring(s, SysStringLen(s)), L"world");
  ASSERT_TRUE(SysReAllocString(&s, s + 1));
  EXPECT_EQ(std::wstring(s, SysStringLen(s)), L"orld");
  // Without a source the old characters are kept as far as they reach.
  ASSERT_TRUE(SysReAllocStringLen(&s, nullptr, 2));
  EXPECT_EQ(std::wstring(s, SysStringLen(s)), L"or");
  EXPECT_FALSE(SysReAllocString(nullptr, L"x"));
  EXPECT_FALSE(SysReAllocStringLen(&s, nullptr, std::numeric_limits<UINT>::max()));
  EXPECT_EQ(std::wstring(s, SysStringLen(s)), L"or");  // unchanged after a refusal
  SysFreeString(s);
}

// ---------------------------------------------------------------------------
// VARIANT ownership
// ---------------------------------------------------------------------------
TEST(VariantOwnership, CopyAddsAndClearReleasesInterfaceReferences) {
  ValueObject* object = vq::MakeComObject<ValueObject>(1);
  {
    Var a, b;
    SetObject(a, VT_UNKNOWN, object->GetUnknown());
    ASSERT_EQ(VariantCopy(&b, &a), S_OK);
    EXPECT_EQ(object->RefCount(), 3u);
    EXPECT_EQ(b.punkVal, a.punkVal);
    ASSERT_EQ(VariantClear(&b), S_OK);
    EXPECT_EQ(b.vt, VT_EMPTY);
    EXPECT_EQ(object->RefCount(), 2u);
    // Copying onto a variant that holds the object releases that hold first.
    ASSERT_EQ(VariantCopy(&b, &a), S_OK);
    a.vt = VT_I4;  // a's reference is overwritten, not released
    a.lVal = 5;
    ASSERT_EQ(VariantCopy(&b, &a), S_OK);
    EXPECT_EQ(object->RefCount(), 2u);
    EXPECT_EQ(b.vt, VT_I4);
  }
  EXPECT_EQ(object->RefCount(), 2u);
  object->Release();
  object->Release();
}

TEST(VariantOwnership, CopyOfStringIsDeepAndKeepsEmbeddedZeros) {
  Var a;
  a.vt = VT_BSTR;
  const OLECHAR text[] = {L'x', L'\0', L'y'};
  a.bstrVal = SysAllocStringLen(text, 3);
  Var b;
  ASSERT_EQ(VariantCopy(&b, &a), S_OK);
  ASSERT_EQ(b.vt, VT_BSTR);
  EXPECT_NE(b.bstrVal, a.bstrVal);
  EXPECT_EQ(TextOf(b), std::wstring(text, 3));
  // Copying a variant onto itself changes nothing (and frees nothing).
  ASSERT_EQ(VariantCopy(&a, &a), S_OK);
  EXPECT_EQ(TextOf(a), std::wstring(text, 3));
}

TEST(VariantOwnership, ReferencesAreCopiedShallowAndDereferencedByCopyInd) {
  ValueObject* object = vq::MakeComObject<ValueObject>(1);
  IUnknown* held = object->GetUnknown();
  Var ref, copy;
  ASSERT_EQ(VariantCopy(&copy, SetRef(ref, VT_UNKNOWN, &held)), S_OK);
  EXPECT_EQ(copy.ppunkVal, &held);
  EXPECT_EQ(object->RefCount(), 1u);
  ASSERT_EQ(VariantCopyInd(&copy, &ref), S_OK);
  EXPECT_EQ(copy.vt, VT_UNKNOWN);
  EXPECT_EQ(copy.punkVal, held);
  EXPECT_EQ(object->RefCount(), 2u);
  VariantClear(&copy);
  EXPECT_EQ(object->RefCount(), 1u);

  BSTR text = SysAllocString(L"indirect");
  Var inPlace;
  ASSERT_EQ(VariantCopyInd(&inPlace, SetRef(inPlace, VT_BSTR, &text)), S_OK);
  EXPECT_EQ(inPlace.vt, VT_BSTR);
  EXPECT_NE(inPlace.bstrVal, text);
  EXPECT_EQ(TextOf(inPlace), L"indirect");
  SysFreeString(text);

  Var nullRef, out;
  EXPECT_EQ(VariantCopyInd(&out, SetRef(nullRef, VT_I4, nullptr)), E_INVALIDARG);
  object->Release();
}

TEST(VariantOwnership, UnknownTypesAreRefusedAndLeftAlone) {
  VARIANT v;
  v.vt = 15;  // no such type
  EXPECT_EQ(VariantClear(&v), DISP_E_BADVARTYPE);
  EXPECT_EQ(v.vt, 15);
  v.vt = VT_ARRAY | VT_I4;  // no SAFEARRAY support: cannot be released
  v.parray = nullptr;
  EXPECT_EQ(VariantClear(&v), DISP_E_BADVARTYPE);
  Var dest;
  EXPECT_EQ(VariantCopy(&dest, &v), DISP_E_BADVARTYPE);
  EXPECT_EQ(VariantClear(nullptr), E_INVALIDARG);
  EXPECT_EQ(VariantCopy(nullptr, &dest), E_INVALIDARG);
}

// ---------------------------------------------------------------------------
// VariantChangeType
// ---------------------------------------------------------------------------
struct IntegerCase {
  VARTYPE from;
  int64_t value;
  VARTYPE to;
  HRESULT expected;
};

TEST(VariantChangeType, IntegerRangesAreChecked) {
  const IntegerCase cases[] = {
      {VT_I4, 255, VT_UI1, S_OK},           {VT_I4, 256, VT_UI1, DISP_E_OVERFLOW},
      {VT_I4, -1, VT_UI1, DISP_E_OVERFLOW}, {VT_I4, -1, VT_UI4, DISP_E_OVERFLOW},
      {VT_I2, -128, VT_I1, S_OK},           {VT_I2, -129, VT_I1, DISP_E_OVERFLOW},
      {VT_UI4, 0x80000000, VT_I4, DISP_E_OVERFLOW}, {VT_UI4, 0x7FFFFFFF, VT_INT, S_OK},
      {VT_I8, INT64_MIN, VT_I4, DISP_E_OVERFLOW},   {VT_I8, -1, VT_UI8, DISP_E_OVERFLOW},
      {VT_UI8, -1 /* all ones */, VT_I8, DISP_E_OVERFLOW}, {VT_I4, 65535, VT_UI2, S_OK},
      {VT_BOOL, VARIANT_TRUE, VT_I4, S_OK},  // -1
      {VT_BOOL, VARIANT_TRUE, VT_UI1, S_OK},  // keeps its bits: 255
  };
  for (const IntegerCase& c : cases) {
    Var src, dst;
    SetInteger(src, c.from, c.value);
    EXPECT_EQ(VariantChangeType(&dst, &src, 0, c.to), c.expected)
        << "from " << c.from << " value " << c.value << " to " << c.to;
    if (c.expected == S_OK) {
      EXPECT_EQ(dst.vt, c.to);
    } else {
      EXPECT_EQ(dst.vt, VT_EMPTY);  // untouched on failure
    }
  }
  Var b, out;
  ASSERT_EQ(VariantChangeType(&out, SetInteger(b, VT_BOOL, VARIANT_TRUE), 0, VT_UI1), S_OK);
  EXPECT_EQ(out.bVal, 255);
  ASSERT_EQ(VariantChangeType(&out, &b, 0, VT_I4), S_OK);
  EXPECT_EQ(out.lVal, -1);
  ASSERT_EQ(VariantChangeType(&out, SetInteger(b, VT_I4, 7), 0, VT_BOOL), S_OK);
  EXPECT_EQ(out.boolVal, VARIANT_TRUE);
}

TEST(VariantChangeType, RealsRoundHalfToEven) {
  const struct {
    double value;
    LONG expected;
  } cases[] = {{2.5, 2}, {3.5, 4}, {-2.5, -2}, {-3.5, -4}, {0.5, 0}, {-0.5, 0}, {1.49999, 1},
               {2.500001, 3}, {-1.6, -2}, {2147483647.4, 2147483647}, {-2147483648.5, INT32_MIN}};
  for (const auto& c : cases) {
    Var src, dst;
    ASSERT_EQ(VariantChangeType(&dst, SetReal(src, VT_R8, c.value), 0, VT_I4), S_OK) << c.value;
    EXPECT_EQ(dst.lVal, c.expected) << c.value;
  }
  const double overflowing[] = {2147483647.5, -2147483649.0, std::nan(""), HUGE_VAL, -HUGE_VAL};
  for (double value : overflowing) {
    Var src, dst;
    EXPECT_EQ(VariantChangeType(&dst, SetReal(src, VT_R8, value), 0, VT_I4), DISP_E_OVERFLOW) << value;
  }
  Var src, dst;
  ASSERT_EQ(VariantChangeType(&dst, SetReal(src, VT_R4, 254.5), 0, VT_UI1), S_OK);
  EXPECT_EQ(dst.bVal, 254);
  EXPECT_EQ(VariantChangeType(&dst, SetReal(src, VT_R4, 255.5), 0, VT_UI1), DISP_E_OVERFLOW);  // rounds to 256
  EXPECT_EQ(VariantChangeType(&dst, SetReal(src, VT_R8, 1e39), 0, VT_R4), DISP_E_OVERFLOW);
  EXPECT_EQ(VariantChangeType(&dst, SetReal(src, VT_R8, 1e300), 0, VT_UI8), DISP_E_OVERFLOW);
}

TEST(VariantChangeType, TextParsesToNumbers) {
  const struct {
    const wchar_t* text;
    VARTYPE to;
    HRESULT expected;
    int64_t value;  // for integer targets
  } cases[] = {
      {L"  42 ", VT_I4, S_OK, 42},
      {L"-17", VT_I2, S_OK, -17},
      {L"+8", VT_UI1, S_OK, 8},
      {L"1e3", VT_I2, S_OK, 1000},
      {L"2.5", VT_I4, S_OK, 2},
      {L"3.5", VT_I4, S_OK, 4},
      {L"2.5000001", VT_I4, S_OK, 3},
      {L"0.0004", VT_I4, S_OK, 0},
      {L"&HFF", VT_I4, S_OK, 255},
      {L"&o17", VT_I4, S_OK, 15},
      {L"-9223372036854775808", VT_I8, S_OK, INT64_MIN},
      {L"9223372036854775808", VT_I8, DISP_E_OVERFLOW, 0},
      {L"18446744073709551616", VT_UI8, DISP_E_OVERFLOW, 0},
      {L"256", VT_UI1, DISP_E_OVERFLOW, 0},
      {L"1e30", VT_I4, DISP_E_OVERFLOW, 0},
      {L"abc", VT_I4, DISP_E_TYPEMISMATCH, 0},
      {L"", VT_I4, DISP_E_TYPEMISMATCH, 0},
      {L"   ", VT_I4, DISP_E_TYPEMISMATCH, 0},
      {L"12abc", VT_I4, DISP_E_TYPEMISMATCH, 0},
      {L"1e", VT_I4, DISP_E_TYPEMISMATCH, 0},
      {L"&H", VT_I4, DISP_E_TYPEMISMATCH, 0},
      {L"1.5", VT_R8, S_OK, 0},
      {L"1e400", VT_R8, DISP_E_OVERFLOW, 0},
      {L"1e-400", VT_R8, S_OK, 0},
      {L"1e39", VT_R4, DISP_E_OVERFLOW, 0},
  };
  for (const auto& c : cases) {
    Var src, dst;
    src = c.text;
    ASSERT_EQ(VariantChangeType(&dst, &src, 0, c.to), c.expected) << "\"" << std::wstring(c.text).size() << "\" "
                                                                   << c.to << " case text index";
    if (c.expected != S_OK) continue;
    switch (c.to) {
      case VT_I2: EXPECT_EQ(dst.iVal, c.value); break;
      case VT_I4: EXPECT_EQ(dst.lVal, c.value); break;
      case VT_UI1: EXPECT_EQ(dst.bVal, c.value); break;
      case VT_I8: EXPECT_EQ(dst.llVal, c.value); break;
      default: break;
    }
  }
  Var max, out;
  max = L"18446744073709551615";
  ASSERT_EQ(VariantChangeType(&out, &max, 0, VT_UI8), S_OK);
  EXPECT_EQ(out.ullVal, UINT64_MAX);  // exact: not through a double
  max = L"1.5";
  ASSERT_EQ(VariantChangeType(&out, &max, 0, VT_R8), S_OK);
  EXPECT_EQ(out.dblVal, 1.5);
}

TEST(VariantChangeType, BooleansAndText) {
  Var src, dst;
  const struct {
    const wchar_t* text;
    HRESULT expected;
    VARIANT_BOOL value;
  } texts[] = {{L"True", S_OK, VARIANT_TRUE},  {L" false ", S_OK, VARIANT_FALSE}, {L"TRUE", S_OK, VARIANT_TRUE},
               {L"0", S_OK, VARIANT_FALSE},    {L"-2", S_OK, VARIANT_TRUE},       {L"0.0", S_OK, VARIANT_FALSE},
               {L"yes", DISP_E_TYPEMISMATCH, 0}, {L"", DISP_E_TYPEMISMATCH, 0}};
  for (const auto& t : texts) {
    src = t.text;
    ASSERT_EQ(VariantChangeType(&dst, &src, 0, VT_BOOL), t.expected) << std::wstring(t.text).size();
    if (t.expected == S_OK) {
      EXPECT_EQ(dst.boolVal, t.value);
    }
  }
  Var b;
  ASSERT_EQ(VariantChangeType(&dst, SetInteger(b, VT_BOOL, VARIANT_TRUE), VARIANT_ALPHABOOL, VT_BSTR), S_OK);
  EXPECT_EQ(TextOf(dst), L"True");
  ASSERT_EQ(VariantChangeType(&dst, &b, 0, VT_BSTR), S_OK);
  EXPECT_EQ(TextOf(dst), L"-1");
  ASSERT_EQ(VariantChangeType(&dst, SetInteger(b, VT_BOOL, VARIANT_FALSE), VARIANT_LOCALBOOL, VT_BSTR), S_OK);
  EXPECT_EQ(TextOf(dst), L"False");
  ASSERT_EQ(VariantChangeType(&dst, &b, 0, VT_BSTR), S_OK);
  EXPECT_EQ(TextOf(dst), L"0");
}

TEST(VariantChangeType, NumbersFormatInTheInvariantStyle) {
  const struct {
    double value;
    const wchar_t* text;
  } reals[] = {{1.5, L"1.5"},      {-3.0, L"-3"},         {0.1, L"0.1"},     {1e20, L"1E+20"},
               {1e-5, L"1E-05"},   {123456789012345.0, L"123456789012345"}, {1.0 / 3, L"0.333333333333333"},
               {0.0, L"0"}};
  Var src, out;
  for (const auto& r : reals) {
    ASSERT_EQ(VariantChangeType(&out, SetReal(src, VT_R8, r.value), 0, VT_BSTR), S_OK);
    EXPECT_EQ(TextOf(out), r.text) << r.value;
  }
  ASSERT_EQ(VariantChangeType(&out, SetReal(src, VT_R4, 0.1), 0, VT_BSTR), S_OK);
  EXPECT_EQ(TextOf(out), L"0.1");
  ASSERT_EQ(VariantChangeType(&out, SetInteger(src, VT_I8, INT64_MIN), 0, VT_BSTR), S_OK);
  EXPECT_EQ(TextOf(out), L"-9223372036854775808");
  ASSERT_EQ(VariantChangeType(&out, SetInteger(src, VT_UI8, -1), 0, VT_BSTR), S_OK);
  EXPECT_EQ(TextOf(out), L"18446744073709551615");
  Var empty;
  ASSERT_EQ(VariantChangeType(&out, &empty, 0, VT_BSTR), S_OK);
  ASSERT_NE(out.bstrVal, nullptr);
  EXPECT_EQ(SysStringLen(out.bstrVal), 0u);
  ASSERT_EQ(VariantChangeType(&out, &empty, 0, VT_R8), S_OK);
  EXPECT_EQ(out.dblVal, 0.0);
}

TEST(VariantChangeType, InPlaceAndFailureLeaveNoLeakAndNoChange) {
  Var v;
  v = L"12";
  ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_I4), S_OK);  // the string is freed (checked by the sanitizers)
  EXPECT_EQ(v.vt, VT_I4);
  EXPECT_EQ(v.lVal, 12);
  ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_BSTR), S_OK);
  EXPECT_EQ(TextOf(v), L"12");
  ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_BSTR), S_OK);  // same type, in place
  EXPECT_EQ(TextOf(v), L"12");

  Var keep, bad;
  keep = L"keep";
  bad = L"not a number";
  EXPECT_EQ(VariantChangeType(&keep, &bad, 0, VT_I4), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(keep.vt, VT_BSTR);
  EXPECT_EQ(TextOf(keep), L"keep");
}

TEST(VariantChangeType, ReferencesAreDereferenced) {
  LONG seven = 7;
  Var ref, out;
  ASSERT_EQ(VariantChangeType(&out, SetRef(ref, VT_I4, &seven), 0, VT_BSTR), S_OK);
  EXPECT_EQ(TextOf(out), L"7");
  ASSERT_EQ(VariantChangeType(&ref, &ref, 0, VT_R8), S_OK);
  EXPECT_EQ(ref.vt, VT_R8);
  EXPECT_EQ(ref.dblVal, 7.0);
  EXPECT_EQ(seven, 7);
  EXPECT_EQ(VariantChangeType(&out, SetRef(ref, VT_I4, nullptr), 0, VT_I2), DISP_E_TYPEMISMATCH);
}

TEST(VariantChangeType, ObjectsConvertThroughTheirValueProperty) {
  ValueObject* object = vq::MakeComObject<ValueObject>(42);
  {
    Var src, out;
    ASSERT_EQ(VariantChangeType(&out, SetObject(src, VT_DISPATCH, object->GetUnknown()), 0, VT_BSTR), S_OK);
    EXPECT_EQ(TextOf(out), L"42");
    EXPECT_EQ(VariantChangeType(&out, &src, VARIANT_NOVALUEPROP, VT_I4), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(object->RefCount(), 2u);
    // VT_DISPATCH to VT_UNKNOWN asks for IUnknown and holds its own reference.
    ASSERT_EQ(VariantChangeType(&out, &src, 0, VT_UNKNOWN), S_OK);
    EXPECT_EQ(out.punkVal, object->GetUnknown());
    EXPECT_EQ(object->RefCount(), 3u);
  }
  EXPECT_EQ(object->RefCount(), 1u);
  object->Release();

  PlainObject* plain = vq::MakeComObject<PlainObject>();
  {
    Var src, out;
    EXPECT_EQ(VariantChangeType(&out, SetObject(src, VT_UNKNOWN, plain->GetUnknown()), 0, VT_DISPATCH),
              DISP_E_TYPEMISMATCH);
    EXPECT_EQ(VariantChangeType(&out, &src, 0, VT_I4), DISP_E_TYPEMISMATCH);
  }
  EXPECT_EQ(plain->RefCount(), 1u);
  plain->Release();
}

TEST(VariantChangeType, UnknownTypesAndNullAreRefused) {
  Var src, out;
  SetInteger(src, VT_I4, 1);
  EXPECT_EQ(VariantChangeType(&out, &src, 0, 15), DISP_E_BADVARTYPE);
  EXPECT_EQ(VariantChangeType(&out, &src, 0, VT_ARRAY | VT_I4), DISP_E_BADVARTYPE);
  EXPECT_EQ(VariantChangeType(&out, &src, 0, VT_I4 | VT_BYREF), DISP_E_BADVARTYPE);
  EXPECT_EQ(VariantChangeType(nullptr, &src, 0, VT_I4), E_INVALIDARG);
  Var null;
  null.vt = VT_NULL;
  EXPECT_EQ(VariantChangeType(&out, &null, 0, VT_I4), DISP_E_TYPEMISMATCH);
  ASSERT_EQ(VariantChangeType(&out, &src, 0, VT_EMPTY), S_OK);
  EXPECT_EQ(out.vt, VT_EMPTY);
}

// ---------------------------------------------------------------------------
// Code pages
// ---------------------------------------------------------------------------
TEST(CodePages, EveryAnsiByteSurvivesARoundTrip) {
  char bytes[255];
  for (int i = 0; i < 255; ++i) bytes[i] = static_cast<char>(i + 1);
  WCHAR wide[255];
  ASSERT_EQ(MultiByteToWideChar(CP_ACP, 0, bytes, 255, wide, 255), 255);
  EXPECT_EQ(wide[0x80 - 1], 0x20AC);  // euro sign
  EXPECT_EQ(wide[0x81 - 1], 0x0081);  // unassigned: kept as the C1 control
  EXPECT_EQ(wide[0x9F - 1], 0x0178);
  EXPECT_EQ(wide[0xE9 - 1], 0x00E9);
  char back[255];
  BOOL usedDefault = TRUE;
  ASSERT_EQ(WideCharToMultiByte(1252, 0, wide, 255, back, 255, nullptr, &usedDefault), 255);
  EXPECT_FALSE(usedDefault);
  EXPECT_EQ(std::memcmp(bytes, back, 255), 0);
}

TEST(CodePages, UnrepresentableCharactersBecomeTheDefault) {
  const WCHAR text[] = {L'A', 0x0100, 0x4E2D, L'z', 0};
  char out[8];
  BOOL usedDefault = FALSE;
  ASSERT_EQ(WideCharToMultiByte(CP_ACP, 0, text, -1, out, sizeof out, nullptr, &usedDefault), 5);
  EXPECT_STREQ(out, "A??z");
  EXPECT_TRUE(usedDefault);
  const char star = '*';
  ASSERT_EQ(WideCharToMultiByte(CP_ACP, 0, text, 4, out, sizeof out, &star, nullptr), 4);
  EXPECT_EQ(std::string(out, 4), "A**z");
}

TEST(CodePages, Utf8EncodesAndDecodesEveryPlane) {
  const WCHAR text[] = {L'a', 0x00E9, 0x20AC, 0x1F600, 0};
  char out[16];
  const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, out, sizeof out, nullptr, nullptr);
  ASSERT_EQ(n, 1 + 2 + 3 + 4 + 1);
  EXPECT_STREQ(out, "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
  WCHAR back[8];
  ASSERT_EQ(MultiByteToWideChar(CP_UTF8, 0, out, -1, back, 8), 5);
  EXPECT_EQ(std::wstring(back), std::wstring(text));
  // A UTF-16 surrogate pair in the wide text is joined.
  const WCHAR pair[] = {0xD83D, 0xDE00};
  ASSERT_EQ(WideCharToMultiByte(CP_UTF8, 0, pair, 2, out, sizeof out, nullptr, nullptr), 4);
  EXPECT_EQ(std::string(out, 4), "\xF0\x9F\x98\x80");
}

TEST(CodePages, MalformedUtf8IsReplacedOrRefused) {
  const char bad[] = "\xC3(\xED\xA0\x80z\xF0\x9F";  // bad continuation, surrogate, truncated
  WCHAR out[16];
  const int n = MultiByteToWideChar(CP_UTF8, 0, bad, static_cast<int>(sizeof bad - 1), out, 16);
  ASSERT_GT(n, 0);
  const std::wstring decoded(out, static_cast<size_t>(n));
  EXPECT_EQ(decoded.substr(0, 2), std::wstring(L"\xFFFD("));
  EXPECT_NE(decoded.find(L'z'), std::wstring::npos);
  EXPECT_EQ(decoded.back(), 0xFFFD);
  for (WCHAR c : decoded) EXPECT_TRUE(c < 0xD800 || c > 0xDFFF);
  SetLastError(0);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bad, 2, out, 16), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
  const WCHAR lone[] = {0xD800, L'x'};
  char bytes[8];
  ASSERT_EQ(WideCharToMultiByte(CP_UTF8, 0, lone, 2, bytes, sizeof bytes, nullptr, nullptr), 4);
  EXPECT_EQ(std::string(bytes, 4), "\xEF\xBF\xBDx");
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, lone, 2, bytes, sizeof bytes, nullptr, nullptr), 0);
}

TEST(CodePages, SizeQueriesAndShortBuffers) {
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, L"\u00e9t\u00e9", -1, nullptr, 0, nullptr, nullptr), 6);
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, L"\u00e9t\u00e9", 3, nullptr, 0, nullptr, nullptr), 3);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "\xC3\xA9t", -1, nullptr, 0), 3);
  char small[4] = {'#', '#', '#', '#'};
  SetLastError(0);
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, L"\u00e9t\u00e9", -1, small, 3, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(small[3], '#');  // nothing written past the given size
  WCHAR wide[2] = {L'#', L'#'};
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abc", 3, wide, 1), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(wide[1], L'#');
}

TEST(CodePages, BadArgumentsAreInvalidParameters) {
  char out[8];
  BOOL used = FALSE;
  for (int result :
       {WideCharToMultiByte(CP_ACP, 0, nullptr, 1, out, 8, nullptr, nullptr),
        WideCharToMultiByte(CP_ACP, 0, L"a", 0, out, 8, nullptr, nullptr),
        WideCharToMultiByte(CP_ACP, 0, L"a", 1, nullptr, 8, nullptr, nullptr),
        WideCharToMultiByte(437, 0, L"a", 1, out, 8, nullptr, nullptr),
        WideCharToMultiByte(CP_UTF8, 0, L"a", 1, out, 8, nullptr, &used),
        MultiByteToWideChar(CP_ACP, 0, nullptr, 1, nullptr, 0), MultiByteToWideChar(CP_ACP, 0, "a", -2, nullptr, 0)})
    EXPECT_EQ(result, 0);
  SetLastError(0);
  EXPECT_EQ(WideCharToMultiByte(437, 0, L"a", 1, out, 8, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

// ---------------------------------------------------------------------------
// Task memory
// ---------------------------------------------------------------------------
TEST(TaskMemory, AllocReallocFree) {
  auto* p = static_cast<char*>(CoTaskMemAlloc(0));
  ASSERT_NE(p, nullptr);  // a valid block even for zero bytes
  CoTaskMemFree(p);
  p = static_cast<char*>(CoTaskMemRealloc(nullptr, 4));
  ASSERT_NE(p, nullptr);
  std::memcpy(p, "abcd", 4);
  p = static_cast<char*>(CoTaskMemRealloc(p, 1 << 20));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(std::memcmp(p, "abcd", 4), 0);
  EXPECT_EQ(CoTaskMemRealloc(p, 0), nullptr);  // freed
  CoTaskMemFree(nullptr);
}

}  // namespace
