// Identifiers and labels of elements, the matrix label, and the attribute
// set of a whole d4 index.
#include "core/VQErrorReporting.h"
#include "matrix/VQDataMatrix.h"
#include "storage/AttributeManager.h"
#include "storage/DataBase.h"
#include "trace/VQTrace.h"

const CVQDataMatrix::PointInfo& CVQDataMatrix::PointAt(uint32_t idx) const {
  static const PointInfo fresh{};
  return idx < m_PointInfo->size() ? (*m_PointInfo)[idx] : fresh;
}

CVQDataMatrix::PointInfo& CVQDataMatrix::PointForWriting(uint32_t idx) {
  if (idx >= m_PointInfo->size()) m_PointInfo->resize(static_cast<size_t>(idx) + 1);
  return (*m_PointInfo)[idx];
}

HRESULT CVQDataMatrix::PointIndex(LONG d1, LONG d2, LONG d3, LONG d4, bool noOut, uint32_t* idx) const {
  if (!ElementIndex(d1, d2, d3, d4, idx)) return OutsideMatrix(d1, d2, d3, d4);
  if (noOut) return MissingArgument("pVal");
  if (!m_PointInfo) {
    return vq::ReportFailure(E_FAIL, "The identifiers and labels were released by ReleaseAllVQData");
  }
  return S_OK;
}

STDMETHODIMP CVQDataMatrix::get_ID(LONG d1, LONG d2, LONG d3, LONG d4, LONG* pVal) {
  uint32_t idx = 0;
  if (HRESULT hr = PointIndex(d1, d2, d3, d4, pVal == nullptr, &idx); hr != S_OK) return hr;
  *pVal = PointAt(idx).ID;
  return S_OK;
}

STDMETHODIMP CVQDataMatrix::put_ID(LONG d1, LONG d2, LONG d3, LONG d4, LONG newVal) {
  uint32_t idx = 0;
  if (HRESULT hr = PointIndex(d1, d2, d3, d4, false, &idx); hr != S_OK) return hr;
  return vq::MethodGuard("CVQDataMatrix::put_ID", [&]() -> HRESULT {
    PointForWriting(idx).ID = newVal;
    return S_OK;
  });
}

STDMETHODIMP CVQDataMatrix::get_Label(LONG d1, LONG d2, LONG d3, LONG d4, BSTR* pVal) {
  uint32_t idx = 0;
  if (HRESULT hr = PointIndex(d1, d2, d3, d4, pVal == nullptr, &idx); hr != S_OK) return hr;
  const std::wstring& label = PointAt(idx).Label;
  BSTR copy = SysAllocStringLen(label.data(), static_cast<UINT>(label.size()));
  if (copy == nullptr) return vq::ReportFailure(E_OUTOFMEMORY, "The label could not be copied: out of memory");
  *pVal = copy;
  return S_OK;
}

STDMETHODIMP CVQDataMatrix::put_Label(LONG d1, LONG d2, LONG d3, LONG d4, BSTR newVal) {
  uint32_t idx = 0;
  if (HRESULT hr = PointIndex(d1, d2, d3, d4, false, &idx); hr != S_OK) return hr;
  return vq::MethodGuard("CVQDataMatrix::put_Label", [&]() -> HRESULT {
    PointForWriting(idx).Label.assign(newVal != nullptr ? newVal : L"", SysStringLen(newVal));
    return S_OK;
  });
}

STDMETHODIMP CVQDataMatrix::GetPositionFromID(LONG ID, LONG* d1, LONG* d2, LONG* d3, LONG* d4) {
  if (d1 == nullptr || d2 == nullptr || d3 == nullptr || d4 == nullptr) {
    return MissingArgument(d1 == nullptr ? "d1" : d2 == nullptr ? "d2" : d3 == nullptr ? "d3" : "d4");
  }
  const HRESULT hr = FindPosition(ID, d1, d2, d3, d4);
  return SUCCEEDED(hr) ? hr : IdNotFound(ID, hr);
}

HRESULT CVQDataMatrix::FindPosition(LONG ID, LONG* d1, LONG* d2, LONG* d3, LONG* d4) const {
  if (!m_PointInfo || ID == PointInfo::kNoId) return E_FAIL;
  const std::vector<PointInfo>& info = *m_PointInfo;
  for (uint32_t idx = 0; idx < info.size(); ++idx) {
    if (info[idx].ID == ID) {
      PositionOf(idx, d1, d2, d3, d4);
      return S_OK;
    }
  }
  // Elements beyond the table have the fresh ID -1.
  if (ID == PointInfo{}.ID && info.size() < m_SizeAll) {
    PositionOf(static_cast<uint32_t>(info.size()), d1, d2, d3, d4);
    return S_OK;
  }
  return E_FAIL;
}

STDMETHODIMP CVQDataMatrix::get_DataPtrID(LONG ID, IUnknown** pVal) {
  if (pVal == nullptr) return MissingArgument("pVal");
  return vq::MethodGuard("CVQDataMatrix::get_DataPtrID", [&]() -> HRESULT {
    LONG d1, d2, d3, d4;
    HRESULT hr = FindPosition(ID, &d1, &d2, &d3, &d4);
    if (FAILED(hr)) return IdNotFound(ID, hr);
    if (!IsInitialized()) return NotInitialised();
    return GetElement(d1, d2, d3, d4, true, true, pVal);
  });
}

STDMETHODIMP CVQDataMatrix::put_DataPtrID(LONG ID, IUnknown* newVal) {
  return vq::MethodGuard("CVQDataMatrix::put_DataPtrID", [&]() -> HRESULT {
    LONG d1, d2, d3, d4;
    HRESULT hr = FindPosition(ID, &d1, &d2, &d3, &d4);
    if (FAILED(hr)) return IdNotFound(ID, hr);
    if (!IsInitialized()) return NotInitialised();
    if (newVal == nullptr) return MissingArgument("newVal");
    return PutElement(d1, d2, d3, d4, newVal);
  });
}

STDMETHODIMP CVQDataMatrix::get_MatrixLabel(BSTR* pVal) {
  if (pVal == nullptr) return MissingArgument("pVal");
  if (m_MatrixLabel == nullptr) {
    *pVal = nullptr;  // a null label was put
    return S_OK;
  }
  BSTR copy = SysAllocStringLen(m_MatrixLabel, SysStringLen(m_MatrixLabel));
  if (copy == nullptr) return vq::ReportFailure(E_OUTOFMEMORY, "The matrix label could not be copied: out of memory");
  *pVal = copy;
  return S_OK;
}

STDMETHODIMP CVQDataMatrix::put_MatrixLabel(BSTR newVal) { return SetMatrixLabel(newVal); }

HRESULT CVQDataMatrix::SetMatrixLabel(BSTR newVal) {
  if (newVal == m_MatrixLabel) return S_OK;
  BSTR copy = nullptr;
  if (newVal != nullptr) {
    copy = SysAllocStringLen(newVal, SysStringLen(newVal));
    if (copy == nullptr) return vq::ReportFailure(E_OUTOFMEMORY, "The matrix label could not be kept: out of memory");
  }
  SysFreeString(m_MatrixLabel);
  m_MatrixLabel = copy;
  return S_OK;
}

STDMETHODIMP CVQDataMatrix::HasData(LONG ID, LONG* pHasData) {
  if (pHasData == nullptr) return MissingArgument("pHasData");
  LONG d1, d2, d3, d4;
  *pHasData = SUCCEEDED(FindPosition(ID, &d1, &d2, &d3, &d4)) ? 1 : 0;
  return S_OK;
}

STDMETHODIMP CVQDataMatrix::put_AttributesDataPtr(LONG d4, IUnknown* newVal) {
  if (!IsInitialized()) return NotInitialised(E_INVALIDARG);
  if (static_cast<uint32_t>(d4) >= m_Sizes[3]) {
    return vq::ReportFailuref(E_INVALIDARG, "d4 = %d is outside the matrix's d4 positions (0 to %u)", d4,
                              m_Sizes[3] - 1);
  }
  if (newVal == nullptr) return MissingArgument("newVal", E_INVALIDARG);
  return vq::MethodGuard("CVQDataMatrix::put_AttributesDataPtr", [&]() -> HRESULT {
    CAttributeManager::Ref attributeId;  // held until every storage object holds it
    HRESULT hr = S_OK;
    {
      vq::CritSecLock lock(m_DataLock);
      hr = m_AttributeManager->AddAttributes(newVal, &attributeId);
    }
    if (FAILED(hr)) {
      VQ_TRACE("CVQDataMatrix::put_AttributesDataPtr", "DataMatrix", 1, "AddAttributes(%d) failed", d4);
      vq::ThrowIfFailed(hr);
    }
    for (uint32_t c = 0; c < m_DataCols; ++c) {
      const uint32_t dataIdx = m_DataCols * static_cast<uint32_t>(d4) + c;
      vq::CritSecLock lock(m_DataLock);
      CDataBase* storage = Storage(dataIdx);
      hr = storage != nullptr ? storage->SetAttributes(attributeId) : E_FAIL;
      if (FAILED(hr)) {
        VQ_TRACE("CVQDataMatrix::put_AttributesDataPtr", "DataMatrix", 1,
                 "SetAttributes(%d) failed on m_Data[%d]. d4=%d, col=%u, m_DataCols=%d",
                 static_cast<int>(attributeId.Id()), static_cast<int>(dataIdx), d4, c, static_cast<int>(m_DataCols));
        if (dataIdx < m_Data.size() && !m_Data[dataIdx]) {
          VQ_TRACE("CVQDataMatrix::put_AttributesDataPtr", "DataMatrix", 1, "m_Data[i]==NULL");
        }
        vq::ThrowIfFailed(hr);
      }
    }
    return S_OK;
  });
}
