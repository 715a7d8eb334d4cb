// VQAxisImpl.h - the x-axis object of a data item.
//
// CVQAxis holds one AxisDefinition under its own lock (m_Lock guards m_Def).
// Each item owns one axis for its whole life and hands out references to it
// (IVQData::GetAxis); an axis handed out stays valid after its item is gone.
// The item calls FollowSize and Get/SetDefinition while it holds its own lock
// (item lock first, axis lock second); the axis never calls back into its item.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "VQData.h"
#include "VQThreadSafety.h"
#include "vqdata/VQDataInternal.h"

namespace vqdata {

struct AxisDefinition {
  LONG kind = axisKindLinear;
  LONG size = 0;
  double firstValue = 0.0;
  double delta = 1.0;
  LONG firstBand = 0;
  LONG fraction = 0;
  std::wstring unit;
  std::vector<double> values;  // kind 3 only
  // A default axis (never initialised by a client) follows the item's XSize.
  bool isDefault = true;

  // The value of point i (0 <= i < size).
  double ValueAt(LONG i) const noexcept;
  // The nearest point as IVQAxis::GetIndexOfValue describes it; false for an
  // empty axis.
  bool IndexOf(double value, LONG* index) const noexcept;
  bool operator==(const AxisDefinition& other) const noexcept;
};

// Checks a definition's parameters (also used for definitions read from a
// stream); on failure `why` says what is wrong.
bool ValidateAxis(const AxisDefinition& def, const char** why) noexcept;

// Reads the definition of any IVQAxis implementation.
HRESULT ReadAxis(IVQAxis* source, AxisDefinition* def) noexcept;

class CVQAxis final : public vq::ComObject<CVQAxis, IVQAxis, vq::SupportErrorInfoFor<IVQAxis>>,
                      private ModuleObject {
 public:
  STDMETHODIMP InitializeAsLinear(LONG Size, DOUBLE FirstValue, DOUBLE Delta, BSTR Unit) override;
  STDMETHODIMP InitializeAsKind1(LONG Size, DOUBLE FirstValue, DOUBLE Delta, BSTR Unit) override;
  STDMETHODIMP InitializeAsBands(LONG Size, LONG FirstBand, LONG Fraction, BSTR Unit) override;
  STDMETHODIMP InitializeWithValues(LONG Size, const DOUBLE* pValues, BSTR Unit) override;
  STDMETHODIMP CopyFrom(IVQAxis* Source) override;
  STDMETHODIMP GetKind(LONG* pKind) override;
  STDMETHODIMP GetSize(LONG* pSize) override;
  STDMETHODIMP GetUnit(BSTR* pUnit) override;
  STDMETHODIMP GetFirstValue(DOUBLE* pFirstValue) override;
  STDMETHODIMP GetDelta(DOUBLE* pDelta) override;
  STDMETHODIMP GetFirstBand(LONG* pFirstBand) override;
  STDMETHODIMP GetFraction(LONG* pFraction) override;
  STDMETHODIMP GetValue(LONG Index, DOUBLE* pValue) override;
  STDMETHODIMP GetValues(LONG Count, DOUBLE* pValues) override;
  STDMETHODIMP SetUnit(BSTR Unit) override;
  STDMETHODIMP GetLastValue(DOUBLE* pValue) override;
  STDMETHODIMP IsEqual(IVQAxis* Other, VARIANT_BOOL* pEqual) override;
  STDMETHODIMP GetIndexOfValue(DOUBLE Value, LONG* pIndex) override;

  // For the owning item.
  AxisDefinition Definition() const;
  void SetDefinition(AxisDefinition def) noexcept;
  // Gives a default axis the item's new XSize.
  void FollowSize(LONG xSize) noexcept;

 private:
  HRESULT Apply(AxisDefinition def, const char* what) noexcept;
  // Apply of an axis of `kind` (linear or logarithmic) from its first value and step.
  HRESULT ApplyStepped(LONG kind, LONG size, double firstValue, double delta, BSTR unit, const char* what) noexcept;

  mutable vq::Mutex m_Lock;
  AxisDefinition m_Def VQ_GUARDED_BY(m_Lock);
};

}  // namespace vqdata
