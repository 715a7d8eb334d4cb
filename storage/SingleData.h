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
// IsLocked, which the swap queue calls from the memory watcher without it.
// m_ItemLock therefore guards the item reference against that one reader:
// it is held while the reference is replaced and while IsLocked reads the
// count, and never while the item is called otherwise.
#pragma once

#include <mutex>

#include "storage/DataBase.h"

class CSingleData : public CDataBase {
 public:
  using CDataBase::CDataBase;
  ~CSingleData() override;

  bool Initialize(uint32_t count, LONG nXSize, LONG nZSize, LONG Format) override;
  HRESULT InitializeAsLinear(LONG Size, double FirstValue, double Delta, const wchar_t* Unit) override;
  HRESULT SetAttributes(uint32_t attributeId) override;
  HRESULT CreateInstance() override;
  bool IsLocked() override;
  HRESULT ReplaceData(uint32_t sub, IUnknown* item) override;
  bool SaveToDisk() override;
  HRESULT GetAllData(uint32_t sub, bool withAttributes, bool forWriting, IUnknown** out) override;
  HRESULT GetDataSubset(uint32_t sub, bool withAttributes, uint32_t firstIndex, uint32_t lastIndex,
                        IUnknown** out) override;
  // Serves an element whose whole item is in memory with the recorded shape;
  // a swapped-out element or a part in memory takes GetDataSubset's path.
  HRESULT ReadValues(const uint32_t* subs, uint32_t count, LONG format, uint32_t record, uint32_t first, uint32_t last,
                     const void** values) override;
  void Clear() override;
  bool GetAllFromDisk(bool withAttributes) override;
  bool Allocate(uint32_t count, LONG nXSize, LONG nZSize, LONG Format) override;
  bool HoldsValues() final;  // final: the access paths below call it without a virtual call

  // For tests and diagnostics: the held item (no reference added) and bounds.
  IVQData* Item() const { return m_Item.get(); }
  void HeldBounds(uint32_t* xFrom, uint32_t* zFrom, uint32_t* xTo, uint32_t* zTo) const;

 private:
  // Takes the shape, size and flags from the item (or clears them without).
  void RefreshFromItem();
  // Replaces the held reference (null lets go); the old one is released
  // after m_ItemLock is left. FreeData is called on it first when asked and
  // nobody else holds it.
  void ResetItem(vq::ComPtr<IVQData> item, bool freeOld);
  // Lets go of an item a client still holds, so that it is never changed
  // under the client.
  void DetachIfHeld();
  // Lets go of the item after a failed reload; the block stays valid.
  void DropPartialItem();
  ULONG ItemRefCount();
  // Registers the item's attributes first when they may have changed.
  HRESULT CurrentAttributeId(uint32_t sub, uint32_t* id) override;
  // Makes the item show exactly the element's attribute set (both parts,
  // the records it holds) and records that it does.
  HRESULT ShowAttributes();
  // ShowAttributes unless the item shows them already; a failure is traced
  // with `origin`.
  HRESULT EnsureAttributesShown(const char* origin);
  bool GetSubsetFromDisk(bool withAttributes, uint32_t xFrom, uint32_t xTo, uint32_t zFrom, uint32_t zTo);
  bool IsWhole() const;

  vq::ComPtr<IVQData> m_Item;  // written under m_ItemLock (and m_DataLock)
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
