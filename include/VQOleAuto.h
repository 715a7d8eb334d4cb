// VQOleAuto.h - automation types: BSTR, VARIANT, IDispatch, ITypeInfo, task
// memory and the ANSI/UTF-8 text conversions.
//
// Ownership follows the automation rules. A BSTR belongs to whoever allocated
// it with a Sys*String function until it is passed to SysFreeString; a null
// BSTR counts as an empty string everywhere. A VARIANT owns the BSTR and the
// interface reference it holds (VT_BSTR, VT_UNKNOWN, VT_DISPATCH), never what a
// VT_BYREF variant points at; VariantClear releases what it owns,
// VariantCopy makes an independent deep copy. Task memory (CoTaskMem*) is the
// allocator that crosses component boundaries.
//
// Every function here is free of shared state and may be called from any
// thread; a VARIANT or BSTR itself is not synchronised, so one value must not
// be changed by two threads at once. The text conversions report failures
// through SetLastError of the calling thread.
//
// ITypeInfo and its description structures are declared with their real
// layout and vtable order so that a type description can be served for the
// dispatch interfaces; ITypeLib and ITypeComp are only named (identifier and
// incomplete type) because nothing here implements them.
#pragma once

#include "VQPlatformTypes.h"

// ---------------------------------------------------------------------------
// BSTR. Layout: uint32_t byte count, the characters (OLECHAR), a terminating
// zero that the count does not include. Embedded zeros are kept.
// ---------------------------------------------------------------------------
// Returns a new string copied up to the first zero of psz, or null when psz is
// null or memory ran out.
EXTERN_C BSTR SysAllocString(const OLECHAR* psz);
// Returns a new string of ui characters copied from strIn (uninitialised when
// strIn is null, still zero-terminated), or null when memory ran out or the
// length overflows.
EXTERN_C BSTR SysAllocStringLen(const OLECHAR* strIn, UINT ui);
// Returns a new string holding len bytes copied from psz (uninitialised when
// psz is null) followed by a zero character; the byte count may be odd.
// Null when memory ran out or the length overflows.
EXTERN_C BSTR SysAllocStringByteLen(LPCSTR psz, UINT len);
// Replaces *pbstr by a copy of psz (freeing the old string); TRUE on success,
// FALSE (and *pbstr unchanged) when memory ran out or pbstr is null.
EXTERN_C INT SysReAllocString(BSTR* pbstr, const OLECHAR* psz);
// As SysReAllocString with exactly len characters; psz may point into *pbstr.
EXTERN_C INT SysReAllocStringLen(BSTR* pbstr, const OLECHAR* psz, UINT len);
// Frees a string; a null pointer is accepted.
EXTERN_C void SysFreeString(BSTR bstrString);
// Returns the length in characters (byte count / sizeof(OLECHAR)); 0 for null.
EXTERN_C UINT SysStringLen(BSTR pbstr);
// Returns the length in bytes as allocated; 0 for null.
EXTERN_C UINT SysStringByteLen(BSTR bstr);

// ---------------------------------------------------------------------------
// Task memory.
// ---------------------------------------------------------------------------
// Returns a block of cb bytes (a valid unique block for cb == 0), or null.
EXTERN_C LPVOID CoTaskMemAlloc(SIZE_T cb);
// Resizes pv to cb bytes (allocates when pv is null, frees and returns null
// when cb is 0); on failure returns null and pv stays valid.
EXTERN_C LPVOID CoTaskMemRealloc(LPVOID pv, SIZE_T cb);
// Frees a block from CoTaskMemAlloc; null is accepted.
EXTERN_C void CoTaskMemFree(LPVOID pv);

// ---------------------------------------------------------------------------
// Text conversions between wide strings and code pages.
// CP_ACP is Windows-1252 on this platform. Wide characters are UTF-32 code
// points (UTF-16 surrogate pairs are also accepted when converting to UTF-8).
// 1252's five unassigned bytes 0x81, 0x8D, 0x8F, 0x90, 0x9D map to and from
// U+0081, U+008D, U+008F, U+0090, U+009D, so every byte survives a round
// trip. Characters 1252 cannot represent become the default character ('?'
// unless lpDefaultChar names another); there is no "best fit" mapping.
// Malformed UTF-8 and unpaired surrogates become U+FFFD unless the
// *_ERR_INVALID_CHARS flag asks for failure (ERROR_NO_UNICODE_TRANSLATION).
// ---------------------------------------------------------------------------
#ifndef CP_ACP
#define CP_ACP 0
#define CP_OEMCP 1
#define CP_THREAD_ACP 3
#define CP_UTF8 65001
#endif
#ifndef MB_PRECOMPOSED
#define MB_PRECOMPOSED 0x00000001
#define MB_COMPOSITE 0x00000002
#define MB_USEGLYPHCHARS 0x00000004
#define MB_ERR_INVALID_CHARS 0x00000008
#define WC_COMPOSITECHECK 0x00000200
#define WC_DISCARDNS 0x00000010
#define WC_SEPCHARS 0x00000020
#define WC_DEFAULTCHAR 0x00000040
#define WC_ERR_INVALID_CHARS 0x00000080
#define WC_NO_BEST_FIT_CHARS 0x00000400
#endif
typedef const WCHAR* LPCWCH;
typedef const CHAR* LPCCH;

// Converts cchWideChar characters (-1: up to and including the terminating
// zero) into cbMultiByte bytes of lpMultiByteStr. Returns the bytes written, or
// with cbMultiByte == 0 the bytes needed; 0 on failure with SetLastError:
// ERROR_INVALID_PARAMETER (null or overlapping buffers, cchWideChar == 0,
// unknown code page, default-character arguments with CP_UTF8),
// ERROR_INSUFFICIENT_BUFFER, ERROR_NO_UNICODE_TRANSLATION. *lpUsedDefaultChar
// (when given) tells whether a character had no representation.
EXTERN_C int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWCH lpWideCharStr, int cchWideChar,
                                 LPSTR lpMultiByteStr, int cbMultiByte, LPCCH lpDefaultChar,
                                 LPBOOL lpUsedDefaultChar);
// Converts cbMultiByte bytes (-1: up to and including the terminating zero)
// into lpWideCharStr. Returns the characters written, or with cchWideChar == 0
// the characters needed; 0 on failure with SetLastError as above.
EXTERN_C int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCCH lpMultiByteStr, int cbMultiByte,
                                 LPWSTR lpWideCharStr, int cchWideChar);

// ---------------------------------------------------------------------------
// Locale identifiers (only the invariant "C" formatting is implemented; the
// LCID arguments are accepted and ignored).
// ---------------------------------------------------------------------------
#ifndef LOCALE_USER_DEFAULT
#define LOCALE_NEUTRAL 0x0000
#define LOCALE_INVARIANT 0x007F
#define LOCALE_USER_DEFAULT 0x0400
#define LOCALE_SYSTEM_DEFAULT 0x0800
#endif

// ---------------------------------------------------------------------------
// VARIANT.
// ---------------------------------------------------------------------------
struct IDispatch;
struct ITypeInfo;
struct ITypeLib;
struct ITypeComp;
struct IRecordInfo;
struct tagSAFEARRAY;
typedef struct tagSAFEARRAY SAFEARRAY;

enum VARENUM {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R4 = 4,
  VT_R8 = 5,
  VT_CY = 6,
  VT_DATE = 7,
  VT_BSTR = 8,
  VT_DISPATCH = 9,
  VT_ERROR = 10,
  VT_BOOL = 11,
  VT_VARIANT = 12,
  VT_UNKNOWN = 13,
  VT_DECIMAL = 14,
  VT_I1 = 16,
  VT_UI1 = 17,
  VT_UI2 = 18,
  VT_UI4 = 19,
  VT_I8 = 20,
  VT_UI8 = 21,
  VT_INT = 22,
  VT_UINT = 23,
  VT_VOID = 24,
  VT_HRESULT = 25,
  VT_PTR = 26,
  VT_SAFEARRAY = 27,
  VT_CARRAY = 28,
  VT_USERDEFINED = 29,
  VT_LPSTR = 30,
  VT_LPWSTR = 31,
  VT_RECORD = 36,
  VT_INT_PTR = 37,
  VT_UINT_PTR = 38,
  VT_FILETIME = 64,
  VT_BLOB = 65,
  VT_STREAM = 66,
  VT_STORAGE = 67,
  VT_STREAMED_OBJECT = 68,
  VT_STORED_OBJECT = 69,
  VT_BLOB_OBJECT = 70,
  VT_CF = 71,
  VT_CLSID = 72,
  VT_VERSIONED_STREAM = 73,
  VT_BSTR_BLOB = 0x0fff,
  VT_VECTOR = 0x1000,
  VT_ARRAY = 0x2000,
  VT_BYREF = 0x4000,
  VT_RESERVED = 0x8000,
  VT_ILLEGAL = 0xffff,
  VT_ILLEGALMASKED = 0x0fff,
  VT_TYPEMASK = 0x0fff
};

// Layout: the type tag, three reserved words, then the value. The value union
// is anonymous (standard C++) so that v.lVal works as on Windows.
typedef struct tagVARIANT {
  VARTYPE vt;
  WORD wReserved1;
  WORD wReserved2;
  WORD wReserved3;
  union {
    LONGLONG llVal;
    LONG lVal;
    BYTE bVal;
    SHORT iVal;
    FLOAT fltVal;
    DOUBLE dblVal;
    VARIANT_BOOL boolVal;
    SCODE scode;
    DATE date;
    BSTR bstrVal;
    IUnknown* punkVal;
    IDispatch* pdispVal;
    SAFEARRAY* parray;
    BYTE* pbVal;
    SHORT* piVal;
    LONG* plVal;
    LONGLONG* pllVal;
    FLOAT* pfltVal;
    DOUBLE* pdblVal;
    VARIANT_BOOL* pboolVal;
    SCODE* pscode;
    DATE* pdate;
    BSTR* pbstrVal;
    IUnknown** ppunkVal;
    IDispatch** ppdispVal;
    SAFEARRAY** pparray;
    struct tagVARIANT* pvarVal;
    PVOID byref;
    CHAR cVal;
    USHORT uiVal;
    ULONG ulVal;
    ULONGLONG ullVal;
    INT intVal;
    UINT uintVal;
    CHAR* pcVal;
    USHORT* puiVal;
    ULONG* pulVal;
    ULONGLONG* pullVal;
    INT* pintVal;
    UINT* puintVal;
  };
} VARIANT;
typedef VARIANT VARIANTARG;
typedef VARIANT* LPVARIANT;
typedef VARIANT* LPVARIANTARG;

#define V_UNION(X, Y) ((X)->Y)
#define V_VT(X) ((X)->vt)
#define V_ISBYREF(X) (V_VT(X) & VT_BYREF)
#define V_ISARRAY(X) (V_VT(X) & VT_ARRAY)
#define V_ISVECTOR(X) (V_VT(X) & VT_VECTOR)
#define V_NONE(X) V_I2(X)
#define V_UI1(X) V_UNION(X, bVal)
#define V_UI1REF(X) V_UNION(X, pbVal)
#define V_I1(X) V_UNION(X, cVal)
#define V_I1REF(X) V_UNION(X, pcVal)
#define V_I2(X) V_UNION(X, iVal)
#define V_I2REF(X) V_UNION(X, piVal)
#define V_UI2(X) V_UNION(X, uiVal)
#define V_UI2REF(X) V_UNION(X, puiVal)
#define V_I4(X) V_UNION(X, lVal)
#define V_I4REF(X) V_UNION(X, plVal)
#define V_UI4(X) V_UNION(X, ulVal)
#define V_UI4REF(X) V_UNION(X, pulVal)
#define V_I8(X) V_UNION(X, llVal)
#define V_I8REF(X) V_UNION(X, pllVal)
#define V_UI8(X) V_UNION(X, ullVal)
#define V_UI8REF(X) V_UNION(X, pullVal)
#define V_INT(X) V_UNION(X, intVal)
#define V_INTREF(X) V_UNION(X, pintVal)
#define V_UINT(X) V_UNION(X, uintVal)
#define V_UINTREF(X) V_UNION(X, puintVal)
#define V_R4(X) V_UNION(X, fltVal)
#define V_R4REF(X) V_UNION(X, pfltVal)
#define V_R8(X) V_UNION(X, dblVal)
#define V_R8REF(X) V_UNION(X, pdblVal)
#define V_BOOL(X) V_UNION(X, boolVal)
#define V_BOOLREF(X) V_UNION(X, pboolVal)
#define V_ERROR(X) V_UNION(X, scode)
#define V_ERRORREF(X) V_UNION(X, pscode)
#define V_DATE(X) V_UNION(X, date)
#define V_DATEREF(X) V_UNION(X, pdate)
#define V_BSTR(X) V_UNION(X, bstrVal)
#define V_BSTRREF(X) V_UNION(X, pbstrVal)
#define V_UNKNOWN(X) V_UNION(X, punkVal)
#define V_UNKNOWNREF(X) V_UNION(X, ppunkVal)
#define V_DISPATCH(X) V_UNION(X, pdispVal)
#define V_DISPATCHREF(X) V_UNION(X, ppdispVal)
#define V_VARIANTREF(X) V_UNION(X, pvarVal)
#define V_ARRAY(X) V_UNION(X, parray)
#define V_ARRAYREF(X) V_UNION(X, pparray)
#define V_BYREF(X) V_UNION(X, byref)

// VariantChangeType flags.
#define VARIANT_NOVALUEPROP 0x01
#define VARIANT_ALPHABOOL 0x02
#define VARIANT_NOUSEROVERRIDE 0x04
#define VARIANT_CALENDAR_HIJRI 0x08
#define VARIANT_LOCALBOOL 0x10

// Sets vt to VT_EMPTY (the rest is left as it is: nothing is owned yet).
EXTERN_C void VariantInit(VARIANTARG* pvarg);
// Releases what the variant owns (frees a BSTR, releases an interface) and
// sets VT_EMPTY. E_INVALIDARG for null, DISP_E_BADVARTYPE (variant unchanged)
// for a type this platform does not know or cannot release (arrays, records).
EXTERN_C HRESULT VariantClear(VARIANTARG* pvarg);
// Makes *pvargDest an independent copy of *pvargSrc: the destination is
// cleared first, a BSTR is duplicated (length kept), an interface is
// AddRef'ed, a by-reference variant is copied as the reference. On failure
// the destination is VT_EMPTY (E_OUTOFMEMORY) or unchanged (E_INVALIDARG,
// DISP_E_BADVARTYPE). Copying a variant onto itself is S_OK and changes nothing.
EXTERN_C HRESULT VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc);
// As VariantCopy, but a by-reference source is copied as the value it refers
// to. E_INVALIDARG for a null reference or a reference to a by-reference
// variant. Source and destination may be the same variant.
EXTERN_C HRESULT VariantCopyInd(VARIANT* pvarDest, const VARIANTARG* pvargSrc);
// Converts *pvarSrc (dereferenced when by-reference) to type vt and stores the
// result in *pvargDest, which may be the source itself. On failure the
// destination is unchanged and the result is DISP_E_OVERFLOW (value out of
// range), DISP_E_TYPEMISMATCH (not convertible, unparsable text),
// DISP_E_BADVARTYPE (unknown type), E_INVALIDARG or E_OUTOFMEMORY.
// Numbers are converted to text in the invariant style ("1.5", "1E+20",
// "-3"); booleans become "True"/"False" with VARIANT_ALPHABOOL or
// VARIANT_LOCALBOOL and "-1"/"0" otherwise. Reals are rounded to integers half
// to even. Text is parsed with optional blanks and sign, '.' as decimal point,
// an exponent, or &H/&O prefixes (read as unsigned values); "True"/"False"
// (any case) convert to VT_BOOL. An object converts through its value
// property (DISPID_VALUE) unless VARIANT_NOVALUEPROP is given. Currency, date
// and decimal values are only copied, never converted (DISP_E_TYPEMISMATCH);
// arrays are not supported (DISP_E_BADVARTYPE).
EXTERN_C HRESULT VariantChangeType(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, USHORT wFlags,
                                   VARTYPE vt);
// As VariantChangeType; lcid is accepted but formatting is always invariant.
EXTERN_C HRESULT VariantChangeTypeEx(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, LCID lcid,
                                     USHORT wFlags, VARTYPE vt);

// ---------------------------------------------------------------------------
// IDispatch.
// ---------------------------------------------------------------------------
#define DISPID_UNKNOWN (-1)
#define DISPID_VALUE 0
#define DISPID_PROPERTYPUT (-3)
#define DISPID_NEWENUM (-4)
#define DISPID_EVALUATE (-5)
#define DISPID_CONSTRUCTOR (-6)
#define DISPID_DESTRUCTOR (-7)
#define DISPID_COLLECT (-8)
#define MEMBERID_NIL DISPID_UNKNOWN

#define DISPATCH_METHOD 0x1
#define DISPATCH_PROPERTYGET 0x2
#define DISPATCH_PROPERTYPUT 0x4
#define DISPATCH_PROPERTYPUTREF 0x8

typedef struct tagDISPPARAMS {
  VARIANTARG* rgvarg;           // arguments in reverse order
  DISPID* rgdispidNamedArgs;    // identifiers of the named arguments
  UINT cArgs;
  UINT cNamedArgs;
} DISPPARAMS;

typedef struct tagEXCEPINFO {
  WORD wCode;
  WORD wReserved;
  BSTR bstrSource;
  BSTR bstrDescription;
  BSTR bstrHelpFile;
  DWORD dwHelpContext;
  PVOID pvReserved;
  HRESULT(STDAPICALLTYPE* pfnDeferredFillIn)(struct tagEXCEPINFO*);
  SCODE scode;
} EXCEPINFO, *LPEXCEPINFO;

VQ_DECLARE_INTERFACE(IDispatch, IUnknown, "00020400-0000-0000-C000-000000000046");
struct IDispatch : IUnknown {
  STDMETHOD(GetTypeInfoCount)(UINT* pctinfo) = 0;
  STDMETHOD(GetTypeInfo)(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) = 0;
  STDMETHOD(GetIDsOfNames)(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid, DISPID* rgDispId) = 0;
  STDMETHOD(Invoke)(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags, DISPPARAMS* pDispParams,
                    VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) = 0;

 protected:
  ~IDispatch() = default;
};
typedef IDispatch* LPDISPATCH;
inline constexpr IID IID_IDispatch = __uuidof(IDispatch);

// ---------------------------------------------------------------------------
// Type descriptions (ITypeInfo and the structures it hands out).
// ---------------------------------------------------------------------------
typedef DWORD HREFTYPE;

typedef enum tagTYPEKIND {
  TKIND_ENUM = 0,
  TKIND_RECORD,
  TKIND_MODULE,
  TKIND_INTERFACE,
  TKIND_DISPATCH,
  TKIND_COCLASS,
  TKIND_ALIAS,
  TKIND_UNION,
  TKIND_MAX
} TYPEKIND;

typedef enum tagINVOKEKIND {
  INVOKE_FUNC = 1,
  INVOKE_PROPERTYGET = 2,
  INVOKE_PROPERTYPUT = 4,
  INVOKE_PROPERTYPUTREF = 8
} INVOKEKIND;

typedef enum tagFUNCKIND {
  FUNC_VIRTUAL = 0,
  FUNC_PUREVIRTUAL,
  FUNC_NONVIRTUAL,
  FUNC_STATIC,
  FUNC_DISPATCH
} FUNCKIND;

typedef enum tagCALLCONV {
  CC_FASTCALL = 0,
  CC_CDECL = 1,
  CC_MSCPASCAL,
  CC_PASCAL = CC_MSCPASCAL,
  CC_MACPASCAL,
  CC_STDCALL,
  CC_FPFASTCALL,
  CC_SYSCALL,
  CC_MPWCDECL,
  CC_MPWPASCAL,
  CC_MAX
} CALLCONV;

typedef enum tagVARKIND { VAR_PERINSTANCE = 0, VAR_STATIC, VAR_CONST, VAR_DISPATCH } VARKIND;

#define TYPEFLAG_FAPPOBJECT 0x1
#define TYPEFLAG_FCANCREATE 0x2
#define TYPEFLAG_FLICENSED 0x4
#define TYPEFLAG_FPREDECLID 0x8
#define TYPEFLAG_FHIDDEN 0x10
#define TYPEFLAG_FCONTROL 0x20
#define TYPEFLAG_FDUAL 0x40
#define TYPEFLAG_FNONEXTENSIBLE 0x80
#define TYPEFLAG_FOLEAUTOMATION 0x100
#define TYPEFLAG_FRESTRICTED 0x200
#define TYPEFLAG_FAGGREGATABLE 0x400
#define TYPEFLAG_FREPLACEABLE 0x800
#define TYPEFLAG_FDISPATCHABLE 0x1000
#define TYPEFLAG_FREVERSEBIND 0x2000
#define TYPEFLAG_FPROXY 0x4000

#define FUNCFLAG_FRESTRICTED 0x1
#define FUNCFLAG_FSOURCE 0x2
#define FUNCFLAG_FBINDABLE 0x4
#define FUNCFLAG_FREQUESTEDIT 0x8
#define FUNCFLAG_FDISPLAYBIND 0x10
#define FUNCFLAG_FDEFAULTBIND 0x20
#define FUNCFLAG_FHIDDEN 0x40
#define FUNCFLAG_FUSESGETLASTERROR 0x80
#define FUNCFLAG_FDEFAULTCOLLELEM 0x100
#define FUNCFLAG_FUIDEFAULT 0x200
#define FUNCFLAG_FNONBROWSABLE 0x400
#define FUNCFLAG_FREPLACEABLE 0x800
#define FUNCFLAG_FIMMEDIATEBIND 0x1000

#define IMPLTYPEFLAG_FDEFAULT 0x1
#define IMPLTYPEFLAG_FSOURCE 0x2
#define IMPLTYPEFLAG_FRESTRICTED 0x4
#define IMPLTYPEFLAG_FDEFAULTVTABLE 0x8

#define PARAMFLAG_NONE 0x00
#define PARAMFLAG_FIN 0x01
#define PARAMFLAG_FOUT 0x02
#define PARAMFLAG_FLCID 0x04
#define PARAMFLAG_FRETVAL 0x08
#define PARAMFLAG_FOPT 0x10
#define PARAMFLAG_FHASDEFAULT 0x20
#define PARAMFLAG_FHASCUSTDATA 0x40

#define IDLFLAG_NONE PARAMFLAG_NONE
#define IDLFLAG_FIN PARAMFLAG_FIN
#define IDLFLAG_FOUT PARAMFLAG_FOUT
#define IDLFLAG_FLCID PARAMFLAG_FLCID
#define IDLFLAG_FRETVAL PARAMFLAG_FRETVAL

typedef struct tagSAFEARRAYBOUND {
  ULONG cElements;
  LONG lLbound;
} SAFEARRAYBOUND;

struct tagARRAYDESC;
typedef struct tagTYPEDESC {
  union {
    struct tagTYPEDESC* lptdesc;   // VT_PTR, VT_SAFEARRAY
    struct tagARRAYDESC* lpadesc;  // VT_CARRAY
    HREFTYPE hreftype;             // VT_USERDEFINED
  };
  VARTYPE vt;
} TYPEDESC;

typedef struct tagARRAYDESC {
  TYPEDESC tdescElem;
  USHORT cDims;
  SAFEARRAYBOUND rgbounds[1];
} ARRAYDESC;

typedef struct tagPARAMDESCEX {
  ULONG cBytes;
  VARIANTARG varDefaultValue;
} PARAMDESCEX, *LPPARAMDESCEX;

typedef struct tagPARAMDESC {
  LPPARAMDESCEX pparamdescex;  // valid when PARAMFLAG_FHASDEFAULT is set
  USHORT wParamFlags;
} PARAMDESC;

typedef struct tagIDLDESC {
  ULONG_PTR dwReserved;
  USHORT wIDLFlags;
} IDLDESC;

typedef struct tagELEMDESC {
  TYPEDESC tdesc;
  union {
    IDLDESC idldesc;
    PARAMDESC paramdesc;
  };
} ELEMDESC;

typedef struct tagTYPEATTR {
  GUID guid;
  LCID lcid;
  DWORD dwReserved;
  MEMBERID memidConstructor;
  MEMBERID memidDestructor;
  LPOLESTR lpstrSchema;
  ULONG cbSizeInstance;
  TYPEKIND typekind;
  WORD cFuncs;
  WORD cVars;
  WORD cImplTypes;
  WORD cbSizeVft;
  WORD cbAlignment;
  WORD wTypeFlags;
  WORD wMajorVerNum;
  WORD wMinorVerNum;
  TYPEDESC tdescAlias;
  IDLDESC idldescType;
} TYPEATTR, *LPTYPEATTR;

typedef struct tagFUNCDESC {
  MEMBERID memid;
  SCODE* lprgscode;
  ELEMDESC* lprgelemdescParam;
  FUNCKIND funckind;
  INVOKEKIND invkind;
  CALLCONV callconv;
  SHORT cParams;
  SHORT cParamsOpt;
  SHORT oVft;
  SHORT cScodes;
  ELEMDESC elemdescFunc;
  WORD wFuncFlags;
} FUNCDESC, *LPFUNCDESC;

typedef struct tagVARDESC {
  MEMBERID memid;
  LPOLESTR lpstrSchema;
  union {
    ULONG oInst;            // VAR_PERINSTANCE
    VARIANT* lpvarValue;    // VAR_CONST
  };
  ELEMDESC elemdescVar;
  WORD wVarFlags;
  VARKIND varkind;
} VARDESC, *LPVARDESC;

VQ_DECLARE_INTERFACE(ITypeLib, IUnknown, "00020402-0000-0000-C000-000000000046");
VQ_DECLARE_INTERFACE(ITypeComp, IUnknown, "00020403-0000-0000-C000-000000000046");
inline constexpr IID IID_ITypeLib = __uuidof(ITypeLib);
inline constexpr IID IID_ITypeComp = __uuidof(ITypeComp);

VQ_DECLARE_INTERFACE(ITypeInfo, IUnknown, "00020401-0000-0000-C000-000000000046");
struct ITypeInfo : IUnknown {
  STDMETHOD(GetTypeAttr)(TYPEATTR** ppTypeAttr) = 0;
  STDMETHOD(GetTypeComp)(ITypeComp** ppTComp) = 0;
  STDMETHOD(GetFuncDesc)(UINT index, FUNCDESC** ppFuncDesc) = 0;
  STDMETHOD(GetVarDesc)(UINT index, VARDESC** ppVarDesc) = 0;
  STDMETHOD(GetNames)(MEMBERID memid, BSTR* rgBstrNames, UINT cMaxNames, UINT* pcNames) = 0;
  STDMETHOD(GetRefTypeOfImplType)(UINT index, HREFTYPE* pRefType) = 0;
  STDMETHOD(GetImplTypeFlags)(UINT index, INT* pImplTypeFlags) = 0;
  STDMETHOD(GetIDsOfNames)(LPOLESTR* rgszNames, UINT cNames, MEMBERID* pMemId) = 0;
  STDMETHOD(Invoke)(PVOID pvInstance, MEMBERID memid, WORD wFlags, DISPPARAMS* pDispParams,
                    VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) = 0;
  STDMETHOD(GetDocumentation)(MEMBERID memid, BSTR* pBstrName, BSTR* pBstrDocString, DWORD* pdwHelpContext,
                              BSTR* pBstrHelpFile) = 0;
  STDMETHOD(GetDllEntry)(MEMBERID memid, INVOKEKIND invKind, BSTR* pBstrDllName, BSTR* pBstrName,
                         WORD* pwOrdinal) = 0;
  STDMETHOD(GetRefTypeInfo)(HREFTYPE hRefType, ITypeInfo** ppTInfo) = 0;
  STDMETHOD(AddressOfMember)(MEMBERID memid, INVOKEKIND invKind, PVOID* ppv) = 0;
  STDMETHOD(CreateInstance)(IUnknown* pUnkOuter, REFIID riid, PVOID* ppvObj) = 0;
  STDMETHOD(GetMops)(MEMBERID memid, BSTR* pBstrMops) = 0;
  STDMETHOD(GetContainingTypeLib)(ITypeLib** ppTLib, UINT* pIndex) = 0;
  STDMETHOD_(void, ReleaseTypeAttr)(TYPEATTR* pTypeAttr) = 0;
  STDMETHOD_(void, ReleaseFuncDesc)(FUNCDESC* pFuncDesc) = 0;
  STDMETHOD_(void, ReleaseVarDesc)(VARDESC* pVarDesc) = 0;

 protected:
  ~ITypeInfo() = default;
};
typedef ITypeInfo* LPTYPEINFO;
inline constexpr IID IID_ITypeInfo = __uuidof(ITypeInfo);
