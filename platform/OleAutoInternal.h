// OleAutoInternal.h - helpers shared by the OleAuto*.cpp sources (private to
// the platform library). Stateless; callable from any thread.
#pragma once

#include "VQOleAuto.h"

namespace vq::detail {

// True for the types a by-value variant may hold on this platform.
bool IsValueType(VARTYPE vt);
// True for the type tags VariantClear and VariantCopy accept: value types and
// references to them or to a VARIANT; arrays are refused (no SAFEARRAY here).
bool IsValidVariantType(VARTYPE vt);
// Stores in *out (VT_EMPTY on entry) a by-value deep copy of what the
// by-reference variant *src points at. E_INVALIDARG for a null reference or a
// reference to another reference.
HRESULT DereferenceCopy(VARIANT* out, const VARIANT* src);

}  // namespace vq::detail
