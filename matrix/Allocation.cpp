// Allocation of all elements, their common x-axis, and the axes of the
// matrix's own dimensions.
#include "core/VQErrorReporting.h"
#include "matrix/VQDataMatrix.h"
#include "storage/DataBase.h"
#include "storage/MultiData.h"
#include "storage/SingleData.h"
#include "trace/VQTrace.h"

namespace {

// True when the storage object holds values, also when a client gave the
// item it got from get_DataPtr a shape before the object could record one.
// Caller holds m_DataLock.
bool HasShape(CDataBase* storage) { return storage->HoldsValues() || storage->IsOnDisk(); }

}  // namespace

bool CVQDataMatrix::ComputeMultiLayout(uint32_t b, uint32_t perD4, MultiLayout* layout) {
  if (b == 0 || perD4 == 0) return false;
  if (b < kMaxBytesPerData) {
    const uint64_t k = static_cast<uint64_t>(kMaxBytesPerData / b) * b;  // whole elements per object
    const uint64_t s = static_cast<uint64_t>(perD4) * b;                 // bytes of one d4 index
    uint64_t l = 0, f = 0;
    if (s <= k) {
      layout->dataCols = 1;
      l = f = s;
    } else {
      layout->dataCols = static_cast<uint32_t>((s - 1) / k + 1);
      l = (s - 1) % k + 1;
      f = k;
    }
    layout->elementsPerData = static_cast<uint32_t>(f / b);
    layout->elementsInLast = static_cast<uint32_t>(l / b);
    layout->fullBytes = static_cast<uint32_t>(k);
    layout->lastBytes = static_cast<uint32_t>(l);
  } else {
    layout->dataCols = perD4;
    layout->elementsPerData = 1;
    layout->elementsInLast = 1;
    layout->fullBytes = 0;
    layout->lastBytes = 0;
  }
  return true;
}

STDMETHODIMP CVQDataMatrix::AllAllocate(LONG nXSize, LONG nZSize, LONG Format) {
  return AllocateElements(nXSize, nZSize, Format, false, ElementTables::Full);
}

HRESULT CVQDataMatrix::AllocateElements(LONG nXSize, LONG nZSize, LONG Format, bool keepShaped,
                                        ElementTables tables) {
  if (!IsInitialized()) return NotInitialised();
  uint32_t elementBytes = 0;
  const bool fits = CDataBase::ElementBytes(Format, nXSize, nZSize, &elementBytes);
  VQ_TRACE("CVQDataMatrix::AllAllocate", "DataMatrix", 2, "AllAllocate(%u elements). x: %d, z: %d datasize: %u bytes",
           m_SizeAll, nXSize, nZSize, static_cast<uint32_t>(static_cast<uint64_t>(m_SizeAll) * elementBytes));
  // Negative sizes, an element beyond 32 bits, or (packed storage) elements
  // without bytes cannot be laid out.
  if (!fits) {
    return vq::ReportFailuref(E_INVALIDARG,
                              "Elements of %d x %d values of format %d cannot be allocated: a size is negative, the "
                              "format unknown, or an element larger than 4 GiB",
                              nXSize, nZSize, Format);
  }
  if (m_MatrixType == matrixMultipleObjects && elementBytes == 0) {
    return vq::ReportFailuref(E_INVALIDARG,
                              "Elements of %d x %d values of format %d hold no values, which packed storage "
                              "(matrixMultipleObjects) cannot lay out",
                              nXSize, nZSize, Format);
  }

  return vq::MethodGuard("CVQDataMatrix::AllAllocate", [&]() -> HRESULT {
    const bool full = tables == ElementTables::Full;
    const uint32_t perD4 = m_Sizes[0] * m_Sizes[1] * m_Sizes[2];
    uint32_t inLast = 1;
    if (m_MatrixType == matrixMultipleObjects) {
      MultiLayout layout{};
      ComputeMultiLayout(elementBytes, perD4, &layout);
      const uint64_t count = static_cast<uint64_t>(m_Sizes[3]) * layout.dataCols;
      {
        // The memory watcher must not walk the table while it is rebuilt.
        vq::CritSecLock memory(m_MemoryLock);
        vq::CritSecLock lock(m_DataLock);
        m_XSize = nXSize;
        m_ZSize = nZSize;
        m_Format = Format;
        m_DataRows = m_Sizes[3];
        m_DataCols = layout.dataCols;
        m_ElementsPerData = layout.elementsPerData;
        m_DataCount = static_cast<uint32_t>(count);
        m_LargestObjectBytes = static_cast<uint64_t>(layout.elementsPerData) * elementBytes;
        // Earlier storage objects (a second AllAllocate) go with their items.
        m_Priority.Clear();
        m_Data.clear();
        if (!full) {
          // Read creates each storage object when its first element arrives.
          if (!m_Priority.Initialize(0, &m_SwapTable)) {
            return vq::ErrorReturn(E_OUTOFMEMORY, "AllAllocate: Failed to initialize priority list");
          }
          m_Allocated = true;
          return S_OK;
        }
        try {
          m_Data.resize(m_DataCount);
        } catch (...) {
        }
        if (m_Data.size() != m_DataCount) {
          m_Data.clear();
          m_DataCount = 0;
          return vq::ErrorReturn(E_OUTOFMEMORY, "AllAllocate: Failed to allocate data matrix");
        }
        for (uint32_t r = 0; r < m_DataRows; ++r) {
          for (uint32_t c = 0; c < m_DataCols; ++c) {
            m_Data[m_DataCols * r + c] =
                CreateMultiData(m_FileCache.get(), m_AxisManager.get(), m_AttributeManager.get());
            if (!m_Data[m_DataCols * r + c]) {
              return vq::ErrorReturn(E_OUTOFMEMORY, "AllAllocate: Failed to allocate data");
            }
          }
          VQ_TRACE("CVQDataMatrix::AllAllocate", "DataMatrix", 2, "AllAllocate(%u data elements of %u/%u bytes)",
                   m_DataCount, layout.fullBytes, layout.lastBytes);
        }
        if (!m_Priority.Initialize(m_DataCount, &m_SwapTable)) {
          return vq::ErrorReturn(E_OUTOFMEMORY, "AllAllocate: Failed to initialize priority list");
        }
      }
      inLast = layout.elementsInLast;
    } else {
      m_XSize = nXSize;
      m_ZSize = nZSize;
      m_Format = Format;
      m_LargestObjectBytes = elementBytes;
      if (!full) {
        // Read stores each element's item as it arrives.
        m_Allocated = true;
        return S_OK;
      }
    }

    for (uint32_t r = 0; r < m_DataRows; ++r) {
      for (uint32_t c = 0; c < m_DataCols; ++c) {
        CheckMemoryNow();
        const uint32_t dataIdx = m_DataCols * r + c;
        vq::CritSecLock lock(m_DataLock);
        CDataBase* storage = Storage(dataIdx);
        const uint32_t count = c == m_DataCols - 1 ? inLast : m_ElementsPerData;
        // Packed storage objects were all made just now: only single-object
        // ones can hold what a client stored.
        if (keepShaped && m_MatrixType == matrixSingleObject && storage != nullptr && HasShape(storage)) {
          continue;  // keeps its item and values
        }
        if (storage == nullptr || !storage->Initialize(count, nXSize, nZSize, Format)) {
          vq::ReportFailuref(E_FAIL, "Storage object %u could not be given elements of %d x %d values of format %d",
                             dataIdx, nXSize, nZSize, Format);
          return vq::ErrorReturn(E_FAIL, "AllAllocate: Initialize failed");
        }
        m_Priority.PushUntouched(dataIdx);
      }
    }
    m_Allocated = true;
    return S_OK;
  });
}

uint32_t CVQDataMatrix::ElementsInData(uint32_t dataIndex) const {
  const uint32_t perD4 = m_Sizes[0] * m_Sizes[1] * m_Sizes[2];
  // The last column of a d4 index takes what the full ones leave.
  return dataIndex % m_DataCols == m_DataCols - 1 ? perD4 - (m_DataCols - 1) * m_ElementsPerData : m_ElementsPerData;
}

HRESULT CVQDataMatrix::GrowElementTables(uint32_t idx) {
  if (!m_PointInfo || idx >= m_SizeAll || m_DataCount == 0) return E_UNEXPECTED;
  try {
    if (m_PointInfo->size() <= idx) m_PointInfo->resize(static_cast<size_t>(idx) + 1);
    const uint32_t dataIdx = DataIndex(idx);
    while (StorageObjectCount() <= dataIdx) {
      const uint32_t next = static_cast<uint32_t>(StorageObjectCount());
      std::unique_ptr<CDataBase> object;
      if (m_MatrixType == matrixMultipleObjects) {
        object = CreateMultiData(m_FileCache.get(), m_AxisManager.get(), m_AttributeManager.get());
        if (!object || !object->Initialize(ElementsInData(next), m_XSize, m_ZSize, m_Format)) {
          return vq::ErrorReturn(E_OUTOFMEMORY, "GrowElementTables: Failed to allocate data", next);
        }
      } else {
        object = std::make_unique<CSingleData>(m_FileCache.get(), m_AxisManager.get(), m_AttributeManager.get());
      }
      // The memory watcher walks the table under m_MemoryLock.
      vq::CritSecLock memory(m_MemoryLock);
      vq::CritSecLock lock(m_DataLock);
      m_Data.push_back(std::move(object));
      if (!m_Priority.Grow(static_cast<uint32_t>(m_Data.size()))) {
        m_Data.pop_back();
        return vq::ErrorReturn(E_OUTOFMEMORY, "GrowElementTables: Failed to grow priority list", next);
      }
    }
  } catch (const std::bad_alloc&) {
    return vq::ErrorReturn(E_OUTOFMEMORY, "GrowElementTables: Out of memory", idx);
  }
  return S_OK;
}

STDMETHODIMP CVQDataMatrix::AllInitializeAsLinear(LONG Size, DOUBLE FirstValue, DOUBLE Delta, BSTR Unit) {
  VQ_TRACE("CVQDataMatrix::AllInitializeAsLinear", "DataMatrix", 2,
           "AllInitializeAsLinear Size: %d, FirstValue: %g, Delta: %g, Unit: %ls", Size, FirstValue, Delta,
           Unit != nullptr ? Unit : L"");
  if (!IsInitialized()) return NotInitialised();  // no axis manager to register the axis with
  return vq::MethodGuard("CVQDataMatrix::AllInitializeAsLinear", [&]() -> HRESULT {
    const wchar_t* unit = Unit != nullptr ? Unit : L"";
    for (uint32_t i = 0; i < m_DataCount; ++i) {
      vq::CritSecLock lock(m_DataLock);
      CDataBase* storage = Storage(i);
      if (storage == nullptr) break;  // released: nothing left to give an axis
      vq::ThrowIfFailed(storage->InitializeAsLinear(Size, FirstValue, Delta, unit));
    }
    return S_OK;
  });
}

STDMETHODIMP CVQDataMatrix::InitializeAxis(LONG Dimension, DOUBLE FirstValue, DOUBLE Step, BSTR Unit) {
  return SetAxis(Dimension, FirstValue, Step, Unit);
}

HRESULT CVQDataMatrix::SetAxis(LONG Dimension, DOUBLE FirstValue, DOUBLE Step, BSTR Unit) {
  if (static_cast<uint32_t>(Dimension) >= m_Dimensions) return NoSuchDimension(Dimension);
  try {
    AxisInfo& axis = m_Axes[Dimension];
    axis.Unit.assign(Unit != nullptr ? Unit : L"", SysStringLen(Unit));
    axis.FirstValue = FirstValue;
    axis.Step = Step;
  } catch (...) {
    return vq::ReportFailure(E_OUTOFMEMORY, "The axis's unit could not be kept: out of memory");
  }
  return S_OK;
}

STDMETHODIMP CVQDataMatrix::GetAxis(LONG Dimension, DOUBLE* FirstValue, DOUBLE* Step, BSTR* Unit) {
  if (static_cast<uint32_t>(Dimension) >= m_Dimensions) return NoSuchDimension(Dimension);
  if (FirstValue == nullptr) return MissingArgument("FirstValue");
  if (Step == nullptr) return MissingArgument("Step");
  if (Unit == nullptr) return MissingArgument("Unit");
  const AxisInfo& axis = m_Axes[Dimension];
  BSTR unit = SysAllocStringLen(axis.Unit.data(), static_cast<UINT>(axis.Unit.size()));
  if (unit == nullptr) return vq::ReportFailure(E_OUTOFMEMORY, "The axis's unit could not be copied: out of memory");
  *FirstValue = axis.FirstValue;
  *Step = axis.Step;
  *Unit = unit;
  return S_OK;
}
