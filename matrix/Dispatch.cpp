// The automation side of the matrix: IDispatch served from the built-in
// type description of IVQDataMatrix.
#include "component/VQDispatch.h"
#include "matrix/VQDataMatrix.h"

STDMETHODIMP CVQDataMatrix::GetTypeInfoCount(UINT* pctinfo) { return vq::MatrixDispatch::GetTypeInfoCount(pctinfo); }

STDMETHODIMP CVQDataMatrix::GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) {
  return vq::MatrixDispatch::GetTypeInfo(iTInfo, lcid, ppTInfo);
}

STDMETHODIMP CVQDataMatrix::GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                                          DISPID* rgDispId) {
  return vq::MatrixDispatch::GetIDsOfNames(riid, rgszNames, cNames, lcid, rgDispId);
}

STDMETHODIMP CVQDataMatrix::Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags, DISPPARAMS* pDispParams,
                                   VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) {
  return vq::MatrixDispatch::Invoke(this, dispIdMember, riid, lcid, wFlags, pDispParams, pVarResult, pExcepInfo,
                                    puArgErr);
}
