// MultiData.h - packed storage of several elements in one buffer.
//
// CMultiData is the storage kind of a matrixMultipleObjects matrix: it holds
// the values of several consecutive elements (its slots) back to back in one
// buffer, m_Buffer: slot s occupies bytes s x m_SlotSize .. (s + 1) x
// m_SlotSize - 1, values record after record (value x of record z at
// position z x x-size + x). The buffer is swapped out as one block of the
// swap file and read back as one unit. It is a large buffer of the swap
// file's environment (the system maps it, and freeing it returns the memory
// at once; a test environment can refuse it), page-aligned and padded to whole
// transfer units, so that its block goes to and from the swap file without a
// bounce copy (a buffer of at most half a unit is written unpadded, to share a
// unit of the swap file with other small blocks).
//
// For each slot asked for, the object hands out a separate data item that
// shows the slot's values (or a part of them) in the buffer itself, through
// IVQDataView (dataitem/VQDataView.h), and keeps a CPoolItem for it
// (storage/PoolItem.h). An item handed out for writing writes straight into
// the buffer, so the object is marked modified at the hand-out; when the
// client lets go of it, its attributes are folded back, and its values only
// when it no longer shows the slot (a client's put, or a client that gave it
// another shape). Up to kMaxFreeItems idle pool items keep their data items
// for reuse, so a walk over the matrix creates only a few items.
//
// The buffer's memory has a counted owner (m_BufferOwner): the object, a
// save in flight and every item showing a part of it hold a reference, so an
// item a client holds keeps its values after the object let go of the buffer.
// The buffer never moves under an item of the object: an object with an
// active pool item is locked and not saved, idle items let go of the buffer
// when the object does (DropIdleViews), and a hand-out during a save first
// gives the object a copy, so no item handed out shows the buffer a save
// writes (idle ones may, and let go of it with the object).
//
// All elements of one object share one axis id; each slot has an attribute-set id of its own (m_SlotAttributes),
// recorded when a writable item is folded back and restored, with the record
// attributes, into every item that shows the slot.
//
// States (in memory / on disk / modified / buffer), see docs/STORAGE.md:
//   empty                  no / no / no / none       construction, Clear
//   initialised            yes / no / no / allocated Initialize
//   written and freed      no / yes / no / none      SaveToDisk
//   read back              yes / yes / no / allocated GetAllFromDisk
//   read back and changed  yes / yes / yes / allocated handing out a writable item
// A slot is in use while its pool item is active (in m_ActiveItems and in
// m_Slots); the object is saved only when no slot is in use.
//
// Calling contract: GetAllData and GetDataSubset return the pool item's data
// item without a reference for the caller. The caller (holding the matrix's
// m_DataLock) must add its reference before its next call into this object:
// every call but IsLocked first recycles the items no client holds.
//
// Threads and locks. Every operation runs under the matrix's m_DataLock,
// except IsLocked, which the swap queue calls on the memory watcher's thread
// under the queue's lock only. m_Lock (recursive) guards the two pool lists,
// the slot table, m_Buffer and the flags and ids this class writes; it is
// taken inside m_DataLock and inside the queue's lock, and the swap file's
// and managers' locks are taken inside it. Because IsLocked runs without
// m_DataLock, it recycles only what cannot race with a hand-out: read-only
// items whose hand-out is known to be complete and that no client holds.
// Items handed out for writing, and hand-outs whose caller may not have
// added its reference yet, are left to the next call under m_DataLock (the
// memory watcher's SaveToDisk follows its pop at once); IsLocked reports
// them as not locked so that the watcher gets to that call. So the flags and
// ids of CDataBase are written only under m_DataLock.
//
// A save in flight (BeginSave .. EndSave, see storage/DataBase.h) writes
// m_Buffer without m_DataLock or m_Lock; m_SavingBuffer names that buffer and
// m_SavingOwner holds the save's reference on it. Meanwhile nothing writes
// into it or frees it: a hand-out or a fold-back that copies values first
// gives the object a copy (UnshareBuffer), and a buffer the object lets go of
// (Clear, a new allocation) stays alive by the save's reference, which
// EndSave hands to its caller. The object goes on at once; the save's commit,
// which sees the operation, is dropped.
#pragma once

#include <cstddef>
#include <list>
#include <memory>
#include <vector>

#include "storage/PoolItem.h"
#include "storage/DataBase.h"

namespace vq {
class Environment;
}

class CMultiData : public CDataBase {
 public:
  // Idle pool items kept for reuse per storage object.
  static constexpr size_t kMaxFreeItems = 10;

  CMultiData(CFileCache* fileCache, CAxisManager* axisManager, CAttributeManager* attributeManager);
  // Clear: pool items go (a client's item keeps its values), the buffer is
  // unmapped.
  ~CMultiData() override;

  // True while a client holds an item of this object (see the header).
  bool IsLocked() override;
  // Recycles the items no client holds (a change, when there are any).
  void StoreReleasedItems() override;
  // The memory watcher's save (storage/DataBase.h): as SaveToDisk, with the
  // buffer written to a new block between the two calls.
  SaveStart BeginSave(SaveWork* work) override;
  bool EndSave(SaveWork* work) override;

  // Tests and diagnostics (each takes m_Lock).
  uint32_t SlotCount() const;
  uint32_t SlotSize() const;
  size_t ActiveItemCount() const;
  size_t FreeItemCount() const;
  // The pool item showing `slot`, or null.
  const CPoolItem* SlotItem(uint32_t slot) const;
  // Copies `bytes` bytes of slot `slot` from the buffer; false without a
  // buffer or when the range leaves the slot.
  bool ReadSlot(uint32_t slot, void* dest, uint32_t bytes) const;
  // The buffer's address (null without one) and the size of its block.
  const void* BufferAddress() const;
  uint32_t BlockBytes() const;

 protected:
  // Clears the object and gives it `count` zero-filled slots of that shape;
  // false (traced) when the shape has no bytes, does not fit 32 bits, or
  // memory runs out.
  bool InitializeImpl(uint32_t count, LONG nXSize, LONG nZSize, LONG Format) override;
  // Records a linear axis for all slots (only while the object has none) and
  // brings every pool item to it; S_OK, or the failure of the axis manager
  // or an item.
  HRESULT InitializeAsLinearImpl(LONG Size, double FirstValue, double Delta, const wchar_t* Unit) override;
  // Records `attributeId` (only while the object has none and the id is not
  // 0) and applies it to every pool item; S_OK, or the failure raised.
  HRESULT SetAttributesImpl(const CAttributeManager::Ref& attributeId) override;
  // Not supported by this kind: E_NOTIMPL.
  HRESULT CreateInstanceImpl() override;
  // Shows the client's `item` in `slot`: its values reach the buffer when the
  // client lets go of it. S_OK (also when the slot already shows that very
  // item), E_INVALIDARG for a slot out of range, E_FAIL when the slot is in
  // use, the item is no data item or has another shape, or the buffer cannot
  // be had; nothing changes on failure.
  HRESULT ReplaceDataImpl(uint32_t slot, IUnknown* item) override;
  // Folds back released items, then writes the buffer as one block when it
  // changed and frees it. True when saved (or nothing to save); false when a
  // slot is in use or the write failed (the values stay in memory).
  bool SaveToDiskImpl() override;
  // The whole element of `slot` in *out (no reference added), read back
  // first when needed: S_OK (out null when the object holds no values),
  // E_FAIL when the slot is handed out as a subset or the read-back failed,
  // E_INVALIDARG for a slot out of range, or the failure raised by the item.
  HRESULT GetAllDataImpl(uint32_t slot, bool withAttributes, bool forWriting, IUnknown** out) override;
  // Values firstIndex..lastIndex of `slot` (counted over the whole element):
  // S_OK, S_FALSE when the item holds more (the slot is held whole or the
  // axis cannot be cut), E_INVALIDARG for a range that is backwards, past
  // the element, or spans records without being whole records, E_FAIL when
  // the slot is held as another part or the read-back failed.
  HRESULT GetDataSubsetImpl(uint32_t slot, bool withAttributes, uint32_t firstIndex, uint32_t lastIndex,
                            IUnknown** out) override;
  // Frees the buffer and every pool item; the block stays valid.
  void ClearImpl() override;
  // Reads the whole block back into a new buffer; false (traced) when the
  // object is not on disk or allocation or the read failed (no buffer then).
  // Views into the buffer, read back whole first when the object is on disk;
  // a slot a pool item shows (after the released ones are retired) or whose
  // values were lost is left to GetDataSubset.
  HRESULT ReadValuesImpl(const uint32_t* slots, uint32_t count, LONG format, uint32_t record, uint32_t first,
                         uint32_t last, const void** values) override;
  bool GetAllFromDiskImpl(bool withAttributes) override;
  // Maps a zero-filled buffer for `count` slots of that shape; false
  // ("Out of memory") when it cannot be had.
  bool AllocateImpl(uint32_t count, LONG nXSize, LONG nZSize, LONG Format) override;

 private:
  using PoolList = std::list<std::unique_ptr<CPoolItem>>;
  enum class RecycleMode {
    Owner,   // the caller holds the matrix's m_DataLock
    Worker,  // IsLocked on the memory watcher's thread
  };

  // Walks m_ActiveItems and retires the items no client holds (see the
  // header for what each mode may retire).
  void Recycle(RecycleMode mode);
  // Folds a released writable item back into its slot and records the axis
  // and attributes when the object has none yet; false (traced) ends the
  // walk. An item that held values of its own (a client's put) is let go
  // of after it is folded back; one that showed the buffer goes idle.
  // *ownValues tells that the item held values of its own (copied).
  bool FoldBack(CPoolItem* pool, bool* ownValues) VQ_REQUIRES(m_Lock);
  // Gives a pool item its slot's attribute set (replacing whatever it
  // showed) and the object's axis (the cut axis for a subset).
  HRESULT UpdatePoolItem(CPoolItem* pool) VQ_REQUIRES(m_Lock);
  // The slot's attribute set as it stands now: captured from a writable item
  // a client may still be changing.
  HRESULT CurrentAttributeId(uint32_t slot, CAttributeManager::Ref* id) override;
  // Gives a subset item the cut of the object's linear axis.
  void SetSubAxis(CPoolItem* pool);
  // Where the values of `slot` begin in the buffer.
  uint8_t* SlotValues(uint32_t slot) const VQ_REQUIRES(m_Lock);
  // Lets `item` show n x m values of `slot` from value position `first` in
  // the buffer (its setters write there when `writable`); false when they
  // would leave the slot, there is no buffer or the item cannot show them.
  bool ShowSlot(uint32_t slot, uint32_t first, LONG n, LONG m, bool writable, IVQData* item) VQ_REQUIRES(m_Lock);
  // Idle items let go of what they show, so that they keep no buffer alive.
  void DropIdleViews() VQ_REQUIRES(m_Lock);
  // Hands out a pool item for `slot` (whole when subset is null) from the
  // free list or new; the item goes to m_ActiveItems and m_Slots.
  HRESULT HandOut(uint32_t slot, bool forWriting, const CPoolItem::Subset* subset, const char* operation,
                  IUnknown** out) VQ_REQUIRES(m_Lock);
  // Lets go of the buffer: freed, or left to the save in flight that reads it
  // and the items clients hold that show it.
  void FreeBuffer() VQ_REQUIRES(m_Lock);
  // Before the buffer is written into: a copy replaces it when a save in
  // flight reads it. False (traced) when the copy cannot be had.
  bool UnshareBuffer() VQ_REQUIRES(m_Lock);
  // The size of a new block for the buffer: the block's own size when there
  // is one, else the byte size padded to whole units, or as it is when it
  // is at most half a unit.
  uint64_t NewBlockBytes() const VQ_REQUIRES(m_Lock);
  // GetAllFromDisk's work with its reason: S_OK (the values are in memory),
  // E_OUTOFMEMORY when the buffer cannot be had, E_FAIL when there is no
  // block or it cannot be read; a failure leaves no buffer.
  HRESULT ReadBack() VQ_REQUIRES(m_Lock);
  // Where the buffer comes from: the swap file's environment (the system's
  // when the object has no swap file).
  vq::Environment& Env() const;
  // The pool item in `slot`, null when the slot is free or out of range.
  CPoolItem* PoolAt(uint32_t slot) const VQ_REQUIRES(m_Lock);

  PoolList m_FreeItems VQ_GUARDED_BY(m_Lock);
  PoolList m_ActiveItems VQ_GUARDED_BY(m_Lock);
  mutable vq::CriticalSection m_Lock;
  uint8_t* m_Buffer VQ_GUARDED_BY(m_Lock) = nullptr;
  size_t m_BufferLength VQ_GUARDED_BY(m_Lock) = 0;  // mapped bytes
  // The counted owner of m_Buffer's memory: one reference here while the
  // buffer is the object's, one in every item showing a part of it.
  vq::ComPtr<IUnknown> m_BufferOwner VQ_GUARDED_BY(m_Lock);
  uint32_t m_SlotCount = 0;
  uint32_t m_SlotSize = 0;
  // Size of m_Block: the byte size padded to the transfer unit, or the byte
  // size itself when it is at most half a unit (the block shares a unit).
  uint32_t m_BlockBytes = 0;
  std::vector<CPoolItem*> m_Slots VQ_GUARDED_BY(m_Lock);
  std::vector<CAttributeManager::Ref> m_SlotAttributes VQ_GUARDED_BY(m_Lock);  // attribute-set id per slot
  // Per slot: a client reshaped the item it held, so the values it stored
  // could not be kept; the element's accesses fail until a put stores it
  // anew or the object is initialised again.
  std::vector<uint8_t> m_SlotLost VQ_GUARDED_BY(m_Lock);
  // The buffer a save in flight writes (null otherwise) and the save's
  // reference on it, which EndSave hands to the caller to let go of.
  uint8_t* m_SavingBuffer VQ_GUARDED_BY(m_Lock) = nullptr;
  vq::ComPtr<IUnknown> m_SavingOwner VQ_GUARDED_BY(m_Lock);
};

// Creates an empty multi-object storage object; null when memory runs out.
std::unique_ptr<CDataBase> CreateMultiData(CFileCache* fileCache, CAxisManager* axisManager,
                                           CAttributeManager* attributeManager);
