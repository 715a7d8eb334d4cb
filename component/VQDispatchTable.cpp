// VQDispatchTable.cpp - the type description of IVQDataMatrix: one row per
// vtable operation, in vtable order, each with the invoker that makes the
// typed call.
//
// The rows are what a type library would hold for the interface; the
// invokers are the only place where a VARIANT slot meets a vtable parameter,
// so a change of the interface header shows up here as a compile error.
#include <iterator>

#include "component/VQDispatch.h"

namespace vq {
namespace {

constexpr MatrixParam In(const OLECHAR* name, VARTYPE vt) { return {name, vt, PARAMFLAG_FIN, nullptr, nullptr}; }
constexpr MatrixParam InEnum(const OLECHAR* name, const OLECHAR* enumName) {
  return {name, VT_I4, PARAMFLAG_FIN, enumName, nullptr};
}
constexpr MatrixParam InStream(const OLECHAR* name) {
  return {name, VT_UNKNOWN, PARAMFLAG_FIN, L"IStream", &IID_IStream};
}
constexpr MatrixParam Out(const OLECHAR* name, VARTYPE vt) {
  return {name, static_cast<VARTYPE>(VT_BYREF | vt), PARAMFLAG_FOUT, nullptr, nullptr};
}
constexpr MatrixParam Ret(const OLECHAR* name, VARTYPE vt) {
  return {name, static_cast<VARTYPE>(VT_BYREF | vt), PARAMFLAG_FOUT | PARAMFLAG_FRETVAL, nullptr, nullptr};
}

constexpr MatrixParam kD1 = In(L"d1", VT_I4), kD2 = In(L"d2", VT_I4), kD3 = In(L"d3", VT_I4), kD4 = In(L"d4", VT_I4);
constexpr MatrixParam kXmin = In(L"Xmin", VT_R8), kXmax = In(L"Xmax", VT_R8), kZ = In(L"Z", VT_I4);
constexpr MatrixParam kDir = InEnum(L"dir", L"matrixDirectionType");

// The interface's enumerations arrive as their 32-bit values.
constexpr matrixDirectionType Dir(const VARIANT& v) { return static_cast<matrixDirectionType>(v.lVal); }

// clang-format off
constexpr MatrixMember kMembers[] = {
    {L"Initialize", 1, INVOKE_FUNC, L"method Initialize",
     {In(L"bDoCreateInstances", VT_I4), kD1, kD2, kD3, kD4},
     [](IVQDataMatrix* m, VARIANT* a) { return m->Initialize(a[0].lVal, a[1].lVal, a[2].lVal, a[3].lVal, a[4].lVal); }},
    {L"ReleaseAllVQData", 2, INVOKE_FUNC, L"method ReleaseAllVQData", {},
     [](IVQDataMatrix* m, VARIANT*) { return m->ReleaseAllVQData(); }},
    {L"DataPtr", 3, INVOKE_PROPERTYGET, L"property DataPtr", {kD1, kD2, kD3, kD4, Ret(L"pVal", VT_UNKNOWN)},
     [](IVQDataMatrix* m, VARIANT* a) {
       return m->get_DataPtr(a[0].lVal, a[1].lVal, a[2].lVal, a[3].lVal, &a[4].punkVal);
     }},
    {L"DataPtr", 3, INVOKE_PROPERTYPUT, L"property DataPtr", {kD1, kD2, kD3, kD4, In(L"newVal", VT_UNKNOWN)},
     [](IVQDataMatrix* m, VARIANT* a) {
       return m->put_DataPtr(a[0].lVal, a[1].lVal, a[2].lVal, a[3].lVal, a[4].punkVal);
     }},
    {L"Dimensions", 4, INVOKE_PROPERTYGET, L"property Dimensions", {Ret(L"pVal", VT_I4)},
     [](IVQDataMatrix* m, VARIANT* a) { return m->get_Dimensions(&a[0].lVal); }},
    {L"Size", 5, INVOKE_PROPERTYGET, L"property Size", {In(L"Dimension", VT_I4), Ret(L"pVal", VT_I4)},
     [](IVQDataMatrix* m, VARIANT* a) { return m->get_Size(a[0].lVal, &a[1].lVal); }},
    {L"InitializeAxis", 6, INVOKE_FUNC, L"method InitializeAxis",
     {In(L"Dimension", VT_I4), In(L"FirstValue", VT_R8), In(L"Step", VT_R8), In(L"Unit", VT_BSTR)},
     [](IVQDataMatrix* m, VARIANT* a) { return m->InitializeAxis(a[0].lVal, a[1].dblVal, a[2].dblVal, a[3].bstrVal); }},
    {L"GetAxis", 7, INVOKE_FUNC, L"method GetAxis",
     {In(L"Dimension", VT_I4), Out(L"FirstValue", VT_R8), Out(L"Step", VT_R8), Out(L"Unit", VT_BSTR)},
     [](IVQDataMatrix* m, VARIANT* a) { return m->GetAxis(a[0].lVal, &a[1].dblVal, &a[2].dblVal, &a[3].bstrVal); }},
    {L"AllAllocate", 8, INVOKE_FUNC, L"method AllAllocate",
     {In(L"nXSize", VT_I4), In(L"nZSize", VT_I4), In(L"Format", VT_I4)},
     [](IVQDataMatrix* m, VARIANT* a) { return m->AllAllocate(a[0].lVal, a[1].lVal, a[2].lVal); }},
    {L"AllInitializeAsLinear", 9, INVOKE_FUNC, L"method AllInitializeAsLinear",
     {In(L"Size", VT_I4), In(L"FirstValue", VT_R8), In(L"Delta", VT_R8), In(L"Unit", VT_BSTR)},
     [](IVQDataMatrix* m, VARIANT* a) {
       return m->AllInitializeAsLinear(a[0].lVal, a[1].dblVal, a[2].dblVal, a[3].bstrVal);
     }},
    {L"GetD1D2Slice", 10, INVOKE_FUNC, L"method GetD1D2Slice",
     {kXmin, kXmax, kZ, kD3, kD4, kDir, In(L"pData", VT_UNKNOWN)},
     [](IVQDataMatrix* m, VARIANT* a) {
       return m->GetD1D2Slice(a[0].dblVal, a[1].dblVal, a[2].lVal, a[3].lVal, a[4].lVal, Dir(a[5]), a[6].punkVal);
     }},
    {L"GetD1D3Slice", 11, INVOKE_FUNC, L"method GetD1D3Slice",
     {kXmin, kXmax, kZ, kD2, kD4, kDir, In(L"pData", VT_UNKNOWN)},
     [](IVQDataMatrix* m, VARIANT* a) {
       return m->GetD1D3Slice(a[0].dblVal, a[1].dblVal, a[2].lVal, a[3].lVal, a[4].lVal, Dir(a[5]), a[6].punkVal);
     }},
    {L"GetD2D3Slice", 12, INVOKE_FUNC, L"method GetD2D3Slice",
     {kXmin, kXmax, kZ, kD1, kD4, kDir, In(L"pData", VT_UNKNOWN)},
     [](IVQDataMatrix* m, VARIANT* a) {
       return m->GetD2D3Slice(a[0].dblVal, a[1].dblVal, a[2].lVal, a[3].lVal, a[4].lVal, Dir(a[5]), a[6].punkVal);
     }},
    {L"GetD1D2SliceSpectrum", 13, INVOKE_FUNC, L"method GetD1D2SliceSpectrum",
     {kZ, kD3, kD4, kDir, In(L"Data", VT_UNKNOWN)},
     [](IVQDataMatrix* m, VARIANT* a) {
       return m->GetD1D2SliceSpectrum(a[0].lVal, a[1].lVal, a[2].lVal, Dir(a[3]), a[4].punkVal);
     }},
    {L"GetD1D3SliceSpectrum", 14, INVOKE_FUNC, L"method GetD1D3SliceSpectrum",
     {kZ, kD2, kD4, kDir, In(L"Data", VT_UNKNOWN)},
     [](IVQDataMatrix* m, VARIANT* a) {
       return m->GetD1D3SliceSpectrum(a[0].lVal, a[1].lVal, a[2].lVal, Dir(a[3]), a[4].punkVal);
     }},
    {L"GetD2D3SliceSpectrum", 15, INVOKE_FUNC, L"method GetD2D3SliceSpectrum",
     {kZ, kD1, kD4, kDir, In(L"Data", VT_UNKNOWN)},
     [](IVQDataMatrix* m, VARIANT* a) {
       return m->GetD2D3SliceSpectrum(a[0].lVal, a[1].lVal, a[2].lVal, Dir(a[3]), a[4].punkVal);
     }},
    // The dispatcher stores the stream's own IStream pointer in the slot.
    {L"Write", 16, INVOKE_FUNC, L"method Write", {InStream(L"IStream")},
     [](IVQDataMatrix* m, VARIANT* a) { return m->Write(static_cast<IStream*>(a[0].punkVal)); }},
    {L"Read", 17, INVOKE_FUNC, L"method Read", {InStream(L"IStream")},
     [](IVQDataMatrix* m, VARIANT* a) { return m->Read(static_cast<IStream*>(a[0].punkVal)); }},
    {L"ID", 18, INVOKE_PROPERTYGET, L"property ID", {kD1, kD2, kD3, kD4, Ret(L"pVal", VT_I4)},
     [](IVQDataMatrix* m, VARIANT* a) { return m->get_ID(a[0].lVal, a[1].lVal, a[2].lVal, a[3].lVal, &a[4].lVal); }},
    {L"ID", 18, INVOKE_PROPERTYPUT, L"property ID", {kD1, kD2, kD3, kD4, In(L"newVal", VT_I4)},
     [](IVQDataMatrix* m, VARIANT* a) { return m->put_ID(a[0].lVal, a[1].lVal, a[2].lVal, a[3].lVal, a[4].lVal); }},
    {L"Label", 19, INVOKE_PROPERTYGET, L"property Label", {kD1, kD2, kD3, kD4, Ret(L"pVal", VT_BSTR)},
     [](IVQDataMatrix* m, VARIANT* a) {
       return m->get_Label(a[0].lVal, a[1].lVal, a[2].lVal, a[3].lVal, &a[4].bstrVal);
     }},
    {L"Label", 19, INVOKE_PROPERTYPUT, L"property Label", {kD1, kD2, kD3, kD4, In(L"newVal", VT_BSTR)},
     [](IVQDataMatrix* m, VARIANT* a) {
       return m->put_Label(a[0].lVal, a[1].lVal, a[2].lVal, a[3].lVal, a[4].bstrVal);
     }},
    {L"DataPtrID", 20, INVOKE_PROPERTYGET, L"property DataPtrID", {In(L"ID", VT_I4), Ret(L"pVal", VT_UNKNOWN)},
     [](IVQDataMatrix* m, VARIANT* a) { return m->get_DataPtrID(a[0].lVal, &a[1].punkVal); }},
    {L"DataPtrID", 20, INVOKE_PROPERTYPUT, L"property DataPtrID", {In(L"ID", VT_I4), In(L"newVal", VT_UNKNOWN)},
     [](IVQDataMatrix* m, VARIANT* a) { return m->put_DataPtrID(a[0].lVal, a[1].punkVal); }},
    {L"GetPositionFromID", 21, INVOKE_FUNC, L"method GetPositionFromID",
     {In(L"ID", VT_I4), Out(L"d1", VT_I4), Out(L"d2", VT_I4), Out(L"d3", VT_I4), Out(L"d4", VT_I4)},
     [](IVQDataMatrix* m, VARIANT* a) {
       return m->GetPositionFromID(a[0].lVal, &a[1].lVal, &a[2].lVal, &a[3].lVal, &a[4].lVal);
     }},
    {L"MatrixLabel", 22, INVOKE_PROPERTYGET, L"property MatrixLabel", {Ret(L"pVal", VT_BSTR)},
     [](IVQDataMatrix* m, VARIANT* a) { return m->get_MatrixLabel(&a[0].bstrVal); }},
    {L"MatrixLabel", 22, INVOKE_PROPERTYPUT, L"property MatrixLabel", {In(L"newVal", VT_BSTR)},
     [](IVQDataMatrix* m, VARIANT* a) { return m->put_MatrixLabel(a[0].bstrVal); }},
    {L"FirstValidDataPtr", 23, INVOKE_PROPERTYGET, L"property FirstValidDataPtr",
     {Out(L"d1", VT_I4), Out(L"d2", VT_I4), Out(L"d3", VT_I4), Out(L"d4", VT_I4), Ret(L"pVal", VT_UNKNOWN)},
     [](IVQDataMatrix* m, VARIANT* a) {
       return m->get_FirstValidDataPtr(&a[0].lVal, &a[1].lVal, &a[2].lVal, &a[3].lVal, &a[4].punkVal);
     }},
    {L"IsAllDataValid", 24, INVOKE_PROPERTYGET, L"property IsAllDataValid", {Ret(L"pVal", VT_I4)},
     [](IVQDataMatrix* m, VARIANT* a) { return m->get_IsAllDataValid(&a[0].lVal); }},
    {L"SetElementPriority", 25, INVOKE_FUNC, L"method SetElementPriority",
     {InEnum(L"priority", L"elementPriorityType")},
     [](IVQDataMatrix* m, VARIANT* a) {
       return m->SetElementPriority(static_cast<elementPriorityType>(a[0].lVal));
     }},
    {L"ConstDataPtr", 26, INVOKE_PROPERTYGET, L"property ConstDataPtr",
     {kD1, kD2, kD3, kD4, In(L"WithAttributes", VT_I4), Ret(L"pVal", VT_UNKNOWN)},
     [](IVQDataMatrix* m, VARIANT* a) {
       return m->get_ConstDataPtr(a[0].lVal, a[1].lVal, a[2].lVal, a[3].lVal, a[4].lVal, &a[5].punkVal);
     }},
    {L"AllSaveToDisk", 27, INVOKE_FUNC, L"method AllSaveToDisk", {},
     [](IVQDataMatrix* m, VARIANT*) { return m->AllSaveToDisk(); }},
    {L"ConstDataSubsetPtr", 28, INVOKE_PROPERTYGET, L"property ConstDataSubsetPtr",
     {kD1, kD2, kD3, kD4, In(L"firstIndex", VT_I4), In(L"lastIndex", VT_I4), In(L"WithAttributes", VT_I4),
      Ret(L"pVal", VT_UNKNOWN)},
     [](IVQDataMatrix* m, VARIANT* a) {
       return m->get_ConstDataSubsetPtr(a[0].lVal, a[1].lVal, a[2].lVal, a[3].lVal, a[4].lVal, a[5].lVal, a[6].lVal,
                                        &a[7].punkVal);
     }},
    {L"AttributesDataPtr", 29, INVOKE_PROPERTYPUT, L"property AttributesDataPtr",
     {kD4, In(L"newVal", VT_UNKNOWN)},
     [](IVQDataMatrix* m, VARIANT* a) { return m->put_AttributesDataPtr(a[0].lVal, a[1].punkVal); }},
    {L"Initialize2", 30, INVOKE_FUNC, L"method Initialize2",
     {kD1, kD2, kD3, kD4, In(L"nXSize", VT_I4), In(L"nZSize", VT_I4), In(L"Format", VT_I4),
      InEnum(L"matrixType", L"matrixType")},
     [](IVQDataMatrix* m, VARIANT* a) {
       return m->Initialize2(a[0].lVal, a[1].lVal, a[2].lVal, a[3].lVal, a[4].lVal, a[5].lVal, a[6].lVal,
                             static_cast<matrixType>(a[7].lVal));
     }},
    {L"CopyContentsToSingleVqData", 31, INVOKE_FUNC, L"method CopyContentsToSingleVqData",
     {In(L"Data", VT_UNKNOWN)},
     [](IVQDataMatrix* m, VARIANT* a) { return m->CopyContentsToSingleVqData(a[0].punkVal); }},
    {L"GetTagVectorsData", 32, INVOKE_FUNC, L"method GetTagVectorsData", {In(L"pVal", VT_UNKNOWN)},
     [](IVQDataMatrix* m, VARIANT* a) { return m->GetTagVectorsData(a[0].punkVal); }},
    {L"PutTagVectorsData", 33, INVOKE_FUNC, L"method PutTagVectorsData", {In(L"pVal", VT_UNKNOWN)},
     [](IVQDataMatrix* m, VARIANT* a) { return m->PutTagVectorsData(a[0].punkVal); }},
    {L"HasData", 34, INVOKE_FUNC, L"method HasData", {In(L"ID", VT_I4), Ret(L"HasData", VT_I4)},
     [](IVQDataMatrix* m, VARIANT* a) { return m->HasData(a[0].lVal, &a[1].lVal); }},
};
// clang-format on
static_assert(std::size(kMembers) == 39, "IVQDataMatrix has 39 operations after IDispatch");

}  // namespace

std::span<const MatrixMember> MatrixMembers() noexcept { return kMembers; }

constinit const MatrixTypeLibraryInfo kMatrixTypeLibrary = {
    .interfaceName = L"IVQDataMatrix",
    .interfaceHelpString = L"IVQDataMatrix Interface",
    .libraryName = L"VQDATAMATRIXLIBLib",
    .libraryHelpString = L"VQDataMatrixLib 1.0 Type Library",
    .libid = &LIBID_VQDATAMATRIXLIBLib,
    .majorVersion = 1,
    .minorVersion = 0,
};

}  // namespace vq
