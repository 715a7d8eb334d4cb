// Reading and writing single elements.
#include "core/VQErrorReporting.h"
#include "matrix/VQDataMatrix.h"
#include "storage/DataBase.h"
#include "trace/VQTrace.h"

HRESULT CVQDataMatrix::GetElement(LONG d1, LONG d2, LONG d3, LONG d4, bool forWriting, bool withAttributes,
                                  IUnknown** out) {
  uint32_t idx = 0, dataIdx = 0, subIdx = 0;
  *out = nullptr;
  if (!ElementIndex(d1, d2, d3, d4, &idx)) return OutsideMatrix(d1, d2, d3, d4);
  try {
    IUnknown* item = nullptr;
    bool reloads = false;
    {
      vq::CritSecLock lock(m_DataLock);
      CDataBase* storage = nullptr;
      if (m_DataCount != 0) {
        StorageSlot(idx, &dataIdx, &subIdx);
        storage = Storage(dataIdx);
      }
      if (storage == nullptr) {
        NotAllocated(d1, d2, d3, d4);
        return vq::ErrorReturn(E_FAIL, "CVQDataMatrix::GetElement: Matrix has not been Allocated", idx);
      }
      // Reading values back allocates: that access takes a fresh reading.
      reloads = !storage->IsInMemory();
      HRESULT hr = storage->GetAllData(subIdx, withAttributes, forWriting, &item);
      if (hr != S_OK) {
        if (FAILED(hr)) ElementFailure(hr, "read", d1, d2, d3, d4);
        return vq::ErrorReturn(hr, "CVQDataMatrix::GetElement: GetData failed", idx);
      }
      if (item != nullptr) {
        if (idx == 0 && (m_TagVectorData || m_Element0ShowsTags) && !vq::IsSameObject(item, m_TagVectorData.get())) {
          // Element 0 shows exactly the matrix's tag vectors: a vector
          // the carrier has emptied must not travel on in a stream.
          vq::ComPtr<IVQData> data;
          if (SUCCEEDED(item->QueryInterface(IID_IVQData, data.put_void())) && data) data->ClearTagVectors();
          m_Element0ShowsTags = false;
          if (m_TagVectorData) {
            VQ_TRACE("CVQDataMatrix::GetElement", "DataMatrix", 3, "Calling GetTagVectorsData");
            hr = CopyTagVectorsTo(item);
            if (hr != S_OK) {
              if (FAILED(hr)) ElementFailure(hr, "given the matrix's tag vectors", d1, d2, d3, d4);
              return vq::ErrorReturn(hr, "CVQDataMatrix::GetElement: GetTagVectorsData failed", 0);
            }
            m_Element0ShowsTags = true;
          }
        }
        item->AddRef();  // the caller's reference
        m_Priority.Touch(dataIdx, m_DataLock);
      }
    }
    *out = item;
    if (reloads) {
      CheckMemoryNow();
    } else {
      CheckMemoryOnAccess();
    }
    return S_OK;
  } catch (const _com_error& e) {
    // The position goes to the trace here, where it is known; the calling
    // method's guard returns the error.
    VQ_TRACE("CVQDataMatrix::GetElement", "Assert", 3, "d1=%d, d2=%d, d3=%d, d4=%d, idx=%d, dataIdx=%d, subIdx=%d",
             d1, d2, d3, d4, static_cast<int>(idx), static_cast<int>(dataIdx), static_cast<int>(subIdx));
    VQ_TRACE("CVQDataMatrix::GetElement", "Assert", 3, "m_SizeAll=%d, m_DataCount=%d", static_cast<int>(m_SizeAll),
             static_cast<int>(m_DataCount));
    VQ_TRACE("CVQDataMatrix::GetElement", "Assert", 1, "COM Error, %s", vq::ComErrorText(e));
    throw;
  }
}

HRESULT CVQDataMatrix::AllAllocateFromData(IUnknown* item) {
  vq::ComPtr<IVQData> data;
  vq::ThrowIfFailed(item->QueryInterface(IID_IVQData, data.put_void()), item, IID_IUnknown);
  VQDataBuffer buffer{};
  vq::ThrowIfFailed(data->GetDataBuffer(&buffer), data.get(), IID_IVQData);
  return AllocateElements(buffer.XSize, buffer.ZSize, buffer.Format, true);
}

HRESULT CVQDataMatrix::PutElement(LONG d1, LONG d2, LONG d3, LONG d4, IUnknown* item) {
  uint32_t idx = 0;
  if (!ElementIndex(d1, d2, d3, d4, &idx)) return OutsideMatrix(d1, d2, d3, d4);
  // The first item stored gives its shape to every element that has none
  // (the storage objects of a single-object matrix exist from Initialize on;
  // clients may already have shaped and filled items they got from them).
  if (m_DataCount == 0 || !m_Allocated) {
    HRESULT hr = AllAllocateFromData(item);
    if (hr != S_OK) return vq::ErrorReturn(hr, "CVQDataMatrix::PutElement: AllAllocate failed", idx);
  }
  const uint32_t dataIdx = DataIndex(idx);
  const uint32_t subIdx = SubIndex(idx);
  {
    vq::CritSecLock lock(m_DataLock);
    CDataBase* storage = Storage(dataIdx);
    if (storage == nullptr) {
      NotAllocated(d1, d2, d3, d4);
      return vq::ErrorReturn(E_FAIL, "CVQDataMatrix::GetElement: Matrix has not been Allocated", idx);
    }
    if (m_LastPutObject != dataIdx) {
      // The puts move on: what the client let go of in the object before is
      // stored now, at the cost every put pays for the one before it.
      if (CDataBase* previous = Storage(m_LastPutObject)) previous->StoreReleasedItems();
      m_LastPutObject = dataIdx;
    }
    HRESULT hr = storage->ReplaceData(subIdx, item);
    if (hr != S_OK) {
      if (FAILED(hr)) ElementFailure(hr, "stored", d1, d2, d3, d4);
      return vq::ErrorReturn(hr, "CVQDataMatrix::PutElement: ReplaceData failed", idx);
    }
    m_Priority.Touch(dataIdx, m_DataLock);
  }
  VQ_TRACE("CVQDataMatrix::PutElement", "DataMatrix", 3, "PutElement( %d, %d, %d, %d ). %u elements in queue", d1,
           d2, d3, d4, m_Priority.Length());
  CheckMemoryNow();
  return S_OK;
}

STDMETHODIMP CVQDataMatrix::get_DataPtr(LONG d1, LONG d2, LONG d3, LONG d4, IUnknown** pVal) {
  if (!IsInitialized()) return NotInitialised();
  if (pVal == nullptr) return MissingArgument("pVal");
  // GetElement refuses a position outside the matrix (E_INVALIDARG).
  return vq::MethodGuard(
      "CVQDataMatrix::get_DataPtr", [&] { return GetElement(d1, d2, d3, d4, true, true, pVal); },
      [&](const char* message) {
        VQ_TRACE("CVQDataMatrix::get_DataPtr", "Assert", 1, "get_DataPtr(%d,%d,%d,%d): COM Error, %s", d1, d2, d3,
                 d4, message);
      },
      [&] {
        VQ_TRACE("CVQDataMatrix::get_DataPtr", "Assert", 1, "get_DataPtr(%d,%d,%d,%d): Unhandled exception", d1,
                 d2, d3, d4);
      });
}

STDMETHODIMP CVQDataMatrix::get_ConstDataPtr(LONG d1, LONG d2, LONG d3, LONG d4, LONG WithAttributes,
                                             IUnknown** pVal) {
  if (!IsInitialized()) return NotInitialised();
  if (pVal == nullptr) return MissingArgument("pVal");
  // GetElement refuses a position outside the matrix (E_INVALIDARG).
  return vq::MethodGuard(
      "CVQDataMatrix::get_ConstDataPtr", [&] { return GetElement(d1, d2, d3, d4, false, WithAttributes != 0, pVal); },
      [&](const char* message) {
        VQ_TRACE("CVQDataMatrix::get_ConstDataPtr", "Assert", 1, "get_ConstDataPtr(%d,%d,%d,%d): COM Error, %s", d1,
                 d2, d3, d4, message);
      },
      [&] { VQ_TRACE("CVQDataMatrix::get_ConstDataPtr", "Assert", 1, "get_ConstDataPtr: Unhandled exception"); });
}

STDMETHODIMP CVQDataMatrix::put_DataPtr(LONG d1, LONG d2, LONG d3, LONG d4, IUnknown* newVal) {
  if (!IsInitialized()) return NotInitialised();
  uint32_t idx = 0;
  if (!ElementIndex(d1, d2, d3, d4, &idx)) return OutsideMatrix(d1, d2, d3, d4);
  // A null item would leave the element without values while reporting
  // success.
  if (newVal == nullptr) return MissingArgument("newVal");
  return vq::MethodGuard(
      "CVQDataMatrix::put_DataPtr", [&] { return PutElement(d1, d2, d3, d4, newVal); },
      [&](const char* message) {
        VQ_TRACE("CVQDataMatrix::put_DataPtr", "Assert", 1, "put_DataPtr(%d,%d,%d,%d): COM Error, %s", d1, d2, d3,
                 d4, message);
      },
      [&] { VQ_TRACE("CVQDataMatrix::put_DataPtr", "Assert", 1, "put_DataPtr: Unhandled exception"); });
}

STDMETHODIMP CVQDataMatrix::get_ConstDataSubsetPtr(LONG d1, LONG d2, LONG d3, LONG d4, LONG firstIndex,
                                                   LONG lastIndex, LONG WithAttributes, IUnknown** pVal) {
  if (!IsInitialized()) return NotInitialised();
  uint32_t idx = 0;
  if (!ElementIndex(d1, d2, d3, d4, &idx)) return OutsideMatrix(d1, d2, d3, d4);
  if (pVal == nullptr) return MissingArgument("pVal", E_INVALIDARG);
  *pVal = nullptr;
  return vq::MethodGuard(
      "CVQDataMatrix::get_ConstDataSubsetPtr",
      [&]() -> HRESULT {
        uint32_t dataIdx = 0;
        HRESULT hr = S_OK;
        {
          vq::CritSecLock lock(m_DataLock);
          CDataBase* storage = nullptr;
          if (m_DataCount != 0) {
            dataIdx = DataIndex(idx);
            storage = Storage(dataIdx);
          }
          if (storage == nullptr) {
            NotAllocated(d1, d2, d3, d4);
            return vq::ErrorReturn(E_FAIL, "CVQDataMatrix::GetElement: Matrix has not been Allocated", idx);
          }
          IUnknown* item = nullptr;
          hr = storage->GetDataSubset(SubIndex(idx), WithAttributes != 0, static_cast<uint32_t>(firstIndex),
                                      static_cast<uint32_t>(lastIndex), &item);
          if (FAILED(hr)) {
            if (lastIndex < firstIndex) {
              vq::ReportFailuref(E_FAIL, "The value range is reversed: from %d down to %d", firstIndex, lastIndex);
            } else {
              const _com_error error(hr);
              vq::ReportFailuref(E_FAIL, "Values %d to %d of element (%d, %d, %d, %d) could not be read: %s (0x%08X)",
                                 firstIndex, lastIndex, d1, d2, d3, d4, vq::ComErrorText(error),
                                 static_cast<unsigned>(hr));
            }
            return vq::ErrorReturn(E_FAIL, "CVQDataMatrix::get_ConstDataSubsetPtr: GetDataSubset failed", idx);
          }
          if (item != nullptr) item->AddRef();
          *pVal = item;
          m_Priority.Touch(dataIdx, m_DataLock);
        }
        CheckMemoryNow();
        return hr;
      },
      [&](const char* message) {
        VQ_TRACE("CVQDataMatrix::get_ConstDataSubsetPtr", "Assert", 1,
                 "get_ConstDataSubsetPtr(%d,%d,%d,%d, %d-%d): COM Error, %s", d1, d2, d3, d4, firstIndex, lastIndex,
                 message);
      },
      [&] {
        VQ_TRACE("CVQDataMatrix::get_ConstDataSubsetPtr", "Assert", 1,
                 "get_ConstDataSubsetPtr(%d,%d,%d,%d, %d-%d): Unhandled exception", d1, d2, d3, d4, firstIndex,
                 lastIndex);
      });
}

bool CVQDataMatrix::HasStorage(uint32_t idx) {
  if (m_DataCount == 0) return false;
  vq::CritSecLock lock(m_DataLock);
  return Storage(DataIndex(idx)) != nullptr;
}

STDMETHODIMP CVQDataMatrix::get_FirstValidDataPtr(LONG* d1, LONG* d2, LONG* d3, LONG* d4, IUnknown** pVal) {
  if (pVal == nullptr) return MissingArgument("pVal");
  if (!IsInitialized()) return NotInitialised();
  return vq::MethodGuard("CVQDataMatrix::get_FirstValidDataPtr", [&]() -> HRESULT {
    for (uint32_t idx = 0; idx < m_SizeAll; ++idx) {
      LONG p1, p2, p3, p4;
      PositionOf(idx, &p1, &p2, &p3, &p4);
      if (!HasStorage(idx)) continue;
      IUnknown* item = nullptr;
      HRESULT hr = E_FAIL;
      try {
        hr = GetElement(p1, p2, p3, p4, true, true, &item);
      } catch (const _com_error&) {
        continue;  // traced by GetElement; the search goes on
      } catch (...) {
        VQ_TRACE("CVQDataMatrix::GetElement", "Assert", 1, "Unhandled exception");
        continue;
      }
      if (hr == S_OK && item != nullptr) {
        if (d1 != nullptr) *d1 = p1;
        if (d2 != nullptr) *d2 = p2;
        if (d3 != nullptr) *d3 = p3;
        if (d4 != nullptr) *d4 = p4;
        *pVal = item;
        return S_OK;
      }
    }
    return vq::ReportFailure(E_FAIL, "No element of the matrix holds a data item that could be read");
  });
}

STDMETHODIMP CVQDataMatrix::get_IsAllDataValid(LONG* pVal) {
  if (pVal == nullptr) return MissingArgument("pVal");
  if (!IsInitialized()) return NotInitialised();  // no elements whose data could be judged
  vq::CritSecLock lock(m_DataLock);
  LONG valid = 1;
  if (m_DataCount != 0) {
    for (uint32_t i = 0; i < m_DataCount; ++i) {
      CDataBase* storage = Storage(i);
      if (storage == nullptr || !storage->HoldsValues()) {
        valid = 0;
        break;
      }
    }
  }
  *pVal = valid;
  return S_OK;
}

STDMETHODIMP CVQDataMatrix::ReleaseAllVQData() {
  return vq::MethodGuard("CVQDataMatrix::ReleaseAllVQData", [&]() -> HRESULT {
    ReleaseElements();
    return S_OK;
  });
}

void CVQDataMatrix::ReleaseElements() noexcept {
  // The memory watcher walks the table under m_MemoryLock: it must not see
  // objects being destroyed.
  vq::CritSecLock memory(m_MemoryLock);
  ElementTable doomed;
  {
    vq::CritSecLock lock(m_DataLock);
    doomed.swap(m_Data);
    m_Priority.Clear();
    m_PointInfo.reset();
  }
  doomed.clear();  // each storage object releases its data items
}
