// PoolItem.h - the record a multi-object storage object keeps for each data
// item it hands out.
//
// A CMultiData holds the values of several elements (its slots) in one
// buffer; a client gets a separate IVQData item that shows one slot's values,
// or a part of them, in that buffer. The pool item
// remembers which slot the item shows, which part of the element it covers
// (its subset), which axis and attribute set (ids in the shared managers) it
// carries, and whether the client got it for writing, so that its values can
// be folded back once the client lets go.
//
// Ownership: the pool item owns exactly one reference to its data item. The
// lock state of the slot is that item's reference count, never stored: 1
// means only the pool item holds it (free), 2 or more means a client does
// (locked). A count read is a snapshot; it can rise only through a hand-out,
// which the owning storage object makes under its own lock.
//
// A pool item has no lock of its own: every call is made under the lock of
// the CMultiData that owns it, on whichever thread holds that lock (the
// client's, or the memory watcher's while it asks whether the object is
// locked).
//
// Lifecycle (see docs/STORAGE.md): active and locked (a client holds the
// item) -> active and free (count 1) -> idle (on the storage object's free
// list, item kept for reuse) -> active again (Reuse) or destroyed.
#pragma once

#include <cstdint>

#include "VQData.h"
#include "VQPlatform.h"
#include "storage/AttributeManager.h"
#include "storage/AxisManager.h"

class CPoolItem {
 public:
  // The part of an element an item holds, bounds inclusive: x index within a
  // record and record number. All four -1 mean the whole element.
  struct Subset {
    LONG FirstX;
    LONG FirstRecord;
    LONG LastX;
    LONG LastRecord;
  };
  static constexpr Subset kWholeElement{-1, -1, -1, -1};
  // An axis or attribute id that no longer describes the item (a client had
  // it for writing, or its axis was cut for a subset): the next hand-out
  // applies the storage object's own again. The ids the item shows are
  // counted references, so that a set it shows is never dropped and its id
  // given to another set while the item would still claim to show it.
  static constexpr uint32_t kUnknownId = UINT32_MAX;
  static CAttributeManager::Ref UnknownAttributes() { return CAttributeManager::Ref::Unowned(kUnknownId); }

  // Takes its own reference to `dataItem` (asked for IVQData; an object
  // without it leaves the reference empty, without error), then as Set.
  CPoolItem(uint32_t slot, const CAxisManager::Ref& axisId, const CAttributeManager::Ref& attributeId,
            IUnknown* dataItem, bool writable, const Subset* subset);
  // Traces the count when a client still holds the item ("~CPoolItem(%u):
  // refCount=%u") and lets go of it; FreeData is called only when nobody
  // else holds it, so a client's item never loses its values under it.
  ~CPoolItem();
  CPoolItem(const CPoolItem&) = delete;
  CPoolItem& operator=(const CPoolItem&) = delete;

  // Stores slot, writable flag, ids and subset (null: the whole element).
  // A different data item (compared by IUnknown identity) replaces the held
  // one, which is given FreeData first when nobody else holds it. A failed
  // FreeData is raised as a _com_error after the new item is in place.
  void Set(uint32_t slot, const CAxisManager::Ref& axisId, const CAttributeManager::Ref& attributeId,
           IUnknown* dataItem, bool writable, const Subset* subset);
  // Set with the held item and ids: gives an idle pool item another slot.
  void Reuse(uint32_t slot, bool writable, const Subset* subset);

  // False when the item holds the whole element.
  bool HasSubset() const;
  // 0: the held subset equals `request`; -1: it covers the request (signed
  // comparison) or the item holds the whole element; 1: otherwise.
  int CompareSubset(const Subset& request) const;
  void GetSubset(Subset* subset) const;

  // The item's reference count, read by adding a reference and releasing
  // it; 0 without an item.
  ULONG RefCount() const;
  // Gives the item FreeData when nobody else holds it and lets go of it;
  // returns FreeData's result (S_OK when it was not called).
  HRESULT Discard();
  // Gives up the item without emptying it: the caller lets go of the
  // reference (its last one frees the values, as Discard would).
  vq::ComPtr<IVQData> Surrender() { return std::move(m_DataItem); }

  IVQData* DataItem() const { return m_DataItem.get(); }
  uint32_t Slot() const { return m_Slot; }
  uint32_t AxisId() const { return m_AxisId; }
  void SetAxisId(const CAxisManager::Ref& id) { m_AxisId = id; }
  void SetAxisUnknown() { m_AxisId = CAxisManager::Ref::Unowned(kUnknownId); }
  uint32_t AttributeId() const { return m_AttributeId; }
  void SetAttributeId(const CAttributeManager::Ref& id) { m_AttributeId = id; }
  void SetAttributesUnknown() { m_AttributeId = UnknownAttributes(); }
  bool Writable() const { return m_Writable; }
  void SetWritable(bool writable) { m_Writable = writable; }
  // Set while the item was handed out and the caller may not have added its
  // own reference yet (see CMultiData::Recycle).
  bool HandOutPending() const { return m_HandOutPending; }
  void SetHandOutPending(bool pending) { m_HandOutPending = pending; }

 private:
  vq::ComPtr<IVQData> m_DataItem;
  CAxisManager::Ref m_AxisId;
  CAttributeManager::Ref m_AttributeId;
  bool m_Writable = false;
  uint32_t m_Slot = 0;
  Subset m_Subset = kWholeElement;
  bool m_HandOutPending = false;
};
