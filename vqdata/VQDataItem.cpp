// VQDataItem.cpp - the data item object.
#include "vqdata/VQDataItem.h"

#include <cfloat>
#include <cmath>
#include <cstring>

#include "vqdata/VQDataFormat.h"

namespace vqdata {

namespace {

constexpr const IID& kIid = IID_IVQData;

// The value at p of format as real and imaginary part.
double ReadValue(const uint8_t* p, LONG format, double* im) noexcept {
  *im = 0.0;
  switch (format) {
    case dataFormatInt32: {
      int32_t v;
      std::memcpy(&v, p, 4);
      return v;
    }
    case dataFormatFloat64: {
      double v;
      std::memcpy(&v, p, 8);
      return v;
    }
    case dataFormatComplex128: {
      double v[2];
      std::memcpy(v, p, 16);
      *im = v[1];
      return v[0];
    }
    case dataFormatInt16: {
      int16_t v;
      std::memcpy(&v, p, 2);
      return v;
    }
    case dataFormatInt64: {
      int64_t v;
      std::memcpy(&v, p, 8);
      return static_cast<double>(v);
    }
    case dataFormatFloat32: {
      float v;
      std::memcpy(&v, p, 4);
      return v;
    }
    case dataFormatComplex64: {
      float v[2];
      std::memcpy(v, p, 8);
      *im = v[1];
      return v[0];
    }
    default:
      return 0.0;
  }
}

bool FitsFloat(double v) noexcept { return !std::isfinite(v) || std::fabs(v) <= static_cast<double>(FLT_MAX); }

// Encodes (re, im) in format at p; false when the value does not fit.
bool EncodeValue(double re, double im, LONG format, uint8_t* p) noexcept {
  switch (format) {
    case dataFormatInt32: {
      double r = std::round(re);
      if (!(r >= -2147483648.0 && r <= 2147483647.0)) return false;
      auto v = static_cast<int32_t>(r);
      std::memcpy(p, &v, 4);
      return true;
    }
    case dataFormatFloat64:
      std::memcpy(p, &re, 8);
      return true;
    case dataFormatComplex128: {
      double v[2] = {re, im};
      std::memcpy(p, v, 16);
      return true;
    }
    case dataFormatInt16: {
      double r = std::round(re);
      if (!(r >= -32768.0 && r <= 32767.0)) return false;
      auto v = static_cast<int16_t>(r);
      std::memcpy(p, &v, 2);
      return true;
    }
    case dataFormatInt64: {
      double r = std::round(re);
      if (!(r >= -9223372036854775808.0 && r < 9223372036854775808.0)) return false;
      auto v = static_cast<int64_t>(r);
      std::memcpy(p, &v, 8);
      return true;
    }
    case dataFormatFloat32: {
      if (!FitsFloat(re)) return false;
      auto v = static_cast<float>(re);
      std::memcpy(p, &v, 4);
      return true;
    }
    case dataFormatComplex64: {
      if (!FitsFloat(re) || !FitsFloat(im)) return false;
      float v[2] = {static_cast<float>(re), static_cast<float>(im)};
      std::memcpy(p, v, 8);
      return true;
    }
    default:
      return false;
  }
}

HRESULT CheckDimension(LONG dimension, REFIID iid, const char* what) noexcept {
  if (dimension != 1)
    return Fail(iid, E_INVALIDARG, "%s: dimension %d has no indexed attributes (only 1)", what, dimension);
  return S_OK;
}

}  // namespace

CVQData::CVQData() {
  m_Axis.attach(vq::MakeComObject<CVQAxis>());
  for (LONG i = 0; i < 4; ++i) m_Tags[i].attach(vq::MakeComObject<CVQTagVector>(i));
}

bool CVQData::IsComplete() const noexcept {
  return m_Axis && m_Tags[0] && m_Tags[1] && m_Tags[2] && m_Tags[3];
}

// ---------------------------------------------------------------------------
// Values.
// ---------------------------------------------------------------------------

HRESULT CVQData::Reallocate(LONG nXSize, LONG nZSize, LONG format, const char* what) {
  uint64_t bytes = 0;
  if (VQDataBytesPerValue(format) == 0) return Fail(kIid, E_INVALIDARG, "%s: unknown format %d", what, format);
  if (nXSize < 0 || nZSize < 0) return Fail(kIid, E_INVALIDARG, "%s: negative size %d x %d", what, nXSize, nZSize);
  if (!ValueBytes(nXSize, nZSize, format, &bytes))
    return Fail(kIid, E_INVALIDARG, "%s: size overflows (%d x %d values of format %d)", what, nXSize, nZSize, format);
  if (bytes == m_Values.size() && bytes != 0 && FAILED(m_Values.Detach()))
    return Fail(kIid, E_OUTOFMEMORY, "%s: out of memory for %llu bytes", what, static_cast<unsigned long long>(bytes));
  if (bytes != m_Values.size() || bytes == 0) {
    ValueBuffer fresh;
    if (FAILED(fresh.Allocate(bytes)))
      return Fail(kIid, E_OUTOFMEMORY, "%s: out of memory for %llu bytes", what,
                  static_cast<unsigned long long>(bytes));
    m_Values.Swap(fresh);
  }
  m_ViewReadOnly = false;
  TakeShape(format, nXSize, nZSize);
  return S_OK;
}

void CVQData::TakeShape(LONG format, LONG nXSize, LONG nZSize) {
  m_Format = format;
  m_XSize = nXSize;
  m_ZSize = nZSize;
  m_Axis->FollowSize(nXSize);
}

HRESULT CVQData::PrepareWrite(const char* what) {
  if (!m_ViewReadOnly) return S_OK;
  if (FAILED(m_Values.Detach()))
    return Fail(kIid, E_OUTOFMEMORY, "%s: out of memory for %llu bytes", what,
                static_cast<unsigned long long>(m_Values.size()));
  m_ViewReadOnly = false;
  return S_OK;
}

STDMETHODIMP CVQData::ShowValues(IUnknown* Owner, void* Values, LONG nXSize, LONG nZSize, LONG Format, BOOL Writable) {
  uint64_t bytes = 0;
  if (!ValueBytes(nXSize, nZSize, Format, &bytes))
    return Fail(kIid, E_INVALIDARG, "ShowValues: invalid format %d or size %d x %d", Format, nXSize, nZSize);
  if (Owner == nullptr || (bytes != 0 && Values == nullptr)) return Fail(kIid, E_POINTER, "ShowValues: null pointer");
  vq::MutexLock lock(m_Lock);
  m_Values.View(Owner, Values, bytes);
  m_ViewReadOnly = !Writable;
  TakeShape(Format, nXSize, nZSize);
  return S_OK;
}

STDMETHODIMP CVQData::ShowsValues(const void* Values) {
  vq::MutexLock lock(m_Lock);
  return m_Values.viewing() && (Values == nullptr || m_Values.data() == Values) ? S_OK : S_FALSE;
}

STDMETHODIMP CVQData::Allocate(LONG nXSize, LONG nZSize, LONG Format) {
  vq::MutexLock lock(m_Lock);
  return Reallocate(nXSize, nZSize, Format, "Allocate");
}

STDMETHODIMP CVQData::GetSize(LONG Dimension, LONG* pSize) {
  if (pSize == nullptr) return Fail(kIid, E_POINTER, "GetSize: null pointer");
  vq::MutexLock lock(m_Lock);
  if (Dimension == 0)
    *pSize = m_XSize;
  else if (Dimension == 1)
    *pSize = m_ZSize;
  else
    return Fail(kIid, E_INVALIDARG, "GetSize: dimension %d is neither 0 nor 1", Dimension);
  return S_OK;
}

STDMETHODIMP CVQData::GetByteSize(ULONGLONG* pBytes) {
  if (pBytes == nullptr) return Fail(kIid, E_POINTER, "GetByteSize: null pointer");
  vq::MutexLock lock(m_Lock);
  *pBytes = m_Values.size();
  return S_OK;
}

STDMETHODIMP CVQData::SetDataBuffer(VQDataBuffer Buffer) {
  const void* source = nullptr;
  switch (Buffer.Format) {
    case dataFormatInt32:
      source = Buffer.pLong;
      break;
    case dataFormatFloat64:
      source = Buffer.pDouble;
      break;
    case dataFormatComplex128:
      source = Buffer.pComplexDouble;
      break;
    case dataFormatFloat32:
      source = Buffer.pFloat;
      break;
    case dataFormatComplex64:
      source = Buffer.pComplexFloat;
      break;
    case dataFormatInt16:
    case dataFormatInt64:
      return Fail(kIid, E_INVALIDARG, "SetDataBuffer: format %d has no pointer field; use SetRawData", Buffer.Format);
    default:
      return Fail(kIid, E_INVALIDARG, "SetDataBuffer: unknown format %d", Buffer.Format);
  }
  uint64_t bytes = 0;
  if (!ValueBytes(Buffer.XSize, Buffer.ZSize, Buffer.Format, &bytes))
    return Fail(kIid, E_INVALIDARG, "SetDataBuffer: invalid or overflowing size %d x %d", Buffer.XSize, Buffer.ZSize);
  if (bytes > 0 && source == nullptr)
    return Fail(kIid, E_POINTER, "SetDataBuffer: the pointer of format %d is null", Buffer.Format);
  return SetRawData(Buffer.XSize, Buffer.ZSize, Buffer.Format, source, bytes);
}

STDMETHODIMP CVQData::SetRawData(LONG nXSize, LONG nZSize, LONG Format, const void* pValues, ULONGLONG cbValues) {
  uint64_t bytes = 0;
  if (!ValueBytes(nXSize, nZSize, Format, &bytes))
    return Fail(kIid, E_INVALIDARG, "SetRawData: invalid format %d or size %d x %d", Format, nXSize, nZSize);
  if (bytes != cbValues)
    return Fail(kIid, E_INVALIDARG, "SetRawData: %llu bytes given for %llu", static_cast<unsigned long long>(cbValues),
                static_cast<unsigned long long>(bytes));
  if (bytes > 0 && pValues == nullptr) return Fail(kIid, E_POINTER, "SetRawData: null values");
  // A fresh buffer even for an equal size: the source may be this item's own
  // storage, which must stay readable until the copy is done.
  ValueBuffer fresh;
  if (FAILED(fresh.Allocate(bytes)))
    return Fail(kIid, E_OUTOFMEMORY, "SetRawData: out of memory for %llu bytes",
                static_cast<unsigned long long>(bytes));
  vq::MutexLock lock(m_Lock);
  if (bytes > 0) std::memcpy(fresh.data(), pValues, static_cast<size_t>(bytes));
  m_Values.Swap(fresh);
  m_ViewReadOnly = false;
  TakeShape(Format, nXSize, nZSize);
  return S_OK;
}

STDMETHODIMP CVQData::GetDataBuffer(VQDataBuffer* pBuffer) {
  if (pBuffer == nullptr) return Fail(kIid, E_POINTER, "GetDataBuffer: null pointer");
  std::memset(pBuffer, 0, sizeof *pBuffer);
  vq::MutexLock lock(m_Lock);
  pBuffer->Format = m_Format;
  pBuffer->XSize = m_XSize;
  pBuffer->ZSize = m_ZSize;
  void* p = m_Values.data();
  switch (m_Format) {
    case dataFormatInt32:
      pBuffer->pLong = static_cast<LONG*>(p);
      break;
    case dataFormatFloat64:
      pBuffer->pDouble = static_cast<DOUBLE*>(p);
      break;
    case dataFormatComplex128:
      pBuffer->pComplexDouble = static_cast<VQComplexDouble*>(p);
      break;
    case dataFormatFloat32:
      pBuffer->pFloat = static_cast<FLOAT*>(p);
      break;
    case dataFormatComplex64:
      pBuffer->pComplexFloat = static_cast<VQComplexFloat*>(p);
      break;
    default:
      break;  // formats 3 and 4: GetRawData
  }
  return S_OK;
}

STDMETHODIMP CVQData::GetValue(LONG X, LONG Z, DOUBLE* pReal, DOUBLE* pImaginary) {
  if (pReal == nullptr) return Fail(kIid, E_POINTER, "GetValue: null pointer");
  vq::MutexLock lock(m_Lock);
  if (X < 0 || X >= m_XSize || Z < 0 || Z >= m_ZSize)
    return Fail(kIid, E_INVALIDARG, "GetValue: (%d, %d) is outside %d x %d", X, Z, m_XSize, m_ZSize);
  uint64_t at = (static_cast<uint64_t>(Z) * static_cast<uint64_t>(m_XSize) + static_cast<uint64_t>(X)) *
                static_cast<uint64_t>(VQDataBytesPerValue(m_Format));
  double im = 0.0;
  *pReal = ReadValue(static_cast<const uint8_t*>(m_Values.data()) + at, m_Format, &im);
  if (pImaginary) *pImaginary = im;
  return S_OK;
}

STDMETHODIMP CVQData::SetValue(LONG X, LONG Z, DOUBLE Real, DOUBLE Imaginary) {
  vq::MutexLock lock(m_Lock);
  if (X < 0 || X >= m_XSize || Z < 0 || Z >= m_ZSize)
    return Fail(kIid, E_INVALIDARG, "SetValue: (%d, %d) is outside %d x %d", X, Z, m_XSize, m_ZSize);
  if (HRESULT hr = PrepareWrite("SetValue"); FAILED(hr)) return hr;
  uint64_t at = (static_cast<uint64_t>(Z) * static_cast<uint64_t>(m_XSize) + static_cast<uint64_t>(X)) *
                static_cast<uint64_t>(VQDataBytesPerValue(m_Format));
  if (!EncodeValue(Real, Imaginary, m_Format, static_cast<uint8_t*>(m_Values.data()) + at))
    return Fail(kIid, DISP_E_OVERFLOW, "SetValue: %g does not fit format %d", Real, m_Format);
  return S_OK;
}

STDMETHODIMP CVQData::GetRawData(void** ppValues, ULONGLONG* pBytes) {
  if (ppValues == nullptr || pBytes == nullptr) return Fail(kIid, E_POINTER, "GetRawData: null pointer");
  vq::MutexLock lock(m_Lock);
  *ppValues = m_Values.data();
  *pBytes = m_Values.size();
  return S_OK;
}

STDMETHODIMP CVQData::ZeroValues() {
  vq::MutexLock lock(m_Lock);
  if (HRESULT hr = PrepareWrite("ZeroValues"); FAILED(hr)) return hr;
  if (m_Values.size() > 0) std::memset(m_Values.data(), 0, static_cast<size_t>(m_Values.size()));
  return S_OK;
}

STDMETHODIMP CVQData::GetBytesPerValue(LONG* pBytes) {
  if (pBytes == nullptr) return Fail(kIid, E_POINTER, "GetBytesPerValue: null pointer");
  vq::MutexLock lock(m_Lock);
  *pBytes = VQDataBytesPerValue(m_Format);
  return S_OK;
}

STDMETHODIMP CVQData::GetFormat(LONG* pFormat) {
  if (pFormat == nullptr) return Fail(kIid, E_POINTER, "GetFormat: null pointer");
  vq::MutexLock lock(m_Lock);
  *pFormat = m_Format;
  return S_OK;
}

STDMETHODIMP CVQData::CopyValuesFrom(IUnknown* Source) {
  if (Source == nullptr) return Fail(kIid, E_POINTER, "CopyValuesFrom: null source");
  vq::ComPtr<IVQDataCore> src;
  HRESULT hr = Source->QueryInterface(IID_IVQDataCore, reinterpret_cast<void**>(src.put()));
  if (FAILED(hr)) return Fail(kIid, hr, "CopyValuesFrom: the source is not a data item");
  if (src.get() == static_cast<IVQDataCore*>(static_cast<IVQData*>(this))) return S_OK;
  LONG x = 0, z = 0, format = 0;
  void* values = nullptr;
  ULONGLONG bytes = 0;
  hr = src->GetSize(0, &x);
  if (SUCCEEDED(hr)) hr = src->GetSize(1, &z);
  if (SUCCEEDED(hr)) hr = src->GetFormat(&format);
  if (SUCCEEDED(hr)) hr = src->GetRawData(&values, &bytes);
  if (FAILED(hr))
    return Fail(kIid, hr, "CopyValuesFrom: the source cannot be read (0x%08X)", static_cast<unsigned>(hr));
  return SetRawData(x, z, format, values, bytes);
}

STDMETHODIMP CVQData::AllocateLike(IUnknown* Source) {
  if (Source == nullptr) return Fail(kIid, E_POINTER, "AllocateLike: null source");
  vq::ComPtr<IVQDataCore> src;
  HRESULT hr = Source->QueryInterface(IID_IVQDataCore, reinterpret_cast<void**>(src.put()));
  if (FAILED(hr)) return Fail(kIid, hr, "AllocateLike: the source is not a data item");
  LONG x = 0, z = 0, format = 0;
  hr = src->GetSize(0, &x);
  if (SUCCEEDED(hr)) hr = src->GetSize(1, &z);
  if (SUCCEEDED(hr)) hr = src->GetFormat(&format);
  if (FAILED(hr)) return Fail(kIid, hr, "AllocateLike: the source cannot be read (0x%08X)", static_cast<unsigned>(hr));
  vq::MutexLock lock(m_Lock);
  return Reallocate(x, z, format, "AllocateLike");
}

STDMETHODIMP CVQData::GetRecordValues(LONG Z, LONG Count, DOUBLE* pValues) {
  if (Count > 0 && pValues == nullptr) return Fail(kIid, E_POINTER, "GetRecordValues: null pointer");
  vq::MutexLock lock(m_Lock);
  if (Z < 0 || Z >= m_ZSize || Count < 0 || Count > m_XSize)
    return Fail(kIid, E_INVALIDARG, "GetRecordValues: record %d, %d values, outside %d x %d", Z, Count, m_XSize,
                m_ZSize);
  LONG bpv = VQDataBytesPerValue(m_Format);
  auto p =
      static_cast<const uint8_t*>(m_Values.data()) + static_cast<uint64_t>(Z) * static_cast<uint64_t>(m_XSize) * bpv;
  double im = 0.0;
  for (LONG i = 0; i < Count; ++i) pValues[i] = ReadValue(p + static_cast<uint64_t>(i) * bpv, m_Format, &im);
  return S_OK;
}

STDMETHODIMP CVQData::SetRecordValues(LONG Z, LONG Count, const DOUBLE* pValues) {
  if (Count > 0 && pValues == nullptr) return Fail(kIid, E_POINTER, "SetRecordValues: null pointer");
  vq::MutexLock lock(m_Lock);
  if (Z < 0 || Z >= m_ZSize || Count < 0 || Count > m_XSize)
    return Fail(kIid, E_INVALIDARG, "SetRecordValues: record %d, %d values, outside %d x %d", Z, Count, m_XSize,
                m_ZSize);
  if (HRESULT hr = PrepareWrite("SetRecordValues"); FAILED(hr)) return hr;
  LONG bpv = VQDataBytesPerValue(m_Format);
  uint8_t scratch[16];
  for (LONG i = 0; i < Count; ++i)
    if (!EncodeValue(pValues[i], 0.0, m_Format, scratch))
      return Fail(kIid, DISP_E_OVERFLOW, "SetRecordValues: value %d (%g) does not fit format %d", i, pValues[i],
                  m_Format);
  auto p = static_cast<uint8_t*>(m_Values.data()) + static_cast<uint64_t>(Z) * static_cast<uint64_t>(m_XSize) * bpv;
  for (LONG i = 0; i < Count; ++i) EncodeValue(pValues[i], 0.0, m_Format, p + static_cast<uint64_t>(i) * bpv);
  return S_OK;
}

STDMETHODIMP CVQData::GetMinMax(DOUBLE* pMin, DOUBLE* pMax) {
  if (pMin == nullptr || pMax == nullptr) return Fail(kIid, E_POINTER, "GetMinMax: null pointer");
  vq::MutexLock lock(m_Lock);
  LONG bpv = VQDataBytesPerValue(m_Format);
  uint64_t count = bpv ? m_Values.size() / static_cast<uint64_t>(bpv) : 0;
  bool any = false;
  double lo = 0.0, hi = 0.0, im = 0.0;
  auto p = static_cast<const uint8_t*>(m_Values.data());
  for (uint64_t i = 0; i < count; ++i) {
    double v = ReadValue(p + i * static_cast<uint64_t>(bpv), m_Format, &im);
    if (std::isnan(v)) continue;
    if (!any || v < lo) lo = v;
    if (!any || v > hi) hi = v;
    any = true;
  }
  if (!any) return Fail(kIid, E_FAIL, "GetMinMax: the item holds no value");
  *pMin = lo;
  *pMax = hi;
  return S_OK;
}

STDMETHODIMP CVQData::SetAllValues(DOUBLE Value) {
  vq::MutexLock lock(m_Lock);
  uint8_t encoded[16];
  if (!EncodeValue(Value, 0.0, m_Format, encoded))
    return Fail(kIid, DISP_E_OVERFLOW, "SetAllValues: %g does not fit format %d", Value, m_Format);
  if (HRESULT hr = PrepareWrite("SetAllValues"); FAILED(hr)) return hr;
  LONG bpv = VQDataBytesPerValue(m_Format);
  auto p = static_cast<uint8_t*>(m_Values.data());
  for (uint64_t at = 0; at < m_Values.size(); at += static_cast<uint64_t>(bpv))
    std::memcpy(p + at, encoded, static_cast<size_t>(bpv));
  return S_OK;
}

STDMETHODIMP CVQData::GetValueCount(ULONGLONG* pCount) {
  if (pCount == nullptr) return Fail(kIid, E_POINTER, "GetValueCount: null pointer");
  vq::MutexLock lock(m_Lock);
  *pCount = static_cast<ULONGLONG>(m_XSize) * static_cast<ULONGLONG>(m_ZSize);
  return S_OK;
}

STDMETHODIMP CVQData::Reshape(LONG nXSize, LONG nZSize) {
  vq::MutexLock lock(m_Lock);
  if (nXSize < 0 || nZSize < 0 ||
      static_cast<uint64_t>(nXSize) * static_cast<uint64_t>(nZSize) !=
          static_cast<uint64_t>(m_XSize) * static_cast<uint64_t>(m_ZSize))
    return Fail(kIid, E_INVALIDARG, "Reshape: %d x %d does not hold the %d x %d values", nXSize, nZSize, m_XSize,
                m_ZSize);
  // A lender's memory is laid out in its shape: the values move to a block
  // of the item's own before they are read in another.
  if (FAILED(m_Values.Detach()))
    return Fail(kIid, E_OUTOFMEMORY, "Reshape: out of memory for %llu bytes",
                static_cast<unsigned long long>(m_Values.size()));
  m_ViewReadOnly = false;
  m_XSize = nXSize;
  m_ZSize = nZSize;
  m_Axis->FollowSize(nXSize);
  return S_OK;
}

STDMETHODIMP CVQData::GetRecordPointer(LONG Z, void** ppValues) {
  if (ppValues == nullptr) return Fail(kIid, E_POINTER, "GetRecordPointer: null pointer");
  *ppValues = nullptr;
  vq::MutexLock lock(m_Lock);
  if (m_Values.size() == 0) return Fail(kIid, E_FAIL, "GetRecordPointer: the item holds no values");
  if (Z < 0 || Z >= m_ZSize)
    return Fail(kIid, E_INVALIDARG, "GetRecordPointer: record %d is outside 0..%d", Z, m_ZSize - 1);
  const auto bpv = static_cast<uint64_t>(VQDataBytesPerValue(m_Format));
  *ppValues = static_cast<uint8_t*>(m_Values.data()) + static_cast<uint64_t>(Z) * static_cast<uint64_t>(m_XSize) * bpv;
  return S_OK;
}

STDMETHODIMP CVQData::IsAllocated(VARIANT_BOOL* pAllocated) {
  if (pAllocated == nullptr) return Fail(kIid, E_POINTER, "IsAllocated: null pointer");
  vq::MutexLock lock(m_Lock);
  *pAllocated = m_Values.size() > 0 ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}

STDMETHODIMP CVQData::FreeData() {
  vq::MutexLock lock(m_Lock);
  m_Values.Free();
  m_ViewReadOnly = false;
  m_XSize = 0;
  m_ZSize = 0;
  m_Axis->FollowSize(0);
  return S_OK;
}

// ---------------------------------------------------------------------------
// Whole item.
// ---------------------------------------------------------------------------

STDMETHODIMP CVQData::Clear() {
  ItemContents fresh;
  Adopt(fresh);
  return S_OK;
}

HRESULT CVQData::Snapshot(ItemContents* out) const noexcept {
  try {
    vq::MutexLock lock(m_Lock);
    ItemContents c;
    if (FAILED(c.values.Allocate(m_Values.size()))) return E_OUTOFMEMORY;
    if (m_Values.size() > 0) std::memcpy(c.values.data(), m_Values.data(), static_cast<size_t>(m_Values.size()));
    c.format = m_Format;
    c.xSize = m_XSize;
    c.zSize = m_ZSize;
    c.name = m_Name;
    c.description = m_Description;
    c.axis = m_Axis->Definition();
    HRESULT hr = m_Attributes.CopyTo(&c.attributes);
    if (FAILED(hr)) return hr;
    for (int i = 0; i < 4; ++i) c.tags[i] = m_Tags[i]->Values();
    *out = std::move(c);
    return S_OK;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

void CVQData::Adopt(ItemContents& in) noexcept {
  vq::MutexLock lock(m_Lock);
  m_Values.Swap(in.values);
  m_ViewReadOnly = false;
  m_Format = in.format;
  m_XSize = in.xSize;
  m_ZSize = in.zSize;
  m_Name.swap(in.name);
  m_Description.swap(in.description);
  m_Axis->SetDefinition(std::move(in.axis));
  std::swap(m_Attributes, in.attributes);
  for (int i = 0; i < 4; ++i) m_Tags[i]->SetAll(std::move(in.tags[i]));
}

STDMETHODIMP CVQData::Clone(IVQData** ppCopy) {
  if (ppCopy == nullptr) return Fail(kIid, E_POINTER, "Clone: null pointer");
  *ppCopy = nullptr;
  ItemContents contents;
  if (FAILED(Snapshot(&contents))) return Fail(kIid, E_OUTOFMEMORY, "Clone: out of memory");
  vq::ComPtr<CVQData> copy;
  try {
    copy.attach(vq::MakeComObject<CVQData>());
  } catch (...) {
  }
  if (!copy || !copy->IsComplete()) return Fail(kIid, E_OUTOFMEMORY, "Clone: out of memory");
  copy->Adopt(contents);
  *ppCopy = static_cast<IVQData*>(copy.detach());
  return S_OK;
}

STDMETHODIMP CVQData::SetName(BSTR Name) {
  try {
    std::wstring text = FromBstr(Name);
    vq::MutexLock lock(m_Lock);
    m_Name.swap(text);
    return S_OK;
  } catch (...) {
    return Fail(kIid, E_OUTOFMEMORY, "SetName: out of memory");
  }
}

STDMETHODIMP CVQData::GetName(BSTR* pName) {
  vq::MutexLock lock(m_Lock);
  return CopyOut(m_Name, pName, kIid, "GetName");
}

STDMETHODIMP CVQData::SetDescription(BSTR Description) {
  try {
    std::wstring text = FromBstr(Description);
    if (text.size() > kMaxTextChars) return Fail(kIid, E_INVALIDARG, "SetDescription: the text is too long");
    vq::MutexLock lock(m_Lock);
    m_Description.swap(text);
    return S_OK;
  } catch (...) {
    return Fail(kIid, E_OUTOFMEMORY, "SetDescription: out of memory");
  }
}

STDMETHODIMP CVQData::GetDescription(BSTR* pDescription) {
  vq::MutexLock lock(m_Lock);
  return CopyOut(m_Description, pDescription, kIid, "GetDescription");
}

// ---------------------------------------------------------------------------
// Axis.
// ---------------------------------------------------------------------------

STDMETHODIMP CVQData::GetAxis(IVQAxis** ppAxis) {
  if (ppAxis == nullptr) return Fail(kIid, E_POINTER, "GetAxis: null pointer");
  m_Axis->AddRef();
  *ppAxis = m_Axis.get();
  return S_OK;
}

STDMETHODIMP CVQData::SetAxis(IVQAxis* Source) {
  if (Source == nullptr) return Fail(kIid, E_POINTER, "SetAxis: null source");
  HRESULT hr = m_Axis->CopyFrom(Source);
  if (FAILED(hr))
    return Fail(kIid, hr, "SetAxis: the source axis cannot be taken over (0x%08X)", static_cast<unsigned>(hr));
  return S_OK;
}

// ---------------------------------------------------------------------------
// Attributes.
// ---------------------------------------------------------------------------

STDMETHODIMP CVQData::GetAttributes(IVQAttributeGroups** ppGroups) {
  if (ppGroups == nullptr) return Fail(kIid, E_POINTER, "GetAttributes: null pointer");
  *ppGroups = MakeGroupsView(this, 0);
  if (*ppGroups == nullptr) return Fail(kIid, E_OUTOFMEMORY, "GetAttributes: out of memory");
  return S_OK;
}

STDMETHODIMP CVQData::GetIndexedAttributes(LONG Dimension, IVQIndexedAttributes** ppIndexed) {
  if (ppIndexed == nullptr) return Fail(kIid, E_POINTER, "GetIndexedAttributes: null pointer");
  *ppIndexed = nullptr;
  HRESULT hr = CheckDimension(Dimension, kIid, "GetIndexedAttributes");
  if (FAILED(hr)) return hr;
  *ppIndexed = MakeIndexedView(this);
  if (*ppIndexed == nullptr) return Fail(kIid, E_OUTOFMEMORY, "GetIndexedAttributes: out of memory");
  return S_OK;
}

STDMETHODIMP CVQData::ClearAttributes() {
  vq::MutexLock lock(m_Lock);
  m_Attributes.plain.clear();
  return S_OK;
}

STDMETHODIMP CVQData::ClearIndexedAttributes() {
  vq::MutexLock lock(m_Lock);
  m_Attributes.indexed.clear();
  return S_OK;
}

HRESULT CVQData::AddAttributeTo(LONG record, BSTR Group, BSTR Name, BSTR SecondName, const VARIANT& Value, REFIID iid,
                                const char* what) {
  try {
    std::wstring group = FromBstr(Group), name = FromBstr(Name), second = FromBstr(SecondName);
    if (group.size() > kMaxTextChars || name.size() > kMaxTextChars || second.size() > kMaxTextChars)
      return Fail(iid, E_INVALIDARG, "%s: a name is longer than %zu characters", what, kMaxTextChars);
    OwnedVariant value;
    HRESULT hr = PrepareValue(Value, &value, iid, what);
    if (FAILED(hr)) return hr;
    vq::MutexLock lock(m_Lock);
    GroupList* list = m_Attributes.List(record, true);
    auto node = FindOrAddGroup(*list, group, second);
    if (!node) {
      m_Attributes.Prune(record);
      return Fail(iid, E_OUTOFMEMORY, "%s: too many groups", what);
    }
    hr = SetAttribute(*node, name, value);
    if (FAILED(hr)) return Fail(iid, hr, "%s: too many attributes in the group", what);
    return S_OK;
  } catch (...) {
    vq::MutexLock lock(m_Lock);
    m_Attributes.Prune(record);
    return Fail(iid, E_OUTOFMEMORY, "%s: out of memory", what);
  }
}

STDMETHODIMP CVQData::AddAttribute(BSTR Group, BSTR Name, BSTR SecondName, VARIANT Value) {
  return AddAttributeTo(0, Group, Name, SecondName, Value, kIid, "AddAttribute");
}

STDMETHODIMP CVQData::AddIndexedAttribute(LONG Dimension, LONG Record, BSTR Group, BSTR Name, BSTR SecondName,
                                          VARIANT Value) {
  HRESULT hr = CheckDimension(Dimension, kIid, "AddIndexedAttribute");
  if (FAILED(hr)) return hr;
  if (Record < 1) return Fail(kIid, E_INVALIDARG, "AddIndexedAttribute: record %d is below 1", Record);
  return AddAttributeTo(Record, Group, Name, SecondName, Value, kIid, "AddIndexedAttribute");
}

HRESULT CVQData::AddGroupTo(LONG record, BSTR Group, BSTR SecondName, IVQAttributeGroup** ppGroup, const char* what) {
  if (ppGroup == nullptr) return Fail(kIid, E_POINTER, "%s: null pointer", what);
  *ppGroup = nullptr;
  vq::ComPtr<IVQAttributeGroups> groups;
  groups.attach(MakeGroupsView(this, record));
  if (!groups) return Fail(kIid, E_OUTOFMEMORY, "%s: out of memory", what);
  return groups->Add(Group, SecondName, ppGroup);
}

STDMETHODIMP CVQData::AddAttributeGroup(BSTR Group, BSTR SecondName, IVQAttributeGroup** ppGroup) {
  return AddGroupTo(0, Group, SecondName, ppGroup, "AddAttributeGroup");
}

STDMETHODIMP CVQData::AddIndexedAttributeGroup(LONG Dimension, LONG Record, BSTR Group, BSTR SecondName,
                                               IVQAttributeGroup** ppGroup) {
  HRESULT hr = CheckDimension(Dimension, kIid, "AddIndexedAttributeGroup");
  if (FAILED(hr)) return hr;
  if (Record < 1) return Fail(kIid, E_INVALIDARG, "AddIndexedAttributeGroup: record %d is below 1", Record);
  return AddGroupTo(Record, Group, SecondName, ppGroup, "AddIndexedAttributeGroup");
}

HRESULT CVQData::FindAttributeValue(LONG record, BSTR Group, BSTR Name, VARIANT* pValue, const char* what) {
  if (pValue == nullptr) return Fail(kIid, E_POINTER, "%s: null pointer", what);
  VariantInit(pValue);
  try {
    std::wstring group = FromBstr(Group), name = FromBstr(Name);
    vq::MutexLock lock(m_Lock);
    if (GroupList* list = m_Attributes.List(record, false)) {
      for (const auto& g : *list) {
        if (g->name != group) continue;
        for (const auto& a : g->attributes) {
          if (a->name == name) {
            HRESULT hr = VariantCopy(pValue, &a->value.get());
            if (FAILED(hr)) return Fail(kIid, hr, "%s: the value cannot be copied", what);
            return S_OK;
          }
        }
      }
    }
  } catch (...) {
    return Fail(kIid, E_OUTOFMEMORY, "%s: out of memory", what);
  }
  return Fail(kIid, TYPE_E_ELEMENTNOTFOUND, "%s: no such attribute", what);
}

STDMETHODIMP CVQData::GetAttributeValue(BSTR Group, BSTR Name, VARIANT* pValue) {
  return FindAttributeValue(0, Group, Name, pValue, "GetAttributeValue");
}

STDMETHODIMP CVQData::GetIndexedAttributeValue(LONG Dimension, LONG Record, BSTR Group, BSTR Name, VARIANT* pValue) {
  if (pValue != nullptr) VariantInit(pValue);
  HRESULT hr = CheckDimension(Dimension, kIid, "GetIndexedAttributeValue");
  if (FAILED(hr)) return hr;
  if (Record < 1) return Fail(kIid, E_INVALIDARG, "GetIndexedAttributeValue: record %d is below 1", Record);
  return FindAttributeValue(Record, Group, Name, pValue, "GetIndexedAttributeValue");
}

STDMETHODIMP CVQData::RemoveAttribute(BSTR Group, BSTR Name) {
  try {
    std::wstring group = FromBstr(Group), name = FromBstr(Name);
    vq::MutexLock lock(m_Lock);
    bool removed = false;
    for (const auto& g : m_Attributes.plain) {
      if (g->name != group) continue;
      auto& attrs = g->attributes;
      for (auto it = attrs.begin(); it != attrs.end();) {
        if ((*it)->name == name) {
          it = attrs.erase(it);
          removed = true;
        } else {
          ++it;
        }
      }
    }
    return removed ? S_OK : S_FALSE;
  } catch (...) {
    return Fail(kIid, E_OUTOFMEMORY, "RemoveAttribute: out of memory");
  }
}

STDMETHODIMP CVQData::RemoveIndexedAttributes(LONG Dimension, LONG Record) {
  HRESULT hr = CheckDimension(Dimension, kIid, "RemoveIndexedAttributes");
  if (FAILED(hr)) return hr;
  vq::MutexLock lock(m_Lock);
  return m_Attributes.indexed.erase(Record) > 0 ? S_OK : S_FALSE;
}

STDMETHODIMP CVQData::CopyAttributesTo(IUnknown* Target) {
  if (Target == nullptr) return Fail(kIid, E_POINTER, "CopyAttributesTo: null target");
  vq::ComPtr<IVQData> target;
  HRESULT hr = Target->QueryInterface(IID_IVQData, reinterpret_cast<void**>(target.put()));
  if (FAILED(hr)) return Fail(kIid, hr, "CopyAttributesTo: the target is not a data item");
  AttributeStore copy;
  {
    vq::MutexLock lock(m_Lock);
    hr = m_Attributes.CopyTo(&copy);
  }
  if (FAILED(hr)) return Fail(kIid, hr, "CopyAttributesTo: out of memory");
  // The lock is not held from here: the target may be this very item.
  auto copyList = [&](LONG record, const GroupList& list) -> HRESULT {
    for (const auto& g : list) {
      BSTR group = ToBstr(g->name), second = ToBstr(g->secondName);
      HRESULT r = group && second ? S_OK : E_OUTOFMEMORY;
      for (size_t i = 0; SUCCEEDED(r) && i < g->attributes.size(); ++i) {
        BSTR name = ToBstr(g->attributes[i]->name);
        if (name == nullptr) {
          r = E_OUTOFMEMORY;
          break;
        }
        VARIANT value = g->attributes[i]->value.get();  // borrowed, not cleared here
        r = record == 0 ? target->AddAttribute(group, name, second, value)
                        : target->AddIndexedAttribute(1, record, group, name, second, value);
        SysFreeString(name);
      }
      SysFreeString(group);
      SysFreeString(second);
      if (FAILED(r)) return r;
    }
    return S_OK;
  };
  hr = copyList(0, copy.plain);
  for (auto it = copy.indexed.begin(); SUCCEEDED(hr) && it != copy.indexed.end(); ++it)
    hr = copyList(it->first, it->second);
  if (FAILED(hr))
    return Fail(kIid, hr, "CopyAttributesTo: the target refused an attribute (0x%08X)", static_cast<unsigned>(hr));
  return S_OK;
}

// ---------------------------------------------------------------------------
// Tag vectors.
// ---------------------------------------------------------------------------

STDMETHODIMP CVQData::GetTagVector(LONG Index, IVQTagVector** ppVector) {
  if (ppVector == nullptr) return Fail(kIid, E_POINTER, "GetTagVector: null pointer");
  *ppVector = nullptr;
  if (Index < 0 || Index > 3) return Fail(kIid, E_INVALIDARG, "GetTagVector: index %d is outside 0..3", Index);
  m_Tags[Index]->AddRef();
  *ppVector = m_Tags[Index].get();
  return S_OK;
}

STDMETHODIMP CVQData::ClearTagVectors() {
  for (auto& t : m_Tags) t->Clear();
  return S_OK;
}

STDMETHODIMP CVQData::ClearAllTagVectors() { return ClearTagVectors(); }

STDMETHODIMP CVQData::GetTagVectorCount(LONG* pCount) {
  if (pCount == nullptr) return Fail(IID_IVQDataTagVectors, E_POINTER, "GetTagVectorCount: null pointer");
  *pCount = 4;
  return S_OK;
}

STDMETHODIMP CVQData::HasTagVectors(VARIANT_BOOL* pHas) {
  if (pHas == nullptr) return Fail(IID_IVQDataTagVectors, E_POINTER, "HasTagVectors: null pointer");
  *pHas = VARIANT_FALSE;
  for (auto& t : m_Tags) {
    LONG n = 0;
    t->GetCount(&n);
    if (n > 0) *pHas = VARIANT_TRUE;
  }
  return S_OK;
}

STDMETHODIMP CVQData::CopyTagVectorsTo(IUnknown* Target) {
  if (Target == nullptr) return Fail(IID_IVQDataTagVectors, E_POINTER, "CopyTagVectorsTo: null target");
  vq::ComPtr<IVQDataTagVectors> target;
  HRESULT hr = Target->QueryInterface(IID_IVQDataTagVectors, reinterpret_cast<void**>(target.put()));
  if (FAILED(hr)) return Fail(IID_IVQDataTagVectors, hr, "CopyTagVectorsTo: the target has no tag vectors");
  if (target.get() == static_cast<IVQDataTagVectors*>(this)) return S_OK;
  for (LONG i = 0; i < 4; ++i) {
    LONG n = 0;
    m_Tags[i]->GetCount(&n);
    if (n == 0) continue;
    vq::ComPtr<IVQTagVector> vector;
    hr = target->GetTagVector(i, vector.put());
    if (SUCCEEDED(hr) && !vector) hr = E_POINTER;
    if (SUCCEEDED(hr)) hr = m_Tags[i]->CopyTo(vector.get());
    if (FAILED(hr))
      return Fail(IID_IVQDataTagVectors, hr, "CopyTagVectorsTo: tag vector %d could not be copied (0x%08X)", i,
                  static_cast<unsigned>(hr));
  }
  return S_OK;
}

// ---------------------------------------------------------------------------
// Persistence.
// ---------------------------------------------------------------------------

STDMETHODIMP CVQData::SaveToStream(IStream* pStream) {
  if (pStream == nullptr) return Fail(IID_IVQDataPersist, E_POINTER, "SaveToStream: null stream");
  std::string why;
  HRESULT hr;
  try {
    vq::MutexLock lock(m_Lock);
    AxisDefinition axis;
    std::vector<double> tags[4];
    const ItemView view = ViewForSave(&axis, tags);
    hr = WriteForm(pStream, view, &why);
  } catch (...) {
    return Fail(IID_IVQDataPersist, E_OUTOFMEMORY, "SaveToStream: out of memory");
  }
  if (FAILED(hr)) return Fail(IID_IVQDataPersist, hr, "SaveToStream: %s", why.c_str());
  return S_OK;
}

ItemView CVQData::ViewForSave(AxisDefinition* axis, std::vector<double> (&tags)[4]) const {
  *axis = m_Axis->Definition();
  for (int i = 0; i < 4; ++i) tags[i] = m_Tags[i]->Values();
  ItemView view;
  view.format = m_Format;
  view.xSize = m_XSize;
  view.zSize = m_ZSize;
  view.values = m_Values.data();
  view.valueBytes = m_Values.size();
  view.name = &m_Name;
  view.description = &m_Description;
  view.axis = axis;
  view.attributes = &m_Attributes;
  for (int i = 0; i < 4; ++i) view.tags[i] = &tags[i];
  return view;
}

STDMETHODIMP CVQData::GetSaveSize(ULONGLONG* pBytes) {
  if (pBytes == nullptr) return Fail(IID_IVQDataPersist, E_POINTER, "GetSaveSize: null pointer");
  try {
    vq::MutexLock lock(m_Lock);
    AxisDefinition axis;
    std::vector<double> tags[4];
    const ItemView view = ViewForSave(&axis, tags);
    uint64_t bytes = 0;
    if (!FormSize(view, &bytes)) return Fail(IID_IVQDataPersist, E_OUTOFMEMORY, "GetSaveSize: the item is too large");
    *pBytes = bytes;
    return S_OK;
  } catch (...) {
    return Fail(IID_IVQDataPersist, E_OUTOFMEMORY, "GetSaveSize: out of memory");
  }
}

STDMETHODIMP CVQData::LoadFromStream(IStream* pStream) {
  if (pStream == nullptr) return Fail(IID_IVQDataPersist, E_POINTER, "LoadFromStream: null stream");
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  ULARGE_INTEGER start;
  start.QuadPart = 0;
  bool canSeek = SUCCEEDED(pStream->Seek(zero, STREAM_SEEK_CUR, &start));
  ItemContents contents;
  std::string why;
  HRESULT hr = ReadForm(pStream, &contents, &why);
  if (FAILED(hr)) {
    if (canSeek) {
      LARGE_INTEGER back;
      back.QuadPart = static_cast<LONGLONG>(start.QuadPart);
      pStream->Seek(back, STREAM_SEEK_SET, nullptr);
    }
    return Fail(IID_IVQDataPersist, hr, "LoadFromStream: %s", why.empty() ? "out of memory" : why.c_str());
  }
  Adopt(contents);
  return S_OK;
}

// ---------------------------------------------------------------------------
// Creation.
// ---------------------------------------------------------------------------

HRESULT CreateDataItem(REFIID riid, void** ppv) noexcept {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  vq::ComPtr<CVQData> item;
  try {
    item.attach(vq::MakeComObject<CVQData>());
  } catch (...) {
  }
  if (!item || !item->IsComplete()) return E_OUTOFMEMORY;
  return item->QueryInterface(riid, ppv);
}

}  // namespace vqdata
