// Operations whose implementation lands with later work; until then they
// answer E_NOTIMPL so that a client can tell them apart from failures.
#include "matrix/VQDataMatrix.h"
#include "storage/MultiData.h"

STDMETHODIMP CVQDataMatrix::GetD1D2Slice(DOUBLE, DOUBLE, LONG, LONG, LONG, matrixDirectionType, IUnknown*) {
  return E_NOTIMPL;
}
STDMETHODIMP CVQDataMatrix::GetD1D3Slice(DOUBLE, DOUBLE, LONG, LONG, LONG, matrixDirectionType, IUnknown*) {
  return E_NOTIMPL;
}
STDMETHODIMP CVQDataMatrix::GetD2D3Slice(DOUBLE, DOUBLE, LONG, LONG, LONG, matrixDirectionType, IUnknown*) {
  return E_NOTIMPL;
}
STDMETHODIMP CVQDataMatrix::GetD1D2SliceSpectrum(LONG, LONG, LONG, matrixDirectionType, IUnknown*) { return E_NOTIMPL; }
STDMETHODIMP CVQDataMatrix::GetD1D3SliceSpectrum(LONG, LONG, LONG, matrixDirectionType, IUnknown*) { return E_NOTIMPL; }
STDMETHODIMP CVQDataMatrix::GetD2D3SliceSpectrum(LONG, LONG, LONG, matrixDirectionType, IUnknown*) { return E_NOTIMPL; }
STDMETHODIMP CVQDataMatrix::Write(IStream*) { return E_NOTIMPL; }
STDMETHODIMP CVQDataMatrix::Read(IStream*) { return E_NOTIMPL; }
STDMETHODIMP CVQDataMatrix::CopyContentsToSingleVqData(IUnknown*) { return E_NOTIMPL; }
STDMETHODIMP CVQDataMatrix::GetTypeInfoCount(UINT*) { return E_NOTIMPL; }
STDMETHODIMP CVQDataMatrix::GetTypeInfo(UINT, LCID, ITypeInfo**) { return E_NOTIMPL; }
STDMETHODIMP CVQDataMatrix::GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) { return E_NOTIMPL; }
STDMETHODIMP CVQDataMatrix::Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) {
  return E_NOTIMPL;
}

std::unique_ptr<CDataBase> CreateMultiData(CFileCache*, CAxisManager*, CAttributeManager*) { return nullptr; }
