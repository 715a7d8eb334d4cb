// FakeDataItem.h - a data item for tests that counts FreeData and can fail
// on demand.
//
// FakeDataItem forwards every call to a real data item it owns, except
// FreeData (counted in its Probe) and GetDataBuffer / GetRawData (which fail
// while the probe says so). The probe outlives the item, so a test can read
// the count after the item is gone. Single-threaded use, except that the
// probe's fields are atomic.
#pragma once

#include <atomic>
#include <memory>

#include "VQData.h"
#include "VQPlatform.h"

namespace vq::test {

struct DataItemProbe {
  std::atomic<int> freeDataCalls{0};
  std::atomic<bool> failBuffer{false};
  std::atomic<bool> failFreeData{false};
  std::atomic<bool> destroyed{false};
};

class FakeDataItem : public vq::ComObject<FakeDataItem, IVQData> {
 public:
  FakeDataItem(vq::ComPtr<IVQData> inner, std::shared_ptr<DataItemProbe> probe)
      : m_Inner(std::move(inner)), m_Probe(std::move(probe)) {}
  ~FakeDataItem() override { m_Probe->destroyed = true; }

  // A new fake around a new real item of that shape (no values when x or z
  // is 0); null when the real item cannot be made.
  static vq::ComPtr<IVQData> Make(std::shared_ptr<DataItemProbe> probe, LONG x = 0, LONG z = 0,
                                  LONG format = dataFormatFloat64) {
    vq::ComPtr<IVQData> inner;
    if (FAILED(CoCreateInstance(CLSID_VQData, nullptr, CLSCTX_INPROC_SERVER, IID_IVQData, inner.put_void()))) {
      return nullptr;
    }
    if (x > 0 && z > 0 && FAILED(inner->Allocate(x, z, format))) return nullptr;
    vq::ComPtr<IVQData> fake;
    fake.attach(vq::MakeComObject<FakeDataItem>(std::move(inner), std::move(probe)));
    return fake;
  }

  STDMETHODIMP FreeData() override {
    ++m_Probe->freeDataCalls;
    if (m_Probe->failFreeData) return E_ACCESSDENIED;
    return m_Inner->FreeData();
  }
  STDMETHODIMP GetDataBuffer(VQDataBuffer* pBuffer) override {
    return m_Probe->failBuffer ? E_FAIL : m_Inner->GetDataBuffer(pBuffer);
  }
  STDMETHODIMP GetRawData(void** ppValues, ULONGLONG* pBytes) override {
    return m_Probe->failBuffer ? E_FAIL : m_Inner->GetRawData(ppValues, pBytes);
  }

  STDMETHODIMP Clear() override { return m_Inner->Clear(); }
  STDMETHODIMP GetAttributes(IVQAttributeGroups** ppGroups) override { return m_Inner->GetAttributes(ppGroups); }
  STDMETHODIMP GetIndexedAttributes(LONG Dimension, IVQIndexedAttributes** ppIndexed) override {
    return m_Inner->GetIndexedAttributes(Dimension, ppIndexed);
  }
  STDMETHODIMP ClearAttributes() override { return m_Inner->ClearAttributes(); }
  STDMETHODIMP GetSize(LONG Dimension, LONG* pSize) override { return m_Inner->GetSize(Dimension, pSize); }
  STDMETHODIMP GetAxis(IVQAxis** ppAxis) override { return m_Inner->GetAxis(ppAxis); }
  STDMETHODIMP Allocate(LONG nXSize, LONG nZSize, LONG Format) override {
    return m_Inner->Allocate(nXSize, nZSize, Format);
  }
  STDMETHODIMP GetByteSize(ULONGLONG* pBytes) override { return m_Inner->GetByteSize(pBytes); }
  STDMETHODIMP SetDataBuffer(VQDataBuffer Buffer) override { return m_Inner->SetDataBuffer(Buffer); }
  STDMETHODIMP GetValue(LONG X, LONG Z, DOUBLE* pReal, DOUBLE* pImaginary) override {
    return m_Inner->GetValue(X, Z, pReal, pImaginary);
  }
  STDMETHODIMP SetValue(LONG X, LONG Z, DOUBLE Real, DOUBLE Imaginary) override {
    return m_Inner->SetValue(X, Z, Real, Imaginary);
  }
  STDMETHODIMP SetRawData(LONG nXSize, LONG nZSize, LONG Format, const void* pValues, ULONGLONG cbValues) override {
    return m_Inner->SetRawData(nXSize, nZSize, Format, pValues, cbValues);
  }
  STDMETHODIMP ZeroValues() override { return m_Inner->ZeroValues(); }
  STDMETHODIMP Clone(IVQData** ppCopy) override { return m_Inner->Clone(ppCopy); }
  STDMETHODIMP SetAxis(IVQAxis* Source) override { return m_Inner->SetAxis(Source); }
  STDMETHODIMP GetBytesPerValue(LONG* pBytes) override { return m_Inner->GetBytesPerValue(pBytes); }
  STDMETHODIMP SetName(BSTR Name) override { return m_Inner->SetName(Name); }
  STDMETHODIMP GetName(BSTR* pName) override { return m_Inner->GetName(pName); }
  STDMETHODIMP SetDescription(BSTR Description) override { return m_Inner->SetDescription(Description); }
  STDMETHODIMP GetFormat(LONG* pFormat) override { return m_Inner->GetFormat(pFormat); }
  STDMETHODIMP GetDescription(BSTR* pDescription) override { return m_Inner->GetDescription(pDescription); }
  STDMETHODIMP CopyValuesFrom(IUnknown* Source) override { return m_Inner->CopyValuesFrom(Source); }
  STDMETHODIMP GetTagVector(LONG Index, IVQTagVector** ppVector) override {
    return m_Inner->GetTagVector(Index, ppVector);
  }
  STDMETHODIMP ClearTagVectors() override { return m_Inner->ClearTagVectors(); }
  STDMETHODIMP GetRecordValues(LONG Z, LONG Count, DOUBLE* pValues) override {
    return m_Inner->GetRecordValues(Z, Count, pValues);
  }
  STDMETHODIMP SetRecordValues(LONG Z, LONG Count, const DOUBLE* pValues) override {
    return m_Inner->SetRecordValues(Z, Count, pValues);
  }
  STDMETHODIMP GetAttributeValue(BSTR Group, BSTR Name, VARIANT* pValue) override {
    return m_Inner->GetAttributeValue(Group, Name, pValue);
  }
  STDMETHODIMP GetIndexedAttributeValue(LONG Dimension, LONG Record, BSTR Group, BSTR Name, VARIANT* pValue) override {
    return m_Inner->GetIndexedAttributeValue(Dimension, Record, Group, Name, pValue);
  }
  STDMETHODIMP RemoveAttribute(BSTR Group, BSTR Name) override { return m_Inner->RemoveAttribute(Group, Name); }
  STDMETHODIMP RemoveIndexedAttributes(LONG Dimension, LONG Record) override {
    return m_Inner->RemoveIndexedAttributes(Dimension, Record);
  }
  STDMETHODIMP GetMinMax(DOUBLE* pMin, DOUBLE* pMax) override { return m_Inner->GetMinMax(pMin, pMax); }
  STDMETHODIMP SetAllValues(DOUBLE Value) override { return m_Inner->SetAllValues(Value); }
  STDMETHODIMP GetValueCount(ULONGLONG* pCount) override { return m_Inner->GetValueCount(pCount); }
  STDMETHODIMP CopyAttributesTo(IUnknown* Target) override { return m_Inner->CopyAttributesTo(Target); }
  STDMETHODIMP Reshape(LONG nXSize, LONG nZSize) override { return m_Inner->Reshape(nXSize, nZSize); }
  STDMETHODIMP AddAttribute(BSTR Group, BSTR Name, BSTR SecondName, VARIANT Value) override {
    return m_Inner->AddAttribute(Group, Name, SecondName, Value);
  }
  STDMETHODIMP AddAttributeGroup(BSTR Group, BSTR SecondName, IVQAttributeGroup** ppGroup) override {
    return m_Inner->AddAttributeGroup(Group, SecondName, ppGroup);
  }
  STDMETHODIMP AddIndexedAttribute(LONG Dimension, LONG Record, BSTR Group, BSTR Name, BSTR SecondName,
                                   VARIANT Value) override {
    return m_Inner->AddIndexedAttribute(Dimension, Record, Group, Name, SecondName, Value);
  }
  STDMETHODIMP AddIndexedAttributeGroup(LONG Dimension, LONG Record, BSTR Group, BSTR SecondName,
                                        IVQAttributeGroup** ppGroup) override {
    return m_Inner->AddIndexedAttributeGroup(Dimension, Record, Group, SecondName, ppGroup);
  }
  STDMETHODIMP ClearIndexedAttributes() override { return m_Inner->ClearIndexedAttributes(); }
  STDMETHODIMP AllocateLike(IUnknown* Source) override { return m_Inner->AllocateLike(Source); }
  STDMETHODIMP GetRecordPointer(LONG Z, void** ppValues) override { return m_Inner->GetRecordPointer(Z, ppValues); }
  STDMETHODIMP IsAllocated(VARIANT_BOOL* pAllocated) override { return m_Inner->IsAllocated(pAllocated); }

 private:
  vq::ComPtr<IVQData> m_Inner;
  std::shared_ptr<DataItemProbe> m_Probe;
};

}  // namespace vq::test
