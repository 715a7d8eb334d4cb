#include "storage/AxisManager.h"

#include <cmath>
#include <cstring>
#include <functional>
#include <string_view>

#include "trace/VQTrace.h"

namespace {

constexpr double kTolerance = 1e-6;

bool Near(double a, double b) { return std::fabs(a - b) < kTolerance; }

// Cells of twice the tolerance: values within the tolerance are less than
// half a cell apart, so their cells are equal or adjacent (the product's
// rounding adds at most half a unit in its last place, and where that
// reaches half a cell the doubles themselves are more than the tolerance
// apart unless equal). A value that is not finite is near nothing, and a
// cell beyond the doubles' range is equal for equal values only: both may
// take any cell.
double Cell(double v) {
  const double cell = std::floor(v * (0.5 / kTolerance)) + 0.0;  // + 0.0: -0 and 0 are one cell
  return std::isfinite(cell) ? cell : 0.0;
}

uint64_t Bits(double v) {
  uint64_t bits = 0;
  std::memcpy(&bits, &v, sizeof bits);
  return bits;
}

// The hash of everything Equals compares exactly.
size_t ExactHash(const CAxisManager::AxisRecord& r) {
  size_t h = std::hash<std::wstring_view>()(r.Unit);
  for (int64_t field : {int64_t{r.Kind}, int64_t{r.Size}, int64_t{r.FirstBand}, int64_t{r.Fraction},
                        static_cast<int64_t>(r.Values.size())}) {
    h = vq::HashMix(h, static_cast<uint64_t>(field));
  }
  return h;
}

// The hash of a record whose compared-with-tolerance values lie in these
// cells.
size_t CellHash(size_t exact, double first, double delta, double value) {
  return vq::HashMix(vq::HashMix(vq::HashMix(exact, Bits(first)), Bits(delta)), Bits(value));
}

double FirstExplicitValue(const CAxisManager::AxisRecord& r) { return r.Values.empty() ? 0.0 : r.Values[0]; }

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

HRESULT CAxisManager::AddAxis(IVQAxis* axis, Ref* id) {
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
    *id = Ref();
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
    *id = Ref();
    return S_OK;
  }
  return Store(std::move(record), id);
}

HRESULT CAxisManager::AddAxis(LONG kind, LONG size, double firstValue, double delta, const wchar_t* unit,
                              LONG firstBand, LONG fraction, Ref* id) {
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

HRESULT CAxisManager::Store(AxisRecord&& record, Ref* id) {
  const size_t exact = ExactHash(record);
  const double first = Cell(record.FirstValue), delta = Cell(record.Delta), value = Cell(FirstExplicitValue(record));
  AxisRecord dropped;
  uint32_t found = 0;
  {
    vq::CritSecLock lock(m_Lock);
    auto same = [&record](const AxisRecord& stored) { return stored.Equals(record); };
    for (double f : {first - 1, first, first + 1}) {
      for (double d : {delta - 1, delta, delta + 1}) {
        for (double v : {value - 1, value, value + 1}) {
          const uint32_t candidate = m_Axes.Find(CellHash(exact, f + 0.0, d + 0.0, v + 0.0), same);
          if (candidate != 0 && (found == 0 || candidate < found)) found = candidate;
        }
      }
    }
    if (found == 0) {
      found = m_Axes.Insert(CellHash(exact, first, delta, value), std::move(record), &dropped);
      if (found == 0) return E_OUTOFMEMORY;
    }
    m_Axes.Retain(found);
  }
  // Assigned outside the lock: the reference *id held before may be the
  // last of its axis.
  *id = Ref(this, found);
  return S_OK;
}

void CAxisManager::Retain(uint32_t id) {
  vq::CritSecLock lock(m_Lock);
  m_Axes.Retain(id);
}

void CAxisManager::Release(uint32_t id) {
  AxisRecord dropped;
  vq::CritSecLock lock(m_Lock);
  m_Axes.Release(id, &dropped);
}

bool CAxisManager::Find(uint32_t id, AxisRecord* copy) const {
  vq::CritSecLock lock(m_Lock);
  const AxisRecord* stored = m_Axes.Get(id);
  if (stored == nullptr) return false;
  *copy = *stored;
  return true;
}

HRESULT CAxisManager::GetAxis(uint32_t id, IVQAxis* axis) {
  if (id == 0) return S_OK;
  AxisRecord record;
  if (!Find(id, &record)) {
    VQ_TRACE("CAxisManager::GetAxis", "DataMatrix", 1, "Index out of range");
    return E_INVALIDARG;
  }
  return Apply(record, axis);
}

HRESULT CAxisManager::Apply(const AxisRecord& record, IVQAxis* axis) {
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

HRESULT CAxisManager::GetLastAxis(IVQAxis* axis) {
  AxisRecord record;
  {
    // Read with the id under one lock: a newer axis stored meanwhile may
    // drop the one that was last.
    vq::CritSecLock lock(m_Lock);
    const AxisRecord* last = m_Axes.Get(m_Axes.Last());
    if (last == nullptr) return S_OK;
    record = *last;
  }
  return Apply(record, axis);
}

uint32_t CAxisManager::Count() const {
  vq::CritSecLock lock(m_Lock);
  return m_Axes.Count();
}

uint64_t CAxisManager::Comparisons() const {
  vq::CritSecLock lock(m_Lock);
  return m_Axes.Comparisons();
}
