// The matrix's tag vectors: one data item carries them for the whole matrix
// and they are copied into items that leave the matrix at position 0.
#include "core/VQErrorReporting.h"
#include "matrix/VQDataMatrix.h"
#include "storage/DataBase.h"
#include "trace/VQTrace.h"

namespace {

// Tag vector i of an item when it exists and holds values, else null.
template <class Item>
vq::ComPtr<IVQTagVector> NonEmptyVector(Item* item, LONG i) {
  vq::ComPtr<IVQTagVector> vector;
  HRESULT hr = item->GetTagVector(i, vector.put());
  vq::ThrowIfFailed(hr, item, __uuidof(Item));
  LONG count = 0;
  if (vector) vq::ThrowIfFailed(vector->GetCount(&count), vector.get(), IID_IVQTagVector);
  return count > 0 ? vector : nullptr;
}

}  // namespace

STDMETHODIMP CVQDataMatrix::GetTagVectorsData(IUnknown* pVal) {
  VQ_TRACE("CVQDataMatrix::GetTagVectorsData", "DataMatrix", 2, "Entering GetTagVectorsData");
  return vq::MethodGuard("CVQDataMatrix::GetTagVectorsData", [&] { return CopyTagVectorsTo(pVal); });
}

HRESULT CVQDataMatrix::CopyTagVectorsTo(IUnknown* pVal) {
  if (!m_TagVectorData) return S_OK;
  if (pVal == nullptr) {
    VQ_TRACE("CVQDataMatrix::GetTagVectorsData", "Datamatrix", 1, "Pointer is NULL");
    return MissingArgument("pVal");
  }
  if (vq::IsSameObject(pVal, m_TagVectorData.get())) return S_OK;
  vq::ComPtr<IVQDataTagVectors> target;
  if (FAILED(pVal->QueryInterface(IID_IVQDataTagVectors, target.put_void())) || !target) {
    VQ_TRACE("CVQDataMatrix::GetTagVectorsData", "Datamatrix", 1, "Invalid pointer type");
    return vq::ReportFailure(E_INVALIDARG, "The argument pVal has no tag vectors (no IVQDataTagVectors)");
  }
  for (LONG i = 0; i < 4; ++i) {
    vq::ComPtr<IVQTagVector> source = NonEmptyVector(m_TagVectorData.get(), i);
    if (!source) continue;
    vq::ComPtr<IVQTagVector> destination;
    vq::ThrowIfFailed(target->GetTagVector(i, destination.put()), target.get(), IID_IVQDataTagVectors);
    vq::ThrowIfFailed(source->CopyTo(destination.get()), source.get(), IID_IVQTagVector);
  }
  return S_OK;
}

STDMETHODIMP CVQDataMatrix::PutTagVectorsData(IUnknown* pVal) {
  VQ_TRACE("CVQDataMatrix::PutTagVectorsData", "DataMatrix", 2, "Entering PutTagVectorsData");
  return vq::MethodGuard("CVQDataMatrix::PutTagVectorsData", [&] { return SetTagVectorCarrier(pVal); });
}

HRESULT CVQDataMatrix::SetTagVectorCarrier(IUnknown* pVal) {
  if (pVal == nullptr) {
    VQ_TRACE("CVQDataMatrix::PutTagVectorsData", "DataMatrix", 2, "Clearing tag vectors");
    m_TagVectorData = nullptr;
    return S_OK;
  }
  vq::ComPtr<IVQDataTagVectors> source;
  if (FAILED(pVal->QueryInterface(IID_IVQDataTagVectors, source.put_void())) || !source) {
    VQ_TRACE("CVQDataMatrix::PutTagVectorsData", "Assert", 1, "Invalid argument type");
    return vq::ReportFailure(E_INVALIDARG, "The argument pVal has no tag vectors (no IVQDataTagVectors)");
  }
  for (LONG i = 0; i < 4; ++i) {
    if (NonEmptyVector(source.get(), i)) {
      VQ_TRACE("CVQDataMatrix::PutTagVectorsData", "DataMatrix", 2, "Update tag vectors");
      vq::ComPtr<IVQData> carrier;
      pVal->QueryInterface(IID_IVQData, carrier.put_void());
      m_TagVectorData = carrier;
      return S_OK;
    }
  }
  VQ_TRACE("CVQDataMatrix::PutTagVectorsData", "DataMatrix", 2, "No tag vectors in input dataset");
  m_TagVectorData = nullptr;
  return S_OK;
}

HRESULT CVQDataMatrix::PutTagVectorsCopy(IUnknown* source) {
  vq::ComPtr<IVQDataTagVectors> from;
  if (source == nullptr || FAILED(source->QueryInterface(IID_IVQDataTagVectors, from.put_void())) || !from) {
    return SetTagVectorCarrier(source);  // its refusals and its clearing
  }
  // The carrier is an item of its own: element 0's item stays the
  // element's, held by nobody, so that it can be swapped out and replaced
  // like any other. Only the tag vectors are copied.
  vq::ComPtr<IVQData> carrier;
  for (LONG i = 0; i < 4; ++i) {
    vq::ComPtr<IVQTagVector> vector = NonEmptyVector(from.get(), i);
    if (!vector) continue;
    if (!carrier) vq::ThrowIfFailed(CDataBase::CreateItem(&carrier));
    vq::ComPtr<IVQTagVector> destination;
    vq::ThrowIfFailed(carrier->GetTagVector(i, destination.put()), carrier.get(), IID_IVQData);
    vq::ThrowIfFailed(vector->CopyTo(destination.get()), vector.get(), IID_IVQTagVector);
  }
  // Without any, the carrier is cleared, as PutTagVectorsData does.
  return SetTagVectorCarrier(carrier ? static_cast<IUnknown*>(carrier.get()) : source);
}
