// VQDispatch.h - the automation side of IVQDataMatrix: its built-in type
// description and the IDispatch calls served from it.
//
// IVQDataMatrix is a dual interface. Its vtable half is the C++ interface of
// VQDataMatrixLib.h; its dispatch half is served here from one constant table
// (MatrixMembers) that describes each of the 39 operations in vtable order: the
// member name, its dispatch identifier, its invoke kind, its parameters and its
// help string, together with a small invoker that unpacks the coerced
// arguments and makes the typed vtable call. The matrix class forwards its
// four IDispatch methods to the functions of vq::MatrixDispatch, and the type
// description is offered to clients and tools as an ITypeInfo (the dispatch
// view of the dual interface).
//
// Ownership: the table is static constant data. The ITypeInfo is one shared,
// immutable object made on first use; each caller gets its own reference.
// Invoke copies and coerces the caller's arguments, frees every temporary on
// every path, and never keeps a reference to the target beyond the call.
//
// Threads and locks: nothing here holds mutable state, so there is no lock and
// every function may be called from any thread; the matrix itself is called
// on the thread of its apartment. No exception leaves any function here.
#pragma once

#include <span>

#include "VQDataMatrixLib.h"
#include "VQPlatform.h"

namespace vq {

// The largest parameter count of an IVQDataMatrix operation (Initialize2).
inline constexpr UINT kMatrixMaxParams = 8;

// One parameter of an operation. `vt` is the automation type the argument is
// coerced to: VT_I4, VT_R8, VT_BSTR or VT_UNKNOWN for an in-parameter,
// VT_BYREF combined with one of those for an out-parameter (the retval
// included). Enumerations travel as VT_I4 and interface pointers as
// VT_UNKNOWN; `typeName` then names the declared type ("matrixDirectionType",
// "IStream"). `iid` is the interface the object must offer when the parameter
// is declared as a more specific interface than IUnknown, else null.
struct MatrixParam {
  const OLECHAR* name;
  VARTYPE vt;
  USHORT flags;  // PARAMFLAG_FIN, PARAMFLAG_FOUT, PARAMFLAG_FOUT | PARAMFLAG_FRETVAL
  const OLECHAR* typeName;
  const IID* iid;

  constexpr bool IsOut() const { return (flags & PARAMFLAG_FOUT) != 0; }
  constexpr bool IsRetval() const { return (flags & PARAMFLAG_FRETVAL) != 0; }
  // The type of the value itself, without VT_BYREF.
  constexpr VARTYPE BaseType() const { return static_cast<VARTYPE>(vt & ~VT_BYREF); }
};

// Makes the vtable call for one operation. args[i] holds parameter i: an
// in-parameter already coerced to its VARTYPE, an out-parameter as an empty
// value of its base type whose address the invoker passes to the method.
typedef HRESULT (*MatrixInvoker)(IVQDataMatrix* target, VARIANT* args);

// One operation of IVQDataMatrix. A property's get and put are two entries
// with the same dispatch identifier and the same name (without get_/put_).
struct MatrixMember {
  const OLECHAR* name;
  DISPID dispid;
  INVOKEKIND invkind;  // INVOKE_FUNC, INVOKE_PROPERTYGET or INVOKE_PROPERTYPUT
  const OLECHAR* helpString;
  MatrixParam params[kMatrixMaxParams];  // the used ones first, then null names
  MatrixInvoker invoke;

  // Number of parameters, the retval included.
  constexpr UINT ParamCount() const {
    UINT n = 0;
    while (n < kMatrixMaxParams && params[n].name != nullptr) ++n;
    return n;
  }
  // Number of parameters a caller passes through IDispatch (all but the retval).
  constexpr UINT ArgCount() const {
    UINT n = ParamCount();
    return n > 0 && params[n - 1].IsRetval() ? n - 1 : n;
  }
  // The retval parameter, or null.
  constexpr const MatrixParam* Retval() const {
    UINT n = ParamCount();
    return n > 0 && params[n - 1].IsRetval() ? &params[n - 1] : nullptr;
  }
};

// The 39 operations in vtable order.
std::span<const MatrixMember> MatrixMembers() noexcept;

// The names and help strings of the interface and of its type library.
struct MatrixTypeLibraryInfo {
  const OLECHAR* interfaceName;        // "IVQDataMatrix"
  const OLECHAR* interfaceHelpString;  // "IVQDataMatrix Interface"
  const OLECHAR* libraryName;          // "VQDATAMATRIXLIBLib"
  const OLECHAR* libraryHelpString;    // "VQDataMatrixLib 1.0 Type Library"
  const GUID* libid;  // the address, so that this table is constant-initialised
  WORD majorVersion;
  WORD minorVersion;
};
extern const MatrixTypeLibraryInfo kMatrixTypeLibrary;

// The first row with that dispatch identifier (a property's get before its
// put), or null when there is none.
const MatrixMember* FindMatrixMember(DISPID dispid) noexcept;

// Maps names as MatrixDispatch::GetIDsOfNames does, without the interface
// check; ITypeInfo::GetIDsOfNames answers with it too.
HRESULT MapMatrixNames(LPOLESTR* rgszNames, UINT cNames, DISPID* rgDispId) noexcept;

// Stores a new reference to the shared ITypeInfo describing IVQDataMatrix in
// *ppTInfo (null and E_OUTOFMEMORY when it cannot be made; E_POINTER for a
// null ppTInfo). The description is the dispatch view of the dual interface
// (TKIND_DISPATCH with TYPEFLAG_FDUAL): functions list their parameters
// without the retval, which is the function's result type instead.
HRESULT GetMatrixTypeInfo(ITypeInfo** ppTInfo) noexcept;

// The IDispatch half of IVQDataMatrix. CVQDataMatrix forwards its four
// IDispatch methods here; the results are those automation documents.
namespace MatrixDispatch {

// Stores 1 in *pctinfo; E_POINTER when it is null.
HRESULT GetTypeInfoCount(UINT* pctinfo) noexcept;

// Stores a new reference to the shared ITypeInfo of IVQDataMatrix in *ppTInfo.
// DISP_E_BADINDEX when iTInfo is not 0, E_POINTER for a null ppTInfo,
// E_OUTOFMEMORY when the object cannot be made (*ppTInfo null on failure).
// The locale is ignored: there is one description.
HRESULT GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) noexcept;

// Maps rgszNames[0] (a member name, any case) to its dispatch identifier and
// rgszNames[1..] to the positions of those parameters of that member (0 for
// the first). Names not found get DISPID_UNKNOWN and the result is
// DISP_E_UNKNOWNNAME (every slot is DISPID_UNKNOWN when the member is
// unknown). DISP_E_UNKNOWNINTERFACE when riid is not IID_NULL, E_INVALIDARG
// for cNames 0, E_POINTER for null arrays.
HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid, DISPID* rgDispId) noexcept;

// Calls member dispIdMember of target as wFlags asks, with the arguments of
// pDispParams (in reverse order) coerced to the parameter types.
//  - DISPATCH_METHOD calls a method; DISPATCH_PROPERTYGET (alone or with
//    DISPATCH_METHOD) reads a property; DISPATCH_PROPERTYPUT writes one, with
//    the value as the one named argument DISPID_PROPERTYPUT.
//    DISPATCH_PROPERTYPUTREF is also taken for a property whose value is an
//    interface (what "Set x.P = obj" sends).
//  - Methods and gets also take named arguments whose identifiers are the
//    parameter positions GetIDsOfNames gives.
//  - In-arguments are converted with VariantChangeType (by-reference ones
//    dereferenced). An out-argument must be by-reference to its exact type or
//    to a VARIANT. By-reference arguments are in/out, as automation treats
//    them: after a successful call the old value they refer to is released
//    (string freed, interface released, variant cleared) and the new one
//    stored; after a failed call they are left as they were.
//  - On success *pVarResult (when given) is cleared and receives the retval,
//    or stays VT_EMPTY for a member without one; on failure it is untouched.
// Returns the method's own HRESULT (S_FALSE included) once the call was
// made; before that: DISP_E_UNKNOWNINTERFACE (riid not IID_NULL),
// DISP_E_MEMBERNOTFOUND (unknown identifier, or flags the member does not
// take), DISP_E_BADPARAMCOUNT, DISP_E_PARAMNOTFOUND (a put without its value
// argument, a named argument naming no free position), DISP_E_NONAMEDARGS
// (named arguments on a put other than its value), DISP_E_TYPEMISMATCH or
// DISP_E_OVERFLOW (an argument that does not convert; *puArgErr is then its
// index in rgvarg), E_INVALIDARG (null target or parameters), E_OUTOFMEMORY.
// pExcepInfo is never filled: the matrix reports failures by HRESULT alone.
HRESULT Invoke(IVQDataMatrix* target, DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags, DISPPARAMS* pDispParams,
               VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) noexcept;

}  // namespace MatrixDispatch

}  // namespace vq
