// VQDataInternal.h - shared helpers of the VQData component's implementation.
//
// What the component's classes share: the module's lock count
// (DllCanUnloadNow, a vq::ModuleCount), the one way of failing with error
// information, an owning VARIANT, text conversions between BSTR and
// std::wstring, and the reading of 1-based VARIANT indices (interface
// pointers are held in vq::ComPtr, as everywhere in the project). Nothing
// here takes a lock; the counters are atomic and may be touched from any
// thread.
#pragma once

#include <string>
#include <utility>

#include "VQData.h"
#include "platform/VQModuleCount.h"

namespace vqdata {

// Live objects and LockServer locks of this library; DllCanUnloadNow answers
// S_OK only when both are zero.
extern vq::ModuleCount g_Module;

// Counts the object that embeds it as live for the module's lifetime checks.
using ModuleObject = vq::ModuleObject<g_Module>;

// Leaves error information for interface iid (source "VQData.VQData") with a
// printf-style description on the calling thread and returns hr.
HRESULT Fail(REFIID iid, HRESULT hr, const char* format, ...) noexcept
    __attribute__((format(printf, 3, 4)));

// An owning VARIANT: cleared on destruction, deep-copied on copy.
class OwnedVariant {
 public:
  OwnedVariant() noexcept { VariantInit(&m_V); }
  OwnedVariant(const OwnedVariant&) = delete;
  OwnedVariant& operator=(const OwnedVariant&) = delete;
  ~OwnedVariant() { VariantClear(&m_V); }
  // Copies src (VT_BYREF dereferenced); on failure this value is empty.
  HRESULT CopyFrom(const VARIANT& src) noexcept;
  const VARIANT& get() const noexcept { return m_V; }
  VARIANT* put() noexcept {
    VariantClear(&m_V);
    return &m_V;
  }
  void Swap(OwnedVariant& other) noexcept { std::swap(m_V, other.m_V); }

 private:
  VARIANT m_V;
};

// True for the VARTYPEs an attribute value may have (see IVQData::AddAttribute).
bool IsStorableVarType(VARTYPE vt) noexcept;

// The text of a BSTR (a null BSTR is empty; embedded zeros are kept).
std::wstring FromBstr(BSTR text);
// A new BSTR with the text, or null when memory runs out.
BSTR ToBstr(const std::wstring& text) noexcept;
// Stores a new BSTR copy of text in *out; E_POINTER / E_OUTOFMEMORY.
HRESULT CopyOut(const std::wstring& text, BSTR* out, REFIID iid, const char* what) noexcept;

// How a collection index VARIANT reads: a 1-based position or a name.
struct CollectionIndex {
  bool byName = false;
  LONG position = 0;
  std::wstring name;
};
// Reads index; E_INVALIDARG / DISP_E_TYPEMISMATCH with error information.
HRESULT ReadIndex(const VARIANT& index, bool namesAllowed, CollectionIndex* out, REFIID iid,
                  const char* what) noexcept;

}  // namespace vqdata
