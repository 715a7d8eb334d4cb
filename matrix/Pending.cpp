// Operations whose implementation lands with later work; until then they
// answer E_NOTIMPL so that a client can tell them apart from failures.
#include "matrix/VQDataMatrix.h"
#include "storage/MultiData.h"

STDMETHODIMP CVQDataMatrix::GetTypeInfoCount(UINT*) { return E_NOTIMPL; }
STDMETHODIMP CVQDataMatrix::GetTypeInfo(UINT, LCID, ITypeInfo**) { return E_NOTIMPL; }
STDMETHODIMP CVQDataMatrix::GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) { return E_NOTIMPL; }
STDMETHODIMP CVQDataMatrix::Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) {
  return E_NOTIMPL;
}

