#include "storage/AxisManager.h"

#include <cmath>

#include "trace/VQTrace.h"

namespace {

constexpr double kTolerance = 1e-6;

bool Near(double a, double b) { return std::fabs(a - b) < kTolerance; }

// The definition a fresh data item already has: nothing worth storing.
bool IsDefault(const CAxisManager::AxisRecord& r) {
  return r.Kind == axisKindLinear && r.FirstValue == 0.0 && r.Delta == 1.0 && r.Unit.empty();
}

}  // namespace

bool CAxisManager::AxisRecord::Equals(const AxisRecord& other) const {
  if (Kind != other.Kind || Size != other.Size || FirstBand != other.FirstBand || Fraction != other.Fraction)
    return false;
  if (!Near(FirstValue, other.FirstValue) || !Near(Delta, other.Delta)) return false;
  if (Unit != other.Unit || Values.size() != other.Values.size()) return false;
  for (size_t i = 0; i < Values.size(); ++i)
    if (!Near(Values[i], other.Values[i])) return false;
  return true;
}

HRESULT CAxisManager::AddAxis(IVQAxis* axis, uint32_t* id) {
  if (axis == nullptr || id == nullptr) {
    VQ_TRACE("CAxisManager::AddAxis", "DataMatrix", 1, "Invalid pointer");
    return E_POINTER;
  }
  vq::ComPtr<IVQAxis> checked;
  if (FAILED(axis->QueryInterface(IID_IVQAxis, checked.put_void())) || !checked) return E_POINTER;

  AxisRecord record;
  HRESULT hr = S_OK;
  auto failed = [&](HRESULT code) {
    hr = code;
    return FAILED(code);
  };
  _bstr_t unit;
  if (failed(axis->GetSize(&record.Size)) || failed(axis->GetUnit(unit.GetAddress())) ||
      failed(axis->GetKind(&record.Kind))) {
    VQ_TRACE("CAxisManager::AddAxis", "DataMatrix", 1, "Failed to set axis. HR=0x%08x", static_cast<unsigned>(hr));
    return hr;
  }
  if (record.Size < 1) {
    *id = 0;
    return S_OK;
  }
  if (unit.length() > 0) record.Unit.assign(static_cast<const wchar_t*>(unit), unit.length());
  switch (record.Kind) {
    case axisKindLinear:
    case axisKindLogarithmic:
      if (failed(axis->GetFirstValue(&record.FirstValue)) || failed(axis->GetDelta(&record.Delta))) break;
      break;
    case axisKindBands:
      if (failed(axis->GetFirstBand(&record.FirstBand)) || failed(axis->GetFraction(&record.Fraction))) break;
      break;
    case axisKindValues:
      // The values are the axis: without them a restored item would fall
      // back to a linear axis.
      try {
        record.Values.resize(static_cast<size_t>(record.Size));
      } catch (...) {
        return E_OUTOFMEMORY;
      }
      failed(axis->GetValues(record.Size, record.Values.data()));
      break;
    default:
      break;
  }
  if (FAILED(hr)) {
    VQ_TRACE("CAxisManager::AddAxis", "DataMatrix", 1, "Failed to set axis. HR=0x%08x", static_cast<unsigned>(hr));
    return hr;
  }
  if (IsDefault(record)) {
    *id = 0;
    return S_OK;
  }
  return Store(std::move(record), id);
}

HRESULT CAxisManager::AddAxis(LONG kind, LONG size, double firstValue, double delta, const wchar_t* unit,
                              LONG firstBand, LONG fraction, uint32_t* id) {
  if (id == nullptr) {
    VQ_TRACE("CAxisManager::AddAxis", "DataMatrix", 1, "Invalid pointer");
    return E_POINTER;
  }
  AxisRecord record;
  try {
    record.Kind = kind;
    record.Size = size;
    record.FirstValue = firstValue;
    record.Delta = delta;
    if (unit != nullptr) record.Unit = unit;
    record.FirstBand = firstBand;
    record.Fraction = fraction;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
  return Store(std::move(record), id);
}

HRESULT CAxisManager::Store(AxisRecord&& record, uint32_t* id) {
  vq::CritSecLock lock(m_Lock);
  for (size_t i = 0; i < m_Axes.size(); ++i) {
    if (m_Axes[i].Equals(record)) {
      *id = static_cast<uint32_t>(i + 1);
      return S_OK;
    }
  }
  if (m_Axes.size() >= UINT32_MAX - 1) return E_OUTOFMEMORY;
  try {
    m_Axes.push_back(std::move(record));
  } catch (...) {
    return E_OUTOFMEMORY;
  }
  *id = static_cast<uint32_t>(m_Axes.size());
  return S_OK;
}

bool CAxisManager::Find(uint32_t id, AxisRecord* copy) const {
  vq::CritSecLock lock(m_Lock);
  if (id == 0 || id > m_Axes.size()) return false;
  *copy = m_Axes[id - 1];
  return true;
}

HRESULT CAxisManager::GetAxis(uint32_t id, IVQAxis* axis) {
  if (id == 0) return S_OK;
  AxisRecord record;
  if (!Find(id, &record)) {
    VQ_TRACE("CAxisManager::GetAxis", "DataMatrix", 1, "Index out of range");
    return E_INVALIDARG;
  }
  if (axis == nullptr) {
    VQ_TRACE("CAxisManager::GetAxis", "DataMatrix", 1, "Invalid pointer");
    return E_POINTER;
  }
  _bstr_t unit(record.Unit.c_str());
  HRESULT hr = S_OK;
  switch (record.Kind) {
    case axisKindLinear:
      hr = axis->InitializeAsLinear(record.Size, record.FirstValue, record.Delta, unit.GetBSTR());
      break;
    case axisKindLogarithmic:
      hr = axis->InitializeAsKind1(record.Size, record.FirstValue, record.Delta, unit.GetBSTR());
      break;
    case axisKindBands:
      hr = axis->InitializeAsBands(record.Size, record.FirstBand, record.Fraction, unit.GetBSTR());
      break;
    case axisKindValues:
      hr = axis->InitializeWithValues(record.Size, record.Values.data(), unit.GetBSTR());
      break;
    default:
      break;
  }
  if (FAILED(hr)) _com_issue_errorex(hr, axis, IID_IVQAxis);
  return S_OK;
}

HRESULT CAxisManager::GetAxis(uint32_t id, LONG* kind, LONG* size, double* firstValue, double* delta,
                              std::wstring* unit, LONG* firstBand, LONG* fraction) {
  AxisRecord record;
  if (!Find(id, &record)) {
    VQ_TRACE("CAxisManager::GetAxis", "DataMatrix", 1, "Index out of range");
    return E_INVALIDARG;
  }
  if (kind != nullptr) *kind = record.Kind;
  if (size != nullptr) *size = record.Size;
  if (firstValue != nullptr) *firstValue = record.FirstValue;
  if (delta != nullptr) *delta = record.Delta;
  if (unit != nullptr) *unit = std::move(record.Unit);
  if (firstBand != nullptr) *firstBand = record.FirstBand;
  if (fraction != nullptr) *fraction = record.Fraction;
  return S_OK;
}

HRESULT CAxisManager::GetLastAxis(IVQAxis* axis) { return GetAxis(Count(), axis); }

uint32_t CAxisManager::Count() const {
  vq::CritSecLock lock(m_Lock);
  return static_cast<uint32_t>(m_Axes.size());
}
