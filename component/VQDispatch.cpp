// VQDispatch.cpp - IDispatch for IVQDataMatrix, served from the table of
// VQDispatchTable.cpp.
//
// Invoke runs in three steps, and only the last one touches the target:
//  1. pick the row from the identifier and the flags, and place each
//     argument of rgvarg (reverse order, named ones first) at its parameter
//     position;
//  2. coerce every in-argument into a slot of its own and check that every
//     out-argument refers to storage of the right type;
//  3. call the row's invoker with the slots, then hand the out values and the
//     retval to the caller.
// The slots own everything they hold (coerced strings, interface references,
// values the method returned), so clearing them frees every temporary on every
// path; a value handed to the caller is moved out of its slot first.
#include "component/VQDispatch.h"

namespace vq {
namespace {

// Automation matches names without regard to case; every name in the table is
// ASCII, so folding ASCII letters is enough.
OLECHAR FoldCase(OLECHAR c) { return (c >= L'A' && c <= L'Z') ? static_cast<OLECHAR>(c - L'A' + L'a') : c; }

bool SameName(const OLECHAR* a, const OLECHAR* b) {
  for (;; ++a, ++b) {
    if (FoldCase(*a) != FoldCase(*b)) return false;
    if (*a == 0) return true;
  }
}

// The coerced arguments and returned values of one call, by parameter
// position. Clearing releases whatever a slot still owns.
class ArgumentSlots {
 public:
  ArgumentSlots() = default;
  ArgumentSlots(const ArgumentSlots&) = delete;
  ArgumentSlots& operator=(const ArgumentSlots&) = delete;
  ~ArgumentSlots() {
    for (VARIANT& slot : m_Slots) VariantClear(&slot);
  }
  VARIANT* data() { return m_Slots; }
  VARIANT& operator[](UINT i) { return m_Slots[i]; }

 private:
  VARIANT m_Slots[kMatrixMaxParams]{};  // all-zero: VT_EMPTY with a null value
};

// Moves the value of `slot` into `dest` (cleared first); `slot` becomes empty.
void MoveVariant(VARIANT& slot, VARIANT* dest) {
  VariantClear(dest);
  *dest = slot;
  slot = VARIANT{};
}

// An out-argument must refer to storage of its own type or to a VARIANT.
bool IsOutTarget(const VARIANT& arg, VARTYPE base) {
  if (arg.byref == nullptr) return false;
  return arg.vt == (VT_BYREF | base) || arg.vt == (VT_BYREF | VT_VARIANT);
}

// Hands the value in `slot` to the storage the out-argument refers to,
// releasing the value that was there (by-reference arguments are in/out).
void StoreOut(VARIANT& slot, const VARIANT& arg) {
  if (arg.vt == (VT_BYREF | VT_VARIANT)) {
    MoveVariant(slot, arg.pvarVal);
    return;
  }
  switch (slot.vt) {
    case VT_I4:
      *arg.plVal = slot.lVal;
      break;
    case VT_R8:
      *arg.pdblVal = slot.dblVal;
      break;
    case VT_BSTR:
      SysFreeString(*arg.pbstrVal);
      *arg.pbstrVal = slot.bstrVal;
      break;
    case VT_UNKNOWN:
      if (*arg.ppunkVal != nullptr) (*arg.ppunkVal)->Release();
      *arg.ppunkVal = slot.punkVal;
      break;
    default:
      return;  // the table holds no other out type; the slot keeps and frees it
  }
  slot = VARIANT{};
}

// Conversion failures other than overflow and memory all mean "this argument
// is not of a usable type" to an automation client.
HRESULT CoercionResult(HRESULT hr) { return (hr == DISP_E_OVERFLOW || hr == E_OUTOFMEMORY) ? hr : DISP_E_TYPEMISMATCH; }

// Coerces one in-argument into its slot; an interface parameter declared as a
// specific interface gets that interface of the object.
HRESULT CoerceIn(const MatrixParam& param, const VARIANT& arg, VARIANT& slot) {
  HRESULT hr = VariantChangeType(&slot, &arg, 0, param.vt);
  if (FAILED(hr)) return CoercionResult(hr);
  if (param.iid != nullptr && slot.punkVal != nullptr) {
    void* specific = nullptr;
    hr = slot.punkVal->QueryInterface(*param.iid, &specific);
    slot.punkVal->Release();
    // The slot keeps the specific pointer typed as IUnknown* (single
    // inheritance: the same address), so that VariantClear releases it.
    slot.punkVal = static_cast<IUnknown*>(specific);
    if (FAILED(hr)) {
      slot = VARIANT{};
      return hr == E_NOINTERFACE ? DISP_E_TYPEMISMATCH : hr;
    }
  }
  return S_OK;
}

// The row that serves `flags` among the rows of `dispid`, or null.
const MatrixMember* SelectMember(DISPID dispid, WORD flags) {
  const bool put = (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0;
  for (const MatrixMember& m : MatrixMembers()) {
    if (m.dispid != dispid) continue;
    if (put) {
      if (m.invkind != INVOKE_PROPERTYPUT) continue;
      // A by-reference put ("Set x.P = obj") only makes sense for an object.
      const bool putRefOnly = (flags & DISPATCH_PROPERTYPUT) == 0;
      if (putRefOnly && m.params[m.ParamCount() - 1].vt != VT_UNKNOWN) continue;
      return &m;
    }
    if ((flags & DISPATCH_METHOD) && m.invkind == INVOKE_FUNC) return &m;
    if ((flags & DISPATCH_PROPERTYGET) && m.invkind == INVOKE_PROPERTYGET) return &m;
  }
  return nullptr;
}

// Where each argument of rgvarg goes: position -> index in rgvarg.
struct ArgumentMap {
  const VARIANT* arg[kMatrixMaxParams] = {};
  UINT index[kMatrixMaxParams] = {};
};

// Places the caller's arguments at their parameter positions. On a bad named
// argument badIndex is set to its index in rgvarg (else left alone).
HRESULT MapArguments(const MatrixMember& member, bool put, const DISPPARAMS& dp, ArgumentMap& map, UINT& badIndex) {
  const UINT argCount = member.ArgCount();
  if (dp.cArgs != argCount) return DISP_E_BADPARAMCOUNT;
  const UINT named = dp.cNamedArgs;
  const UINT positional = dp.cArgs - named;
  if (put) {
    // The value is the one named argument DISPID_PROPERTYPUT, and the last
    // parameter of the vtable call.
    if (named == 0) return DISP_E_PARAMNOTFOUND;
    if (named > 1 || dp.rgdispidNamedArgs[0] != DISPID_PROPERTYPUT) return DISP_E_NONAMEDARGS;
    map.arg[argCount - 1] = &dp.rgvarg[0];
    map.index[argCount - 1] = 0;
  } else {
    for (UINT i = 0; i < named; ++i) {
      const DISPID id = dp.rgdispidNamedArgs[i];
      // A named argument must name a parameter the positional ones left free.
      if (id < static_cast<DISPID>(positional) || id >= static_cast<DISPID>(argCount) || map.arg[id] != nullptr) {
        badIndex = i;
        return DISP_E_PARAMNOTFOUND;
      }
      map.arg[id] = &dp.rgvarg[i];
      map.index[id] = i;
    }
  }
  for (UINT i = named; i < dp.cArgs; ++i) {
    const UINT position = dp.cArgs - 1 - i;
    map.arg[position] = &dp.rgvarg[i];
    map.index[position] = i;
  }
  return S_OK;
}

}  // namespace

const MatrixMember* FindMatrixMember(DISPID dispid) noexcept {
  for (const MatrixMember& m : MatrixMembers())
    if (m.dispid == dispid) return &m;
  return nullptr;
}

HRESULT MapMatrixNames(LPOLESTR* rgszNames, UINT cNames, DISPID* rgDispId) noexcept {
  if (cNames == 0) return E_INVALIDARG;
  if (rgszNames == nullptr || rgDispId == nullptr) return E_POINTER;
  for (UINT i = 0; i < cNames; ++i) rgDispId[i] = DISPID_UNKNOWN;

  DISPID member = DISPID_UNKNOWN;
  if (rgszNames[0] != nullptr) {
    for (const MatrixMember& m : MatrixMembers()) {
      if (SameName(m.name, rgszNames[0])) {
        member = m.dispid;
        break;
      }
    }
  }
  if (member == DISPID_UNKNOWN) return DISP_E_UNKNOWNNAME;
  rgDispId[0] = member;

  // A parameter name may belong to the get or the put of a property; both
  // use the same positions for the same names.
  bool allFound = true;
  for (UINT i = 1; i < cNames; ++i) {
    if (rgszNames[i] != nullptr) {
      for (const MatrixMember& m : MatrixMembers()) {
        if (m.dispid != member) continue;
        for (UINT p = 0; p < m.ParamCount() && rgDispId[i] == DISPID_UNKNOWN; ++p)
          if (SameName(m.params[p].name, rgszNames[i])) rgDispId[i] = static_cast<DISPID>(p);
      }
    }
    if (rgDispId[i] == DISPID_UNKNOWN) allFound = false;
  }
  return allFound ? S_OK : DISP_E_UNKNOWNNAME;
}

namespace MatrixDispatch {

HRESULT GetTypeInfoCount(UINT* pctinfo) noexcept {
  if (pctinfo == nullptr) return E_POINTER;
  *pctinfo = 1;
  return S_OK;
}

HRESULT GetTypeInfo(UINT iTInfo, LCID, ITypeInfo** ppTInfo) noexcept {
  if (ppTInfo == nullptr) return E_POINTER;
  *ppTInfo = nullptr;
  if (iTInfo != 0) return DISP_E_BADINDEX;
  return GetMatrixTypeInfo(ppTInfo);
}

HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID, DISPID* rgDispId) noexcept {
  if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
  return MapMatrixNames(rgszNames, cNames, rgDispId);
}

HRESULT Invoke(IVQDataMatrix* target, DISPID dispIdMember, REFIID riid, LCID, WORD wFlags, DISPPARAMS* pDispParams,
               VARIANT* pVarResult, EXCEPINFO*, UINT* puArgErr) noexcept {
  if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
  if (target == nullptr || pDispParams == nullptr) return E_INVALIDARG;
  const DISPPARAMS& dp = *pDispParams;
  if (dp.cNamedArgs > dp.cArgs || (dp.cArgs > 0 && dp.rgvarg == nullptr) ||
      (dp.cNamedArgs > 0 && dp.rgdispidNamedArgs == nullptr))
    return E_INVALIDARG;

  const MatrixMember* member = SelectMember(dispIdMember, wFlags);
  if (member == nullptr) return DISP_E_MEMBERNOTFOUND;
  const bool put = member->invkind == INVOKE_PROPERTYPUT;

  ArgumentMap map;
  constexpr UINT kNoIndex = ~0u;
  UINT badIndex = kNoIndex;
  HRESULT hr = MapArguments(*member, put, dp, map, badIndex);
  if (FAILED(hr)) {
    if (badIndex != kNoIndex && puArgErr != nullptr) *puArgErr = badIndex;
    return hr;
  }

  ArgumentSlots slots;
  const UINT paramCount = member->ParamCount();
  for (UINT p = 0; p < paramCount; ++p) {
    const MatrixParam& param = member->params[p];
    if (param.IsOut()) {
      slots[p].vt = param.BaseType();
      if (!param.IsRetval() && !IsOutTarget(*map.arg[p], param.BaseType())) hr = DISP_E_TYPEMISMATCH;
    } else {
      hr = CoerceIn(param, *map.arg[p], slots[p]);
    }
    if (FAILED(hr)) {
      if (puArgErr != nullptr) *puArgErr = map.index[p];
      return hr;
    }
  }

  try {
    hr = member->invoke(target, slots.data());
  } catch (const _com_error& e) {
    hr = e.Error();
  } catch (...) {
    hr = E_FAIL;
  }
  // Out values of a failed call are not the caller's; the slots free them.
  if (FAILED(hr)) return hr;

  for (UINT p = 0; p < paramCount; ++p) {
    const MatrixParam& param = member->params[p];
    if (param.IsRetval()) {
      if (pVarResult != nullptr) MoveVariant(slots[p], pVarResult);
    } else if (param.IsOut()) {
      StoreOut(slots[p], *map.arg[p]);
    }
  }
  if (pVarResult != nullptr && member->Retval() == nullptr) VariantClear(pVarResult);
  return hr;
}

}  // namespace MatrixDispatch

}  // namespace vq
