// VQDataItem.h - CVQData, the data item object.
//
// One CVQData is one data item: values (m_Values with m_Format, m_XSize,
// m_ZSize), name and description, attributes (AttributeHost::m_Attributes),
// an axis object and four tag vector objects created with the item and kept
// for its whole life. It answers IVQData, IVQDataTagVectors (both share
// IVQDataCore), IVQDataPersist and ISupportErrorInfo.
//
// Locking: m_Lock (from AttributeHost) guards every member listed above except
// the pointers m_Axis and m_Tags, which never change after construction; the
// axis and the tag vectors guard their own contents and their locks are only
// ever taken inside m_Lock or alone. Calls into other objects (a target item,
// a source axis, a stream) are made without m_Lock, except the stream calls
// of SaveToStream, which keep the state whole while it is written; the
// stream must therefore not call back into the item.
//
// Threads: created on any thread; every method may be called from any thread.
#pragma once

#include <string>

#include "VQData.h"
#include "dataitem/VQDataView.h"
#include "vqdata/VQAttributeImpl.h"
#include "vqdata/VQAxisImpl.h"
#include "vqdata/VQDataInternal.h"
#include "vqdata/VQTagVectorImpl.h"
#include "vqdata/VQValueBuffer.h"

namespace vqdata {

struct ItemView;  // the stream form's view of an item (VQDataFormat.h)

// Everything an item holds, as plain values: what LoadFromStream builds
// before it swaps it in, and what Clone copies.
struct ItemContents {
  LONG format = dataFormatFloat64;
  LONG xSize = 0;
  LONG zSize = 0;
  ValueBuffer values;
  std::wstring name;
  std::wstring description;
  AxisDefinition axis;
  AttributeStore attributes;
  std::vector<double> tags[4];
};

class CVQData final
    : public vq::ComObject<CVQData, IVQData, IVQDataTagVectors, IVQDataPersist, IVQDataView,
                           vq::SupportErrorInfoFor<IVQData, IVQDataCore, IVQDataTagVectors, IVQDataPersist>>,
      public AttributeHost,
      private ModuleObject {
 public:
  CVQData();
  // False when the axis or a tag vector could not be made; such an object is
  // released at once by its creator.
  bool IsComplete() const noexcept;

  IUnknown* HostUnknown() noexcept override { return GetUnknown(); }

  // IVQDataCore
  STDMETHODIMP Clear() override;
  STDMETHODIMP GetAttributes(IVQAttributeGroups** ppGroups) override;
  STDMETHODIMP GetIndexedAttributes(LONG Dimension, IVQIndexedAttributes** ppIndexed) override;
  STDMETHODIMP ClearAttributes() override;
  STDMETHODIMP GetSize(LONG Dimension, LONG* pSize) override;
  STDMETHODIMP GetAxis(IVQAxis** ppAxis) override;
  STDMETHODIMP Allocate(LONG nXSize, LONG nZSize, LONG Format) override;
  STDMETHODIMP GetByteSize(ULONGLONG* pBytes) override;
  STDMETHODIMP SetDataBuffer(VQDataBuffer Buffer) override;
  STDMETHODIMP GetValue(LONG X, LONG Z, DOUBLE* pReal, DOUBLE* pImaginary) override;
  STDMETHODIMP SetValue(LONG X, LONG Z, DOUBLE Real, DOUBLE Imaginary) override;
  STDMETHODIMP GetRawData(void** ppValues, ULONGLONG* pBytes) override;
  STDMETHODIMP SetRawData(LONG nXSize, LONG nZSize, LONG Format, const void* pValues, ULONGLONG cbValues) override;
  STDMETHODIMP ZeroValues() override;
  STDMETHODIMP Clone(IVQData** ppCopy) override;
  STDMETHODIMP SetAxis(IVQAxis* Source) override;
  STDMETHODIMP GetBytesPerValue(LONG* pBytes) override;
  STDMETHODIMP SetName(BSTR Name) override;
  STDMETHODIMP GetName(BSTR* pName) override;
  STDMETHODIMP SetDescription(BSTR Description) override;
  STDMETHODIMP GetFormat(LONG* pFormat) override;
  STDMETHODIMP GetDescription(BSTR* pDescription) override;
  STDMETHODIMP CopyValuesFrom(IUnknown* Source) override;

  // IVQData
  STDMETHODIMP GetTagVector(LONG Index, IVQTagVector** ppVector) override;
  STDMETHODIMP ClearTagVectors() override;
  STDMETHODIMP GetRecordValues(LONG Z, LONG Count, DOUBLE* pValues) override;
  STDMETHODIMP SetRecordValues(LONG Z, LONG Count, const DOUBLE* pValues) override;
  STDMETHODIMP GetAttributeValue(BSTR Group, BSTR Name, VARIANT* pValue) override;
  STDMETHODIMP GetIndexedAttributeValue(LONG Dimension, LONG Record, BSTR Group, BSTR Name, VARIANT* pValue) override;
  STDMETHODIMP RemoveAttribute(BSTR Group, BSTR Name) override;
  STDMETHODIMP RemoveIndexedAttributes(LONG Dimension, LONG Record) override;
  STDMETHODIMP GetMinMax(DOUBLE* pMin, DOUBLE* pMax) override;
  STDMETHODIMP SetAllValues(DOUBLE Value) override;
  STDMETHODIMP GetValueCount(ULONGLONG* pCount) override;
  STDMETHODIMP CopyAttributesTo(IUnknown* Target) override;
  STDMETHODIMP Reshape(LONG nXSize, LONG nZSize) override;
  STDMETHODIMP AddAttribute(BSTR Group, BSTR Name, BSTR SecondName, VARIANT Value) override;
  STDMETHODIMP AddAttributeGroup(BSTR Group, BSTR SecondName, IVQAttributeGroup** ppGroup) override;
  STDMETHODIMP AddIndexedAttribute(LONG Dimension, LONG Record, BSTR Group, BSTR Name, BSTR SecondName,
                                   VARIANT Value) override;
  STDMETHODIMP AddIndexedAttributeGroup(LONG Dimension, LONG Record, BSTR Group, BSTR SecondName,
                                        IVQAttributeGroup** ppGroup) override;
  STDMETHODIMP ClearIndexedAttributes() override;
  STDMETHODIMP GetDataBuffer(VQDataBuffer* pBuffer) override;
  STDMETHODIMP AllocateLike(IUnknown* Source) override;
  STDMETHODIMP GetRecordPointer(LONG Z, void** ppValues) override;
  STDMETHODIMP IsAllocated(VARIANT_BOOL* pAllocated) override;
  STDMETHODIMP FreeData() override;

  // IVQDataTagVectors
  STDMETHODIMP GetTagVectorCount(LONG* pCount) override;
  STDMETHODIMP HasTagVectors(VARIANT_BOOL* pHas) override;
  STDMETHODIMP ClearAllTagVectors() override;
  STDMETHODIMP CopyTagVectorsTo(IUnknown* Target) override;

  // IVQDataPersist
  STDMETHODIMP SaveToStream(IStream* pStream) override;
  STDMETHODIMP LoadFromStream(IStream* pStream) override;
  STDMETHODIMP GetSaveSize(ULONGLONG* pBytes) override;

  // IVQDataView
  STDMETHODIMP ShowValues(IUnknown* Owner, void* Values, LONG nXSize, LONG nZSize, LONG Format, BOOL Writable) override;
  STDMETHODIMP ShowsValues(const void* Values) override;

  // Copies the whole state into out (under m_Lock).
  HRESULT Snapshot(ItemContents* out) const noexcept;
  // Replaces the whole state with in (under m_Lock).
  void Adopt(ItemContents& in) noexcept;

 private:
  // The item's state as the stream form sees it. REQUIRES: m_Lock held; the
  // axis and tag copies are filled here and must outlive the view.
  ItemView ViewForSave(AxisDefinition* axis, std::vector<double> (&tags)[4]) const VQ_REQUIRES(m_Lock);
  // REQUIRES: m_Lock held. Gives the item that shape: a new zero-filled
  // buffer, or the current one when its byte size is unchanged; on failure
  // nothing changes.
  HRESULT Reallocate(LONG nXSize, LONG nZSize, LONG format, const char* what) VQ_REQUIRES(m_Lock);
  // REQUIRES: m_Lock held. Before a value setter writes: a view lent for
  // reading becomes a block of the item's own. E_OUTOFMEMORY (with error
  // information) when the copy cannot be had.
  HRESULT PrepareWrite(const char* what) VQ_REQUIRES(m_Lock);
  // Records a new shape of the values (format and sizes); the x-axis follows
  // the new count of values per record.
  void TakeShape(LONG format, LONG nXSize, LONG nZSize) VQ_REQUIRES(m_Lock);
  HRESULT AddAttributeTo(LONG record, BSTR Group, BSTR Name, BSTR SecondName, const VARIANT& Value, REFIID iid,
                         const char* what);
  HRESULT AddGroupTo(LONG record, BSTR Group, BSTR SecondName, IVQAttributeGroup** ppGroup, const char* what);
  HRESULT FindAttributeValue(LONG record, BSTR Group, BSTR Name, VARIANT* pValue, const char* what);

  ValueBuffer m_Values VQ_GUARDED_BY(m_Lock);
  // m_Values shows a lender's memory that the item's setters may not change.
  bool m_ViewReadOnly VQ_GUARDED_BY(m_Lock) = false;
  LONG m_Format VQ_GUARDED_BY(m_Lock) = dataFormatFloat64;
  LONG m_XSize VQ_GUARDED_BY(m_Lock) = 0;
  LONG m_ZSize VQ_GUARDED_BY(m_Lock) = 0;
  std::wstring m_Name VQ_GUARDED_BY(m_Lock);
  std::wstring m_Description VQ_GUARDED_BY(m_Lock);
  vq::ComPtr<CVQAxis> m_Axis;          // fixed after construction
  vq::ComPtr<CVQTagVector> m_Tags[4];  // fixed after construction
};

// Creates an item and asks it for riid (the class object's work).
HRESULT CreateDataItem(REFIID riid, void** ppv) noexcept;

}  // namespace vqdata
