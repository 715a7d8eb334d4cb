#include "storage/PoolItem.h"

#include "trace/VQTrace.h"

namespace {

// The identity of a COM object: its IUnknown pointer (null for null).
IUnknown* Identity(IUnknown* object, vq::ComPtr<IUnknown>* holder) {
  if (object == nullptr) return nullptr;
  if (FAILED(object->QueryInterface(IID_IUnknown, holder->put_void()))) return object;
  return holder->get();
}

ULONG CountOf(IVQData* item) {
  if (item == nullptr) return 0;
  item->AddRef();
  return item->Release();
}

}  // namespace

CPoolItem::CPoolItem(uint32_t slot, const CAxisManager::Ref& axisId, const CAttributeManager::Ref& attributeId,
                     IUnknown* dataItem, bool writable, const Subset* subset) {
  if (dataItem != nullptr) dataItem->QueryInterface(IID_IVQData, m_DataItem.put_void());
  Set(slot, axisId, attributeId, dataItem, writable, subset);
}

CPoolItem::~CPoolItem() {
  if (!m_DataItem) return;
  const ULONG count = RefCount();
  if (count > 1) VQ_TRACE("CPoolItem::~CPoolItem", "DataMatrix", 2, "~CPoolItem(%u): refCount=%u", m_Slot, count);
  Discard();
}

void CPoolItem::Set(uint32_t slot, const CAxisManager::Ref& axisId, const CAttributeManager::Ref& attributeId,
                    IUnknown* dataItem, bool writable, const Subset* subset) {
  m_Slot = slot;
  m_Writable = writable;
  HRESULT freed = S_OK;
  bool different = false;
  {
    // The identity references must be gone before the count is read.
    vq::ComPtr<IUnknown> a, b;
    different = Identity(m_DataItem.get(), &a) != Identity(dataItem, &b);
  }
  if (different) {
    freed = Discard();
    if (dataItem != nullptr) dataItem->QueryInterface(IID_IVQData, m_DataItem.put_void());
  }
  m_AxisId = axisId;
  m_AttributeId = attributeId;
  m_Subset = subset != nullptr ? *subset : kWholeElement;
  if (FAILED(freed)) _com_issue_error(freed);
}

void CPoolItem::Reuse(uint32_t slot, bool writable, const Subset* subset) {
  Set(slot, m_AxisId, m_AttributeId, m_DataItem.get(), writable, subset);
}

bool CPoolItem::HasSubset() const {
  return m_Subset.FirstX != -1 || m_Subset.FirstRecord != -1 || m_Subset.LastX != -1 || m_Subset.LastRecord != -1;
}

int CPoolItem::CompareSubset(const Subset& r) const {
  const Subset& h = m_Subset;
  if (h.FirstX == r.FirstX && h.FirstRecord == r.FirstRecord && h.LastX == r.LastX && h.LastRecord == r.LastRecord) {
    return 0;
  }
  if (!HasSubset()) return -1;
  if (h.FirstX <= r.FirstX && h.FirstRecord <= r.FirstRecord && h.LastX >= r.LastX && h.LastRecord >= r.LastRecord) {
    return -1;
  }
  return 1;
}

void CPoolItem::GetSubset(Subset* subset) const { *subset = m_Subset; }

ULONG CPoolItem::RefCount() const { return CountOf(m_DataItem.get()); }

HRESULT CPoolItem::Discard() {
  if (!m_DataItem) return S_OK;
  HRESULT hr = S_OK;
  if (RefCount() == 1) hr = m_DataItem->FreeData();
  m_DataItem = nullptr;
  return hr;
}
