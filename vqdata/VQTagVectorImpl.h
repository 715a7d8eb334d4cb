// VQTagVectorImpl.h - one of the four tag vectors of a data item.
//
// CVQTagVector holds an ordered list of doubles under its own lock (m_Lock
// guards m_Values). Each item owns its four vectors for its whole life and
// hands out references to them. CopyTo reads this vector under its lock,
// releases the lock and only then writes the target, so copying between two
// vectors (in either direction, on any threads) cannot deadlock.
#pragma once

#include <mutex>
#include <vector>

#include "VQData.h"
#include "VQThreadSafety.h"
#include "vqdata/VQDataInternal.h"

namespace vqdata {

class CVQTagVector final : public vq::ComObject<CVQTagVector, IVQTagVector, vq::SupportErrorInfoFor<IVQTagVector>>,
                           private ModuleObject {
 public:
  explicit CVQTagVector(LONG index) : m_Index(index) {}

  STDMETHODIMP Clear() override;
  STDMETHODIMP Add(DOUBLE Value) override;
  STDMETHODIMP GetValue(LONG Position, DOUBLE* pValue) override;
  STDMETHODIMP SetValue(LONG Position, DOUBLE Value) override;
  STDMETHODIMP SetValues(LONG Count, const DOUBLE* pValues) override;
  STDMETHODIMP GetValues(LONG Start, LONG Count, DOUBLE* pValues) override;
  STDMETHODIMP GetCount(LONG* pCount) override;
  STDMETHODIMP Insert(LONG Position, DOUBLE Value) override;
  STDMETHODIMP Remove(LONG Position) override;
  STDMETHODIMP CopyTo(IVQTagVector* Target) override;
  STDMETHODIMP GetIndex(LONG* pIndex) override;

  // For the owning item (persistence, Clone).
  std::vector<double> Values() const;
  void SetAll(std::vector<double> values) noexcept;

  // The most values one vector holds.
  static constexpr LONG kMaxValues = 1 << 28;

 private:
  const LONG m_Index;
  mutable vq::Mutex m_Lock;
  std::vector<double> m_Values VQ_GUARDED_BY(m_Lock);
};

}  // namespace vqdata
