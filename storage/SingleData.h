// SingleData.h - storage of one element in its own data item.
//
// CSingleData is the storage kind of a matrixSingleObject matrix: one object
// per element, holding that element's IVQData item. When the memory watcher
// picks it, it writes the item's values to the swap file, records the axis
// and attributes in the shared managers and lets go of the item; the next
// access creates a new item and rebuilds it from the swap file, whole or
// only the part asked for.
//
// States (item / in memory / on disk / modified):
//   empty            none / no / no / no      construction
//   allocated        yes / yes / no / no      Allocate, Initialize, ReplaceData
//   in use (write)   yes / yes / maybe / yes  GetAllData(forWriting)
//   swapped out      none / no / yes / no     SaveToDisk
//   reloaded         yes / yes / yes / no     GetAllData, GetDataSubset
// A reload keeps the block, so a later save rewrites values only when the
// element was handed out for writing. A reload may leave the attributes out
// (m_ItemShowsAttributes clear); they are put back before the item goes to a
// caller that asks for them or may write, and are never recorded from an item
// that does not show them. The held bounds (x from..to, z from..to,
// inclusive) tell whether the item holds the whole element or a subset.
//
// Lock rule: the object is locked while its item's reference count is 2 or
// more (one reference is the object's own; any other is a client's). A
// locked item is never saved, freed or reallocated; when a client still
// holds a subset item and the whole element is wanted, the object lets go of
// that item (the client keeps it) and builds a new one.
//
// Threads: every operation runs under the matrix's m_DataLock, except
// IsLocked, which the swap queue calls from the memory watcher without it,
// and the write of a save in flight. m_ItemLock therefore guards the item
// reference against that one reader: it is held while the reference is
// replaced and while IsLocked reads the count, and never while the item is
// called otherwise.
//
// A save in flight (BeginSave .. EndSave) holds a reference on the item
// (m_SavingItem) and writes its values without m_DataLock. That reference
// is no client's: IsLocked does not count it. Nothing changes or frees those
// values meanwhile: the item is not emptied while the save holds it
// (ResetItem frees only an item nobody else references), and before it is
// handed out or given new values in place (a hand-out, Initialize, a
// read-back) the object takes a clone of it as its item (UnshareItem), so
// the client never waits for the write and the save's commit, which sees
// the operation, is dropped.
#pragma once

#include <mutex>

#include "storage/DataBase.h"

class CSingleData : public CDataBase {
 public:
  using CDataBase::CDataBase;
  ~CSingleData() override;

  bool IsLocked() override;
  SaveStart BeginSave(SaveWork* work) override;
  bool EndSave(SaveWork* work) override;

  // For tests and diagnostics: the held item (no reference added) and bounds.
  IVQData* Item() const { return m_Item.get(); }
  void HeldBounds(uint32_t* xFrom, uint32_t* zFrom, uint32_t* xTo, uint32_t* zTo) const;

 protected:
  bool InitializeImpl(uint32_t count, LONG nXSize, LONG nZSize, LONG Format) override;
  HRESULT InitializeAsLinearImpl(LONG Size, double FirstValue, double Delta, const wchar_t* Unit) override;
  HRESULT SetAttributesImpl(const CAttributeManager::Ref& attributeId) override;
  HRESULT CreateInstanceImpl() override;
  HRESULT ReplaceDataImpl(uint32_t sub, IUnknown* item) override;
  bool SaveToDiskImpl() override;
  HRESULT GetAllDataImpl(uint32_t sub, bool withAttributes, bool forWriting, IUnknown** out) override;
  HRESULT GetDataSubsetImpl(uint32_t sub, bool withAttributes, uint32_t firstIndex, uint32_t lastIndex,
                            IUnknown** out) override;
  void ClearImpl() override;
  // Serves an element whose whole item is in memory with the recorded shape;
  // a swapped-out element or a part in memory takes GetDataSubset's path.
  HRESULT ReadValuesImpl(const uint32_t* subs, uint32_t count, LONG format, uint32_t record, uint32_t first,
                         uint32_t last, const void** values) override;
  bool GetAllFromDiskImpl(bool withAttributes) override;
  bool AllocateImpl(uint32_t count, LONG nXSize, LONG nZSize, LONG Format) override;
  bool HoldsValuesImpl() override;

 private:
  // Takes the shape, size and flags from the item (or clears them without).
  void RefreshFromItem();
  // Replaces the held reference (null lets go); the old one is released
  // after m_ItemLock is left. FreeData is called on it first when asked and
  // nobody else holds it.
  void ResetItem(vq::ComPtr<IVQData> item, bool freeOld);
  // Lets go of an item a client still holds, so that it is never changed
  // under the client, and of one a save in flight reads (keeping a clone).
  void DetachIfHeld();
  // True while a save in flight reads the values of the current item.
  bool ItemIsSaving();
  // Makes a clone of the item the object's item when a save in flight reads
  // the original: S_OK, or the clone's failure (the item stays shared).
  HRESULT UnshareItem();
  // The values a save writes (after taking over a shape a client gave the
  // item): false when they cannot be had; *bytes 0 when there are none.
  bool PrepareValues(void** values, uint32_t* bytes);
  // The end of every save once the values are on disk: records the axis and
  // attributes, clears the modified mark and frees the memory.
  bool FinishSave();
  // Lets go of the item after a failed reload; the block stays valid.
  void DropPartialItem();
  ULONG ItemRefCount();
  // Registers the item's attributes first when they may have changed.
  HRESULT CurrentAttributeId(uint32_t sub, CAttributeManager::Ref* id) override;
  // Makes the item show exactly the element's attribute set (both parts,
  // the records it holds) and records that it does.
  HRESULT ShowAttributes();
  // ShowAttributes unless the item shows them already; a failure is traced
  // with `origin`.
  HRESULT EnsureAttributesShown(const char* origin);
  bool GetSubsetFromDisk(bool withAttributes, uint32_t xFrom, uint32_t xTo, uint32_t zFrom, uint32_t zTo);
  bool IsWhole() const { return m_XTo - m_XFrom + 1 == m_XSize && m_ZTo - m_ZFrom + 1 == m_ZSize; }

  vq::ComPtr<IVQData> m_Item;  // written under m_ItemLock (and m_DataLock)
  // The item a save in flight writes, null otherwise; written under
  // m_ItemLock (and m_DataLock).
  vq::ComPtr<IVQData> m_SavingItem;
  vq::Mutex m_ItemLock;
  uint32_t m_XFrom = 0;
  uint32_t m_ZFrom = 0;
  uint32_t m_XTo = 0;
  uint32_t m_ZTo = 0;
  // The item shows the element's attributes: it came from a client or was
  // rebuilt with them. An item rebuilt without them (a read that did not ask)
  // must never have its attributes recorded, and gets them before it is
  // handed out to a caller that asks for them or may write.
  bool m_ItemShowsAttributes = false;
};
