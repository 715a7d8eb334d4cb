// DataBase.h - the storage contract behind every matrix element.
//
// CDataBase is the abstract base of the two storage kinds: CSingleData (one
// element per object, its own data item) and CMultiData (several consecutive
// elements packed into one buffer). The matrix keeps one CDataBase per data
// index in m_Data and reaches each element through the operations below,
// passing the element's sub-index ("sub", the slot inside the object; always
// 0 for CSingleData).
//
// The base holds what both kinds share: where the values sit in the swap file
// (on-disk flag and block id), whether they are in memory and whether they
// were handed out for writing since the last save, which axis and attribute
// set of the shared managers belong to the object, and the value shape.
//
// Calling contract:
//   - the matrix calls every operation under its m_DataLock, except
//     IsLocked, which the swap queue calls while it picks an object, and
//     WriteSave (below), which runs without any lock of the matrix's but
//     m_MemoryLock;
//   - GetAllData and GetDataSubset return the item the object keeps for the
//     element without adding a reference: the caller adds the one it hands
//     to a client, under the same m_DataLock;
//   - with forWriting the object records that the values may change, so the
//     next SaveToDisk writes them again;
//   - SaveToDisk writes the values (to a new block, or over the object's
//     block), records the axis and attributes in the managers, clears the
//     modified flag and frees the memory. An object that is on disk and
//     neither in memory nor modified is already saved.
//   - an object owns its block: it frees it (ReleaseBlock) as soon as the
//     values there are no longer wanted (another size, a put of another
//     item, a re-allocation) and when it is destroyed, so the swap file
//     reuses the space.
//   - the memory watcher saves in three steps, so that the write holds no
//     lock that a client's access needs: BeginSave (under m_DataLock) marks
//     the object as being saved and keeps what the write reads alive (the
//     single kind holds a reference on its item, the packed kind its buffer);
//     WriteSave (no lock) writes those values to a new block; EndSave (under
//     m_DataLock again) commits only when no operation ran on the object
//     meanwhile: the public operations below (all but IsLocked) count as
//     changes (m_Version). Otherwise it frees the new block and the object
//     keeps its values in memory. While a save is in flight nothing frees or
//     changes the values it reads: an operation that would (a hand-out, a
//     put, a reshape, a release, a read-back, a fold-back) leaves them to the
//     save and goes on with a copy or a new buffer, so it never waits for the
//     write. The object itself outlives the save: the matrix destroys
//     storage objects only under m_MemoryLock, which the saving thread holds
//     from BeginSave to EndSave.
//
// The file cache and the two managers belong to the matrix and outlive every
// storage object; the storage objects never free them. The axis and
// attribute-set ids an object holds are counted references into the
// managers, so a definition stays stored exactly while an object (or one of
// its pool items) refers to it.
#pragma once

#include <cstdint>

#include "VQData.h"
#include "VQPlatform.h"
#include "storage/AttributeManager.h"
#include "storage/AxisManager.h"

class CFileCache;

class CDataBase {
 public:
  CDataBase(CFileCache* fileCache, CAxisManager* axisManager, CAttributeManager* attributeManager);
  virtual ~CDataBase();
  CDataBase(const CDataBase&) = delete;
  CDataBase& operator=(const CDataBase&) = delete;

  // The object holds `count` elements of that shape with fresh buffers.
  bool Initialize(uint32_t count, LONG nXSize, LONG nZSize, LONG Format) {
    Touch();
    return InitializeImpl(count, nXSize, nZSize, Format);
  }
  // Gives every element of the object the same linear x-axis; failures are
  // raised as component errors.
  HRESULT InitializeAsLinear(LONG Size, double FirstValue, double Delta, const wchar_t* Unit) {
    Touch();
    return InitializeAsLinearImpl(Size, FirstValue, Delta, Unit);
  }
  // Gives the object's items the attribute set `attributeId`.
  HRESULT SetAttributes(const CAttributeManager::Ref& attributeId) {
    Touch();
    return SetAttributesImpl(attributeId);
  }
  // Creates the data item(s) ahead of allocation.
  HRESULT CreateInstance() {
    Touch();
    return CreateInstanceImpl();
  }
  // True while a client holds an item of this object: it may not be saved.
  virtual bool IsLocked() = 0;
  // Stores what items the client has let go of meanwhile would store at the
  // object's next operation (the packed kind folds them back; the single
  // kind has nothing to do). The matrix calls it when a client's puts move
  // on to another object, so that the last put's values do not wait for the
  // memory watcher's save, which would fold them back under the data lock.
  virtual void StoreReleasedItems() {}
  // Stores `item` as element `sub`: S_OK or E_FAIL.
  HRESULT ReplaceData(uint32_t sub, IUnknown* item) {
    Touch();
    return ReplaceDataImpl(sub, item);
  }
  // Saves values, axis and attributes and releases the memory, all under
  // m_DataLock (a save in flight then fails its commit).
  bool SaveToDisk() {
    Touch();
    return SaveToDiskImpl();
  }
  // The whole element's item in *out (no reference added), reading it back
  // from the swap file first when needed.
  HRESULT GetAllData(uint32_t sub, bool withAttributes, bool forWriting, IUnknown** out) {
    Touch();
    return GetAllDataImpl(sub, withAttributes, forWriting, out);
  }
  // Values firstIndex..lastIndex of the element (counted over the whole
  // element, record after record): S_OK, S_FALSE when the item holds more,
  // E_INVALIDARG, E_PENDING (the object is locked) or E_FAIL.
  HRESULT GetDataSubset(uint32_t sub, bool withAttributes, uint32_t firstIndex, uint32_t lastIndex, IUnknown** out) {
    Touch();
    return GetDataSubsetImpl(sub, withAttributes, firstIndex, lastIndex, out);
  }
  // Read-only views of values first..last (x positions) of record `record`
  // of `count` elements (subs[k]), straight from where the object keeps
  // them, for a caller that reads many elements and hands none out (the
  // slices). Values not in memory are read back as GetDataSubset would. The
  // views stay valid while the caller holds m_DataLock and makes no other
  // call into the object. values[k] is null for an element the object cannot
  // show without a hand-out (an item a client holds or a part of the element
  // in memory, a format other than `format`, a record or range outside the
  // recorded shape, no values): the caller takes GetDataSubset's path for
  // it. S_OK, or the failure of reading the values back (E_OUTOFMEMORY,
  // E_FAIL), with every view null.
  HRESULT ReadValues(const uint32_t* subs, uint32_t count, LONG format, uint32_t record, uint32_t first,
                     uint32_t last, const void** values) {
    Touch();
    return ReadValuesImpl(subs, count, format, record, first, last, values);
  }
  // The attribute copies: write element `sub`'s attribute set, as it stands
  // now, into `target` (indexed attributes of `record` as record `record`,
  // everything as non-indexed, or the indexed attributes of `record` as
  // record 1). S_OK and nothing written when the element has no attributes,
  // or (the indexed copies) none for `record`: a record without attributes
  // is the common case, not a failure.
  HRESULT CopyAllAttributes(uint32_t sub, IVQData* target, LONG record);
  HRESULT CopyAllAttributesToNonIndexed(uint32_t sub, IVQData* target);
  HRESULT CopyAllIndexedAttributesToIndex1(uint32_t sub, IVQData* target, LONG record);
  // Releases the values held in memory.
  void Clear() {
    Touch();
    ClearImpl();
  }
  // Reads the values (and axis, and attributes when asked) back.
  bool GetAllFromDisk(bool withAttributes) {
    Touch();
    return GetAllFromDiskImpl(withAttributes);
  }
  // Makes the buffers.
  bool Allocate(uint32_t count, LONG nXSize, LONG nZSize, LONG Format) {
    Touch();
    return AllocateImpl(count, nXSize, nZSize, Format);
  }

  // The memory watcher's save (see the calling contract). What the write
  // needs: the values and their byte count, and the block it wrote (0: none).
  struct SaveWork {
    const void* values = nullptr;
    uint32_t bytes = 0;
    uint32_t block = 0;
    uint64_t version = 0;
    // What EndSave let go of, for ReleaseSaved to free after m_DataLock: an
    // element's memory is unmapped without holding up the client. The packed
    // kind's buffer is a counted owner of its memory (items showing a part of
    // it hold it too), unmapped with its last reference.
    vq::ComPtr<IVQData> item;
    vq::ComPtr<IUnknown> memory;
  };
  enum class SaveStart {
    Saved,   // nothing had to be written: saved (or nothing to save)
    Failed,  // could not save (held, a save already in flight, a failure): values kept
    Write,   // call WriteSave, then EndSave
  };
  // Under m_DataLock: marks the object as being saved and fills *work.
  virtual SaveStart BeginSave(SaveWork* work) = 0;
  // Without m_DataLock: writes work's values to a new block of the swap file.
  void WriteSave(SaveWork* work) const;
  // Under m_DataLock: commits the block when the object is as BeginSave left
  // it (true: saved, its memory handed to *work), else frees the block
  // (false: values kept). Ends the save either way.
  virtual bool EndSave(SaveWork* work) = 0;
  // After m_DataLock is left: frees the memory EndSave handed over.
  void ReleaseSaved(SaveWork* work) const;
  bool SaveInFlight() const { return m_SaveInFlight; }

  // Bytes of the values the object holds (0 when it holds none).
  uint32_t ByteSize() const { return m_ByteSize; }
  // True when the object holds values, in memory or on disk; a kind whose
  // item a client may have shaped since the object last looked learns that
  // shape first.
  bool HoldsValues() {
    Touch();
    return HoldsValuesImpl();
  }
  bool IsOnDisk() const { return m_OnDisk; }
  bool IsInMemory() const { return m_InMemory; }
  bool IsModified() const { return m_Modified; }
  uint32_t BlockId() const { return m_Block; }
  uint32_t AxisId() const { return m_AxisId; }
  uint32_t AttributeId() const { return m_AttributeId; }
  LONG Format() const { return m_Format; }
  uint32_t XSize() const { return m_XSize; }
  uint32_t ZSize() const { return m_ZSize; }

  // Bytes per value of a format code: 0 and 5: 4; 1, 4 and 6: 8; 2: 16;
  // 3: 2; other codes 0.
  static uint32_t BytesPerValue(LONG format);
  // The value storage of `item` and its byte count, for every format with a
  // byte size: the descriptor's pointer of the format, or the raw view for
  // the formats that have no pointer field (16- and 64-bit integers). False
  // with null and 0 when there is no item, a format without a byte size, a
  // byte count beyond 32 bits, or no storage behind a non-zero count.
  static bool BufferOf(IVQData* item, void** pointer, uint32_t* bytes);
  // Creates a data item the way every storage object does: CoCreateInstance
  // (no outer object, context 23), OleRun, then IVQData.
  static HRESULT CreateItem(vq::ComPtr<IVQData>* item);
  // bytes per value x nXSize x nZSize, or false when a size is negative or
  // the product does not fit 32 bits.
  static bool ElementBytes(LONG format, LONG nXSize, LONG nZSize, uint32_t* bytes);

 protected:
  // The operations behind the public ones, which count every call as a
  // change (Touch) first.
  virtual bool InitializeImpl(uint32_t count, LONG nXSize, LONG nZSize, LONG Format) = 0;
  virtual HRESULT InitializeAsLinearImpl(LONG Size, double FirstValue, double Delta, const wchar_t* Unit) = 0;
  virtual HRESULT SetAttributesImpl(const CAttributeManager::Ref& attributeId) = 0;
  virtual HRESULT CreateInstanceImpl() = 0;
  virtual HRESULT ReplaceDataImpl(uint32_t sub, IUnknown* item) = 0;
  virtual bool SaveToDiskImpl() = 0;
  virtual HRESULT GetAllDataImpl(uint32_t sub, bool withAttributes, bool forWriting, IUnknown** out) = 0;
  virtual HRESULT GetDataSubsetImpl(uint32_t sub, bool withAttributes, uint32_t firstIndex, uint32_t lastIndex,
                                    IUnknown** out) = 0;
  virtual void ClearImpl() = 0;
  virtual HRESULT ReadValuesImpl(const uint32_t* subs, uint32_t count, LONG format, uint32_t record, uint32_t first,
                                 uint32_t last, const void** values) = 0;
  virtual bool GetAllFromDiskImpl(bool withAttributes) = 0;
  virtual bool AllocateImpl(uint32_t count, LONG nXSize, LONG nZSize, LONG Format) = 0;
  virtual bool HoldsValuesImpl() { return m_ByteSize != 0; }
  // Every public operation may change what a save in flight wrote: its
  // commit is then dropped.
  void Touch() { ++m_Version; }
  // Ends a save's write: when it wrote a block and nothing touched the object
  // since BeginSave, that block becomes the one holding the current values
  // (the old one is freed) and the result is true; otherwise the written
  // block, if any, is freed and the result is false.
  bool CommitSavedBlock(const SaveWork& work);

  // The attribute-set id of element `sub` as it stands now; a kind whose
  // items may carry changes not yet recorded captures them first.
  virtual HRESULT CurrentAttributeId(uint32_t sub, CAttributeManager::Ref* id);
  // Gives the object's block back to the swap file (when it has one), so
  // that its space is reused: the values it holds are no longer wanted.
  void ReleaseBlock();
  // Lets go of `reference` (the caller's, taken over; null is ignored) to
  // `bytes` of values the object no longer holds: when it is the last one,
  // on the swap file's releaser thread where there is a swap file, so that
  // unmapping them does not hold up a save (memory/Releaser.h); else at once.
  void LetGo(IUnknown* reference, uint64_t bytes) const;

  bool m_OnDisk = false;    // the block holds the current values
  bool m_InMemory = false;  // the values are in memory
  bool m_Modified = false;  // handed out for writing since the last save
  CFileCache* m_FileCache;
  uint32_t m_Block = 0;  // block id in the swap file, 0 = none
  CAxisManager* m_AxisManager;
  CAxisManager::Ref m_AxisId;
  CAttributeManager* m_AttributeManager;
  CAttributeManager::Ref m_AttributeId;
  LONG m_Format = 0;
  uint32_t m_XSize = 0;
  uint32_t m_ZSize = 0;
  uint32_t m_ByteSize = 0;  // of all elements of the object
  uint64_t m_Version = 0;   // public operations so far (Touch)
  bool m_SaveInFlight = false;  // between BeginSave and EndSave
};
