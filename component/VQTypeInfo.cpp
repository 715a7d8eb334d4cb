// VQTypeInfo.cpp - the ITypeInfo that describes IVQDataMatrix to clients and
// tools, answered from the table of VQDispatchTable.cpp.
//
// It is the dispatch view of the dual interface (TKIND_DISPATCH with
// TYPEFLAG_FDUAL), as automation clients expect from IDispatch::GetTypeInfo:
// each function lists the parameters a caller passes, and the retval (when
// there is one) is the function's result type. Enumerations are described as
// VT_I4 and IStream* as VT_UNKNOWN, because the description carries no
// referenced types; for the same reason the base interface is not listed
// (cImplTypes 0). TYPEATTR and FUNCDESC are handed out in task memory, one
// block each, released by ReleaseTypeAttr / ReleaseFuncDesc.
#include <algorithm>
#include <atomic>
#include <new>

#include "component/VQDispatch.h"

namespace vq {
namespace {

// One FUNCDESC with everything it points at, in one task-memory block. The
// FUNCDESC comes first, so its address is the block's.
struct FuncDescBlock {
  FUNCDESC desc;
  ELEMDESC params[kMatrixMaxParams];
  TYPEDESC pointees[kMatrixMaxParams];  // what a VT_PTR parameter points at
};
static_assert(std::is_standard_layout_v<FuncDescBlock>);

// Copies src into *dest when dest is given; false when memory ran out.
bool CopyName(const OLECHAR* src, BSTR* dest) {
  if (dest == nullptr) return true;
  *dest = src != nullptr ? SysAllocString(src) : nullptr;
  return src == nullptr || *dest != nullptr;
}

class CMatrixTypeInfo final : public ComObject<CMatrixTypeInfo, ITypeInfo> {
 public:
  STDMETHODIMP GetTypeAttr(TYPEATTR** ppTypeAttr) override {
    if (ppTypeAttr == nullptr) return E_INVALIDARG;
    *ppTypeAttr = nullptr;
    void* memory = CoTaskMemAlloc(sizeof(TYPEATTR));
    if (memory == nullptr) return E_OUTOFMEMORY;
    TYPEATTR* attr = new (memory) TYPEATTR{};
    attr->guid = IID_IVQDataMatrix;
    attr->memidConstructor = MEMBERID_NIL;
    attr->memidDestructor = MEMBERID_NIL;
    attr->cbSizeInstance = sizeof(void*);
    attr->typekind = TKIND_DISPATCH;
    attr->cFuncs = static_cast<WORD>(MatrixMembers().size());
    attr->cbSizeVft = 7 * sizeof(void*);  // a dispinterface's vtable is IDispatch's
    attr->cbAlignment = alignof(void*);
    attr->wTypeFlags = TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE;
    attr->tdescAlias.vt = VT_EMPTY;
    *ppTypeAttr = attr;
    return S_OK;
  }

  STDMETHODIMP GetTypeComp(ITypeComp** ppTComp) override { return NotImplemented(ppTComp); }

  STDMETHODIMP GetFuncDesc(UINT index, FUNCDESC** ppFuncDesc) override {
    if (ppFuncDesc == nullptr) return E_INVALIDARG;
    *ppFuncDesc = nullptr;
    const auto members = MatrixMembers();
    if (index >= members.size()) return TYPE_E_ELEMENTNOTFOUND;
    const MatrixMember& m = members[index];
    void* memory = CoTaskMemAlloc(sizeof(FuncDescBlock));
    if (memory == nullptr) return E_OUTOFMEMORY;
    FuncDescBlock* block = new (memory) FuncDescBlock{};
    FUNCDESC& d = block->desc;
    d.memid = m.dispid;
    d.funckind = FUNC_DISPATCH;
    d.invkind = m.invkind;
    d.callconv = CC_STDCALL;
    d.cParams = static_cast<SHORT>(m.ArgCount());
    d.oVft = static_cast<SHORT>((7 + index) * sizeof(void*));  // its slot in the dual vtable
    d.lprgelemdescParam = d.cParams > 0 ? block->params : nullptr;
    for (UINT p = 0; p < m.ArgCount(); ++p) {
      const MatrixParam& param = m.params[p];
      ELEMDESC& e = block->params[p];
      e.paramdesc.wParamFlags = param.flags;
      if (param.IsOut()) {
        block->pointees[p].vt = param.BaseType();
        e.tdesc.vt = VT_PTR;
        e.tdesc.lptdesc = &block->pointees[p];
      } else {
        e.tdesc.vt = param.vt;
      }
    }
    const MatrixParam* retval = m.Retval();
    d.elemdescFunc.tdesc.vt = retval != nullptr ? retval->BaseType() : static_cast<VARTYPE>(VT_VOID);
    *ppFuncDesc = &block->desc;
    return S_OK;
  }

  STDMETHODIMP GetVarDesc(UINT, VARDESC** ppVarDesc) override {
    if (ppVarDesc != nullptr) *ppVarDesc = nullptr;
    return TYPE_E_ELEMENTNOTFOUND;  // an interface has no variables
  }

  // The member's name followed by the names of the parameters a caller
  // passes (the get's, for a property).
  STDMETHODIMP GetNames(MEMBERID memid, BSTR* rgBstrNames, UINT cMaxNames, UINT* pcNames) override {
    if (rgBstrNames == nullptr || pcNames == nullptr) return E_INVALIDARG;
    *pcNames = 0;
    const MatrixMember* m = FindMatrixMember(memid);
    if (m == nullptr) return TYPE_E_ELEMENTNOTFOUND;
    const UINT count = std::min(cMaxNames, 1 + m->ArgCount());
    for (UINT i = 0; i < count; ++i) {
      rgBstrNames[i] = SysAllocString(i == 0 ? m->name : m->params[i - 1].name);
      if (rgBstrNames[i] == nullptr) {
        for (UINT j = 0; j < i; ++j) {
          SysFreeString(rgBstrNames[j]);
          rgBstrNames[j] = nullptr;
        }
        return E_OUTOFMEMORY;
      }
    }
    *pcNames = count;
    return S_OK;
  }

  STDMETHODIMP GetRefTypeOfImplType(UINT, HREFTYPE* pRefType) override {
    if (pRefType != nullptr) *pRefType = 0;
    return TYPE_E_ELEMENTNOTFOUND;
  }

  STDMETHODIMP GetImplTypeFlags(UINT, INT* pImplTypeFlags) override {
    if (pImplTypeFlags != nullptr) *pImplTypeFlags = 0;
    return TYPE_E_ELEMENTNOTFOUND;
  }

  STDMETHODIMP GetIDsOfNames(LPOLESTR* rgszNames, UINT cNames, MEMBERID* pMemId) override {
    return MapMatrixNames(rgszNames, cNames, pMemId);
  }

  // pvInstance is the IVQDataMatrix pointer of the object to call.
  STDMETHODIMP Invoke(PVOID pvInstance, MEMBERID memid, WORD wFlags, DISPPARAMS* pDispParams, VARIANT* pVarResult,
                      EXCEPINFO* pExcepInfo, UINT* puArgErr) override {
    if (pvInstance == nullptr) return E_INVALIDARG;
    return MatrixDispatch::Invoke(static_cast<IVQDataMatrix*>(pvInstance), memid, IID_NULL, LOCALE_USER_DEFAULT, wFlags,
                                  pDispParams, pVarResult, pExcepInfo, puArgErr);
  }

  // MEMBERID_NIL documents the interface itself. There is no help file.
  STDMETHODIMP GetDocumentation(MEMBERID memid, BSTR* pBstrName, BSTR* pBstrDocString, DWORD* pdwHelpContext,
                                BSTR* pBstrHelpFile) override {
    const OLECHAR* name = kMatrixTypeLibrary.interfaceName;
    const OLECHAR* help = kMatrixTypeLibrary.interfaceHelpString;
    if (memid != MEMBERID_NIL) {
      const MatrixMember* m = FindMatrixMember(memid);
      if (m == nullptr) return TYPE_E_ELEMENTNOTFOUND;
      name = m->name;
      help = m->helpString;
    }
    if (pdwHelpContext != nullptr) *pdwHelpContext = 0;
    if (pBstrHelpFile != nullptr) *pBstrHelpFile = nullptr;
    if (!CopyName(name, pBstrName)) return E_OUTOFMEMORY;
    if (!CopyName(help, pBstrDocString)) {
      if (pBstrName != nullptr) {
        SysFreeString(*pBstrName);
        *pBstrName = nullptr;
      }
      return E_OUTOFMEMORY;
    }
    return S_OK;
  }

  STDMETHODIMP GetDllEntry(MEMBERID, INVOKEKIND, BSTR* pBstrDllName, BSTR* pBstrName, WORD* pwOrdinal) override {
    if (pBstrDllName != nullptr) *pBstrDllName = nullptr;
    if (pBstrName != nullptr) *pBstrName = nullptr;
    if (pwOrdinal != nullptr) *pwOrdinal = 0;
    return E_NOTIMPL;  // an interface has no DLL entry points
  }
  STDMETHODIMP GetRefTypeInfo(HREFTYPE, ITypeInfo** ppTInfo) override { return NotImplemented(ppTInfo); }
  STDMETHODIMP AddressOfMember(MEMBERID, INVOKEKIND, PVOID* ppv) override { return NotImplemented(ppv); }
  STDMETHODIMP CreateInstance(IUnknown*, REFIID, PVOID* ppvObj) override { return NotImplemented(ppvObj); }
  STDMETHODIMP GetMops(MEMBERID, BSTR* pBstrMops) override { return NotImplemented(pBstrMops); }
  // The type library is described by kMatrixTypeLibrary, not by an object.
  STDMETHODIMP GetContainingTypeLib(ITypeLib** ppTLib, UINT* pIndex) override {
    if (pIndex != nullptr) *pIndex = 0;
    return NotImplemented(ppTLib);
  }
  STDMETHODIMP_(void) ReleaseTypeAttr(TYPEATTR* pTypeAttr) override { CoTaskMemFree(pTypeAttr); }
  STDMETHODIMP_(void) ReleaseFuncDesc(FUNCDESC* pFuncDesc) override { CoTaskMemFree(pFuncDesc); }
  STDMETHODIMP_(void) ReleaseVarDesc(VARDESC*) override {}

 private:
  template <class T>
  static HRESULT NotImplemented(T** out) {
    if (out != nullptr) *out = nullptr;
    return E_NOTIMPL;
  }
};

// The one shared description. It is made on first use and lives as long as
// the library: every caller gets a reference of its own on top of the one
// kept here.
std::atomic<ITypeInfo*> g_SharedTypeInfo{nullptr};

}  // namespace

HRESULT GetMatrixTypeInfo(ITypeInfo** ppTInfo) noexcept {
  if (ppTInfo == nullptr) return E_POINTER;
  *ppTInfo = nullptr;
  ITypeInfo* shared = g_SharedTypeInfo.load(std::memory_order_acquire);
  if (shared == nullptr) {
    ITypeInfo* made = MakeComObject<CMatrixTypeInfo>();
    if (made == nullptr) return E_OUTOFMEMORY;
    // Two first callers may race; the loser's object goes again.
    if (g_SharedTypeInfo.compare_exchange_strong(shared, made, std::memory_order_acq_rel)) {
      shared = made;
    } else {
      made->Release();
    }
  }
  shared->AddRef();
  *ppTInfo = shared;
  return S_OK;
}

}  // namespace vq
