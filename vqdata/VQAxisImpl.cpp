// VQAxisImpl.cpp - axis definitions and the axis object.
#include "vqdata/VQAxisImpl.h"

#include <algorithm>
#include <cmath>

namespace vqdata {

namespace {

// Exponent step of band n's centre: 10^(n * 0.3 / fraction).
double BandStep(LONG fraction) noexcept { return 0.3 / static_cast<double>(fraction); }

bool IsBandFraction(LONG fraction) noexcept {
  return fraction == 1 || fraction == 3 || fraction == 12 || fraction == 24;
}

// Rounds t to the nearest index (halves upward) within 0..size-1.
LONG ClampIndex(double t, LONG size) noexcept {
  double r = std::floor(t + 0.5);
  if (!(r > 0.0)) return 0;  // also catches -inf
  if (r >= static_cast<double>(size - 1)) return size - 1;
  return static_cast<LONG>(r);
}

}  // namespace

double AxisDefinition::ValueAt(LONG i) const noexcept {
  switch (kind) {
    case axisKindLinear:
      return firstValue + static_cast<double>(i) * delta;
    case axisKindLogarithmic:
      return firstValue * std::pow(delta, static_cast<double>(i));
    case axisKindBands:
      return std::pow(10.0, static_cast<double>(static_cast<int64_t>(firstBand) + i) * BandStep(fraction));
    case axisKindValues:
      return i >= 0 && static_cast<size_t>(i) < values.size() ? values[static_cast<size_t>(i)] : 0.0;
    default:
      return 0.0;
  }
}

bool AxisDefinition::IndexOf(double value, LONG* index) const noexcept {
  if (size <= 0) return false;
  switch (kind) {
    case axisKindLinear:
      *index = delta == 0.0 ? 0 : ClampIndex((value - firstValue) / delta, size);
      return true;
    case axisKindLogarithmic:
      if (delta == 1.0 || firstValue <= 0.0) {
        *index = 0;
      } else if (value <= 0.0) {
        *index = delta > 1.0 ? 0 : size - 1;
      } else {
        *index = ClampIndex(std::log(value / firstValue) / std::log(delta), size);
      }
      return true;
    case axisKindBands:
      if (value <= 0.0) {
        *index = 0;
      } else {
        // The band whose edges (centre exponent +/- half a step) enclose the
        // value; a value on an edge belongs to the upper band.
        double band = std::floor(std::log10(value) / BandStep(fraction) + 0.5);
        *index = ClampIndex(band - static_cast<double>(firstBand), size);
      }
      return true;
    case axisKindValues: {
      auto it = std::lower_bound(values.begin(), values.end(), value);
      if (it == values.begin()) {
        *index = 0;
      } else if (it == values.end()) {
        *index = size - 1;
      } else {
        double above = *it - value;
        double below = value - *(it - 1);
        auto pos = static_cast<LONG>(it - values.begin());
        *index = below < above ? pos - 1 : pos;
      }
      return true;
    }
    default:
      return false;
  }
}

bool AxisDefinition::operator==(const AxisDefinition& other) const noexcept {
  if (kind != other.kind || size != other.size || unit != other.unit) return false;
  switch (kind) {
    case axisKindLinear:
    case axisKindLogarithmic:
      return firstValue == other.firstValue && delta == other.delta;
    case axisKindBands:
      return firstBand == other.firstBand && fraction == other.fraction;
    case axisKindValues:
      return values == other.values;
    default:
      return false;
  }
}

bool ValidateAxis(const AxisDefinition& def, const char** why) noexcept {
  if (def.size < 0) {
    *why = "negative size";
    return false;
  }
  switch (def.kind) {
    case axisKindLinear:
      if (!std::isfinite(def.firstValue) || !std::isfinite(def.delta)) {
        *why = "first value and delta must be finite";
        return false;
      }
      return true;
    case axisKindLogarithmic:
      if (!std::isfinite(def.firstValue) || !std::isfinite(def.delta) || def.firstValue <= 0.0 || def.delta <= 0.0) {
        *why = "first value and delta must be finite and above 0";
        return false;
      }
      return true;
    case axisKindBands:
      if (!IsBandFraction(def.fraction)) {
        *why = "the fraction must be 1, 3, 12 or 24";
        return false;
      }
      if (def.size > 0 && static_cast<int64_t>(def.firstBand) + def.size - 1 > INT32_MAX) {
        *why = "the last band number does not fit 32 bits";
        return false;
      }
      return true;
    case axisKindValues:
      if (def.values.size() != static_cast<size_t>(def.size)) {
        *why = "the value count differs from the size";
        return false;
      }
      for (size_t i = 0; i < def.values.size(); ++i) {
        if (!std::isfinite(def.values[i]) || (i > 0 && !(def.values[i - 1] < def.values[i]))) {
          *why = "the values must be finite and strictly increasing";
          return false;
        }
      }
      return true;
    default:
      *why = "unknown kind";
      return false;
  }
}

HRESULT ReadAxis(IVQAxis* source, AxisDefinition* def) noexcept {
  try {
    AxisDefinition d;
    HRESULT hr = source->GetKind(&d.kind);
    if (SUCCEEDED(hr)) hr = source->GetSize(&d.size);
    BSTR unit = nullptr;
    if (SUCCEEDED(hr)) hr = source->GetUnit(&unit);
    if (FAILED(hr)) return hr;
    d.unit = FromBstr(unit);
    SysFreeString(unit);
    d.isDefault = false;
    switch (d.kind) {
      case axisKindLinear:
      case axisKindLogarithmic:
        hr = source->GetFirstValue(&d.firstValue);
        if (SUCCEEDED(hr)) hr = source->GetDelta(&d.delta);
        break;
      case axisKindBands:
        hr = source->GetFirstBand(&d.firstBand);
        if (SUCCEEDED(hr)) hr = source->GetFraction(&d.fraction);
        d.firstValue = 0.0;
        d.delta = 0.0;
        break;
      case axisKindValues:
        if (d.size < 0 || d.size > (1 << 28)) return E_INVALIDARG;
        d.values.resize(static_cast<size_t>(d.size));
        if (d.size > 0) hr = source->GetValues(d.size, d.values.data());
        d.firstValue = 0.0;
        d.delta = 0.0;
        break;
      default:
        return E_INVALIDARG;
    }
    if (FAILED(hr)) return hr;
    *def = std::move(d);
    return S_OK;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

// ---------------------------------------------------------------------------
// CVQAxis.
// ---------------------------------------------------------------------------

HRESULT CVQAxis::Apply(AxisDefinition def, const char* what) noexcept {
  const char* why = nullptr;
  if (!ValidateAxis(def, &why)) return Fail(IID_IVQAxis, E_INVALIDARG, "%s: %s", what, why);
  def.isDefault = false;
  vq::MutexLock lock(m_Lock);
  m_Def = std::move(def);
  return S_OK;
}

STDMETHODIMP CVQAxis::InitializeAsLinear(LONG Size, DOUBLE FirstValue, DOUBLE Delta, BSTR Unit) {
  return ApplyStepped(axisKindLinear, Size, FirstValue, Delta, Unit, "InitializeAsLinear");
}

STDMETHODIMP CVQAxis::InitializeAsKind1(LONG Size, DOUBLE FirstValue, DOUBLE Delta, BSTR Unit) {
  return ApplyStepped(axisKindLogarithmic, Size, FirstValue, Delta, Unit, "InitializeAsKind1");
}

HRESULT CVQAxis::ApplyStepped(LONG kind, LONG size, double firstValue, double delta, BSTR unit,
                              const char* what) noexcept {
  try {
    AxisDefinition d;
    d.kind = kind;
    d.size = size;
    d.firstValue = firstValue;
    d.delta = delta;
    d.unit = FromBstr(unit);
    return Apply(std::move(d), what);
  } catch (...) {
    return Fail(IID_IVQAxis, E_OUTOFMEMORY, "%s: out of memory", what);
  }
}

STDMETHODIMP CVQAxis::InitializeAsBands(LONG Size, LONG FirstBand, LONG Fraction, BSTR Unit) {
  try {
    AxisDefinition d;
    d.kind = axisKindBands;
    d.size = Size;
    d.firstBand = FirstBand;
    d.fraction = Fraction;
    d.firstValue = 0.0;
    d.delta = 0.0;
    d.unit = FromBstr(Unit);
    return Apply(std::move(d), "InitializeAsBands");
  } catch (...) {
    return Fail(IID_IVQAxis, E_OUTOFMEMORY, "InitializeAsBands: out of memory");
  }
}

STDMETHODIMP CVQAxis::InitializeWithValues(LONG Size, const DOUBLE* pValues, BSTR Unit) {
  if (Size < 0) return Fail(IID_IVQAxis, E_INVALIDARG, "InitializeWithValues: negative size");
  if (Size > 0 && pValues == nullptr) return Fail(IID_IVQAxis, E_POINTER, "InitializeWithValues: null values");
  try {
    AxisDefinition d;
    d.kind = axisKindValues;
    d.size = Size;
    d.firstValue = 0.0;
    d.delta = 0.0;
    if (Size > 0) d.values.assign(pValues, pValues + Size);
    d.unit = FromBstr(Unit);
    return Apply(std::move(d), "InitializeWithValues");
  } catch (...) {
    return Fail(IID_IVQAxis, E_OUTOFMEMORY, "InitializeWithValues: out of memory");
  }
}

STDMETHODIMP CVQAxis::CopyFrom(IVQAxis* Source) {
  if (Source == nullptr) return Fail(IID_IVQAxis, E_POINTER, "CopyFrom: null source");
  if (Source == static_cast<IVQAxis*>(this)) return S_OK;
  AxisDefinition d;
  HRESULT hr = ReadAxis(Source, &d);
  if (FAILED(hr))
    return Fail(IID_IVQAxis, hr, "CopyFrom: the source axis cannot be read (0x%08X)", static_cast<unsigned>(hr));
  return Apply(std::move(d), "CopyFrom");
}

#define VQ_AXIS_GETTER(Method, Type, expr)                                          \
  STDMETHODIMP CVQAxis::Method(Type* p) {                                           \
    if (p == nullptr) return Fail(IID_IVQAxis, E_POINTER, #Method ": null pointer"); \
    vq::MutexLock lock(m_Lock);                                       \
    *p = (expr);                                                                    \
    return S_OK;                                                                    \
  }

VQ_AXIS_GETTER(GetKind, LONG, m_Def.kind)
VQ_AXIS_GETTER(GetSize, LONG, m_Def.size)
VQ_AXIS_GETTER(GetDelta, DOUBLE,
               (m_Def.kind == axisKindLinear || m_Def.kind == axisKindLogarithmic) ? m_Def.delta : 0.0)
VQ_AXIS_GETTER(GetFirstBand, LONG, m_Def.kind == axisKindBands ? m_Def.firstBand : 0)
VQ_AXIS_GETTER(GetFraction, LONG, m_Def.kind == axisKindBands ? m_Def.fraction : 0)
#undef VQ_AXIS_GETTER

STDMETHODIMP CVQAxis::GetFirstValue(DOUBLE* p) {
  if (p == nullptr) return Fail(IID_IVQAxis, E_POINTER, "GetFirstValue: null pointer");
  vq::MutexLock lock(m_Lock);
  if (m_Def.kind == axisKindLinear || m_Def.kind == axisKindLogarithmic)
    *p = m_Def.firstValue;
  else
    *p = m_Def.size > 0 ? m_Def.ValueAt(0) : 0.0;
  return S_OK;
}

STDMETHODIMP CVQAxis::GetUnit(BSTR* pUnit) {
  try {
    vq::MutexLock lock(m_Lock);
    return CopyOut(m_Def.unit, pUnit, IID_IVQAxis, "GetUnit");
  } catch (...) {
    return Fail(IID_IVQAxis, E_FAIL, "GetUnit: cannot lock");
  }
}

STDMETHODIMP CVQAxis::GetValue(LONG Index, DOUBLE* pValue) {
  if (pValue == nullptr) return Fail(IID_IVQAxis, E_POINTER, "GetValue: null pointer");
  vq::MutexLock lock(m_Lock);
  if (Index < 0 || Index >= m_Def.size)
    return Fail(IID_IVQAxis, E_INVALIDARG, "GetValue: index %d is outside 0..%d", Index, m_Def.size - 1);
  *pValue = m_Def.ValueAt(Index);
  return S_OK;
}

STDMETHODIMP CVQAxis::GetValues(LONG Count, DOUBLE* pValues) {
  if (Count < 0) return Fail(IID_IVQAxis, E_INVALIDARG, "GetValues: negative count");
  if (Count > 0 && pValues == nullptr) return Fail(IID_IVQAxis, E_POINTER, "GetValues: null pointer");
  vq::MutexLock lock(m_Lock);
  if (Count > m_Def.size)
    return Fail(IID_IVQAxis, E_INVALIDARG, "GetValues: %d values asked of an axis of %d", Count, m_Def.size);
  for (LONG i = 0; i < Count; ++i) pValues[i] = m_Def.ValueAt(i);
  return S_OK;
}

STDMETHODIMP CVQAxis::SetUnit(BSTR Unit) {
  try {
    std::wstring unit = FromBstr(Unit);
    vq::MutexLock lock(m_Lock);
    m_Def.unit.swap(unit);
    return S_OK;
  } catch (...) {
    return Fail(IID_IVQAxis, E_OUTOFMEMORY, "SetUnit: out of memory");
  }
}

STDMETHODIMP CVQAxis::GetLastValue(DOUBLE* pValue) {
  if (pValue == nullptr) return Fail(IID_IVQAxis, E_POINTER, "GetLastValue: null pointer");
  vq::MutexLock lock(m_Lock);
  if (m_Def.size <= 0) return Fail(IID_IVQAxis, E_FAIL, "GetLastValue: the axis is empty");
  *pValue = m_Def.ValueAt(m_Def.size - 1);
  return S_OK;
}

STDMETHODIMP CVQAxis::IsEqual(IVQAxis* Other, VARIANT_BOOL* pEqual) {
  if (Other == nullptr || pEqual == nullptr) return Fail(IID_IVQAxis, E_POINTER, "IsEqual: null pointer");
  if (Other == static_cast<IVQAxis*>(this)) {
    *pEqual = VARIANT_TRUE;
    return S_OK;
  }
  AxisDefinition other;
  HRESULT hr = ReadAxis(Other, &other);
  if (FAILED(hr))
    return Fail(IID_IVQAxis, hr, "IsEqual: the other axis cannot be read (0x%08X)", static_cast<unsigned>(hr));
  vq::MutexLock lock(m_Lock);
  *pEqual = m_Def == other ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}

STDMETHODIMP CVQAxis::GetIndexOfValue(DOUBLE Value, LONG* pIndex) {
  if (pIndex == nullptr) return Fail(IID_IVQAxis, E_POINTER, "GetIndexOfValue: null pointer");
  if (std::isnan(Value)) return Fail(IID_IVQAxis, E_INVALIDARG, "GetIndexOfValue: the value is NaN");
  vq::MutexLock lock(m_Lock);
  if (!m_Def.IndexOf(Value, pIndex)) return Fail(IID_IVQAxis, E_FAIL, "GetIndexOfValue: the axis is empty");
  return S_OK;
}

AxisDefinition CVQAxis::Definition() const {
  vq::MutexLock lock(m_Lock);
  return m_Def;
}

void CVQAxis::SetDefinition(AxisDefinition def) noexcept {
  vq::MutexLock lock(m_Lock);
  m_Def = std::move(def);
}

void CVQAxis::FollowSize(LONG xSize) noexcept {
  vq::MutexLock lock(m_Lock);
  if (m_Def.isDefault) m_Def.size = xSize;
}

}  // namespace vqdata
