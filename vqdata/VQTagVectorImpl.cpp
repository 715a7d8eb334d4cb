// VQTagVectorImpl.cpp - the tag vector object.
#include "vqdata/VQTagVectorImpl.h"

namespace vqdata {

namespace {
constexpr const IID& kIid = IID_IVQTagVector;
}

STDMETHODIMP CVQTagVector::Clear() {
  vq::MutexLock lock(m_Lock);
  m_Values.clear();
  return S_OK;
}

STDMETHODIMP CVQTagVector::Add(DOUBLE Value) {
  try {
    vq::MutexLock lock(m_Lock);
    if (m_Values.size() >= static_cast<size_t>(kMaxValues)) return Fail(kIid, E_OUTOFMEMORY, "Add: the vector is full");
    m_Values.push_back(Value);
    return S_OK;
  } catch (...) {
    return Fail(kIid, E_OUTOFMEMORY, "Add: out of memory");
  }
}

STDMETHODIMP CVQTagVector::GetValue(LONG Position, DOUBLE* pValue) {
  if (pValue == nullptr) return Fail(kIid, E_POINTER, "GetValue: null pointer");
  vq::MutexLock lock(m_Lock);
  if (Position < 0 || static_cast<size_t>(Position) >= m_Values.size())
    return Fail(kIid, E_INVALIDARG, "GetValue: position %d is outside 0..%d", Position,
                static_cast<int>(m_Values.size()) - 1);
  *pValue = m_Values[static_cast<size_t>(Position)];
  return S_OK;
}

STDMETHODIMP CVQTagVector::SetValue(LONG Position, DOUBLE Value) {
  vq::MutexLock lock(m_Lock);
  if (Position < 0 || static_cast<size_t>(Position) >= m_Values.size())
    return Fail(kIid, E_INVALIDARG, "SetValue: position %d is outside 0..%d", Position,
                static_cast<int>(m_Values.size()) - 1);
  m_Values[static_cast<size_t>(Position)] = Value;
  return S_OK;
}

STDMETHODIMP CVQTagVector::SetValues(LONG Count, const DOUBLE* pValues) {
  if (Count < 0 || Count > kMaxValues) return Fail(kIid, E_INVALIDARG, "SetValues: count %d is out of range", Count);
  if (Count > 0 && pValues == nullptr) return Fail(kIid, E_POINTER, "SetValues: null values");
  try {
    std::vector<double> values(pValues, pValues + Count);
    vq::MutexLock lock(m_Lock);
    m_Values.swap(values);
    return S_OK;
  } catch (...) {
    return Fail(kIid, E_OUTOFMEMORY, "SetValues: out of memory");
  }
}

STDMETHODIMP CVQTagVector::GetValues(LONG Start, LONG Count, DOUBLE* pValues) {
  if (Count > 0 && pValues == nullptr) return Fail(kIid, E_POINTER, "GetValues: null pointer");
  vq::MutexLock lock(m_Lock);
  if (Start < 0 || Count < 0 || static_cast<uint64_t>(Start) + static_cast<uint64_t>(Count) > m_Values.size())
    return Fail(kIid, E_INVALIDARG, "GetValues: %d values from %d exceed the %d held", Count, Start,
                static_cast<int>(m_Values.size()));
  for (LONG i = 0; i < Count; ++i) pValues[i] = m_Values[static_cast<size_t>(Start + i)];
  return S_OK;
}

STDMETHODIMP CVQTagVector::GetCount(LONG* pCount) {
  if (pCount == nullptr) return Fail(kIid, E_POINTER, "GetCount: null pointer");
  vq::MutexLock lock(m_Lock);
  *pCount = static_cast<LONG>(m_Values.size());
  return S_OK;
}

STDMETHODIMP CVQTagVector::Insert(LONG Position, DOUBLE Value) {
  try {
    vq::MutexLock lock(m_Lock);
    if (Position < 0 || static_cast<size_t>(Position) > m_Values.size())
      return Fail(kIid, E_INVALIDARG, "Insert: position %d is outside 0..%d", Position,
                  static_cast<int>(m_Values.size()));
    if (m_Values.size() >= static_cast<size_t>(kMaxValues))
      return Fail(kIid, E_OUTOFMEMORY, "Insert: the vector is full");
    m_Values.insert(m_Values.begin() + Position, Value);
    return S_OK;
  } catch (...) {
    return Fail(kIid, E_OUTOFMEMORY, "Insert: out of memory");
  }
}

STDMETHODIMP CVQTagVector::Remove(LONG Position) {
  vq::MutexLock lock(m_Lock);
  if (Position < 0 || static_cast<size_t>(Position) >= m_Values.size())
    return Fail(kIid, E_INVALIDARG, "Remove: position %d is outside 0..%d", Position,
                static_cast<int>(m_Values.size()) - 1);
  m_Values.erase(m_Values.begin() + Position);
  return S_OK;
}

STDMETHODIMP CVQTagVector::CopyTo(IVQTagVector* Target) {
  if (Target == nullptr) return Fail(kIid, E_POINTER, "CopyTo: null target");
  if (Target == static_cast<IVQTagVector*>(this)) return S_OK;
  std::vector<double> snapshot;
  try {
    snapshot = Values();
  } catch (...) {
    return Fail(kIid, E_OUTOFMEMORY, "CopyTo: out of memory");
  }
  HRESULT hr = Target->SetValues(static_cast<LONG>(snapshot.size()), snapshot.data());
  if (FAILED(hr)) return Fail(kIid, hr, "CopyTo: the target refused the values (0x%08X)", static_cast<unsigned>(hr));
  return S_OK;
}

STDMETHODIMP CVQTagVector::GetIndex(LONG* pIndex) {
  if (pIndex == nullptr) return Fail(kIid, E_POINTER, "GetIndex: null pointer");
  *pIndex = m_Index;
  return S_OK;
}

std::vector<double> CVQTagVector::Values() const {
  vq::MutexLock lock(m_Lock);
  return m_Values;
}

void CVQTagVector::SetAll(std::vector<double> values) noexcept {
  vq::MutexLock lock(m_Lock);
  m_Values.swap(values);
}

}  // namespace vqdata
