// CopyContentsToSingleVqData: the whole matrix packed into one data item,
// element after element in element-index order, each element's records in
// their own order, one block copy per element.
#include <cstring>

#include "core/VQErrorReporting.h"
#include "matrix/VQDataMatrix.h"
#include "storage/AttributeManager.h"
#include "storage/AxisManager.h"
#include "storage/DataBase.h"
#include "trace/VQTrace.h"

namespace {

constexpr const char* kOrigin = "CVQDataMatrix::CopyContentsToSingleVqData";

// The value pointer of a descriptor for the formats that can be copied as
// raw memory (1, 2, 5, 6); null for every other format.
void* CopyableValues(const VQDataBuffer& buffer) {
  switch (buffer.Format) {
    case dataFormatFloat64:
      return buffer.pDouble;
    case dataFormatComplex128:
      return buffer.pComplexDouble;
    case dataFormatFloat32:
      return buffer.pFloat;
    case dataFormatComplex64:
      return buffer.pComplexFloat;
    default:
      return nullptr;
  }
}

bool Copyable(LONG format) {
  return format == dataFormatFloat64 || format == dataFormatComplex128 || format == dataFormatFloat32 ||
         format == dataFormatComplex64;
}

}  // namespace

STDMETHODIMP CVQDataMatrix::CopyContentsToSingleVqData(IUnknown* Data) {
  VQ_TRACE(kOrigin, "DataMatrix", 2, "Entering CopyContentsToSingleVqData");
  if (Data == nullptr) return MissingArgument("Data");
  return vq::MethodGuard(kOrigin, [&]() -> HRESULT {
    vq::ComPtr<IVQData> target;
    HRESULT hr = Data->QueryInterface(IID_IVQData, target.put_void());
    if (FAILED(hr) && hr != E_NOINTERFACE) vq::ThrowIfFailed(hr, Data, IID_IUnknown);
    if (!target) return vq::ReportFailure(E_POINTER, "The argument Data is not a data item (it has no IVQData)");

    // The target holds nXSize x nZSize values per element in the matrix's
    // format; a matrix that does not fit one item's 32-bit sizes is refused
    // before anything is allocated.
    const uint64_t records = static_cast<uint64_t>(m_ZSize < 0 ? 0 : m_ZSize) * m_SizeAll;
    if (!IsInitialized()) return NotInitialised();
    if (m_XSize < 0 || m_ZSize < 0 || records > static_cast<uint64_t>(INT32_MAX)) {
      VQ_TRACE(kOrigin, "Assert", 1, "The matrix does not fit one data item");
      return vq::ReportFailuref(E_INVALIDARG, "The matrix's %llu records do not fit one data item (at most %d)",
                                static_cast<unsigned long long>(records), INT32_MAX);
    }
    vq::ThrowIfFailed(target->Allocate(m_XSize, static_cast<LONG>(records), m_Format), target.get(), IID_IVQData);
    VQDataBuffer out{};
    vq::ThrowIfFailed(target->GetDataBuffer(&out), target.get(), IID_IVQData);
    const uint64_t bytesPerValue = CDataBase::BytesPerValue(m_Format);
    const uint64_t elementValues = static_cast<uint64_t>(m_XSize) * static_cast<uint64_t>(m_ZSize);
    uint8_t* destination = static_cast<uint8_t*>(CopyableValues(out));

    uint64_t written = 0;  // values
    for (uint32_t idx = 0; idx < m_SizeAll; ++idx) {
      LONG d1, d2, d3, d4;
      PositionOf(idx, &d1, &d2, &d3, &d4);
      vq::ComPtr<IUnknown> unknown;
      vq::ThrowIfFailed(GetElement(d1, d2, d3, d4, false, false, unknown.put()));
      vq::ComPtr<IVQData> element;
      if (unknown) {
        hr = unknown->QueryInterface(IID_IVQData, element.put_void());
        if (FAILED(hr) && hr != E_NOINTERFACE) vq::ThrowIfFailed(hr, unknown.get(), IID_IUnknown);
      }
      if (!element) {
        return vq::ReportFailuref(E_POINTER, "Element (%d, %d, %d, %d) has no data item", d1, d2, d3, d4);
      }
      VQDataBuffer in{};
      vq::ThrowIfFailed(element->GetDataBuffer(&in), element.get(), IID_IVQData);
      if (!Copyable(in.Format)) {
        VQ_TRACE(kOrigin, "DataMatrix", 1, "Invalid data format");
        return vq::ReportFailuref(E_FAIL, "Element (%d, %d, %d, %d) holds values of format %d, which cannot be copied",
                                  d1, d2, d3, d4, in.Format);
      }
      // An element reshaped or replaced since the allocation would not fit
      // its place in the target.
      const void* source = CopyableValues(in);
      if (in.Format != m_Format || in.XSize != m_XSize || in.ZSize != m_ZSize ||
          out.Format != m_Format || destination == nullptr ||
          (written + elementValues) * bytesPerValue >
              static_cast<uint64_t>(out.XSize) * static_cast<uint64_t>(out.ZSize) * bytesPerValue ||
          (elementValues != 0 && source == nullptr)) {
        VQ_TRACE(kOrigin, "DataMatrix", 1, "Element %u does not match the allocation", idx);
        if (in.Format == m_Format && in.XSize == m_XSize && in.ZSize == m_ZSize) {
          return vq::ReportFailure(E_FAIL, "The target item no longer holds room for the matrix's values");
        }
        return vq::ReportFailuref(E_FAIL,
                                  "Element (%d, %d, %d, %d) is %d x %d of format %d, not the allocation's %d x %d of "
                                  "format %d",
                                  d1, d2, d3, d4, in.XSize, in.ZSize, in.Format, m_XSize, m_ZSize, m_Format);
      }
      const size_t bytes = static_cast<size_t>(elementValues * bytesPerValue);
      if (bytes != 0) std::memcpy(destination + written * bytesPerValue, source, bytes);
      written += elementValues;
    }

    {
      // The memory watcher enters the attribute manager under m_DataLock.
      vq::CritSecLock lock(m_DataLock);
      vq::ThrowIfFailed(m_AttributeManager->GetLastAttributes(target.get()));
    }
    vq::ComPtr<IVQAxis> axis;
    vq::ThrowIfFailed(target->GetAxis(axis.put()), target.get(), IID_IVQData);
    vq::ThrowIfFailed(m_AxisManager->GetLastAxis(axis.get()));
    VQ_TRACE(kOrigin, "DataMatrix", 2, "Leaving CopyContentsToSingleVqData");
    return S_OK;
  });
}
