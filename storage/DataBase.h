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
//     IsLocked, which the swap queue calls while it picks an object;
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
//
// The file cache and the two managers belong to the matrix and outlive every
// storage object; the storage objects never free them.
#pragma once

#include <cstdint>

#include "VQData.h"
#include "VQPlatform.h"

class CFileCache;
class CAxisManager;
class CAttributeManager;

class CDataBase {
 public:
  CDataBase(CFileCache* fileCache, CAxisManager* axisManager, CAttributeManager* attributeManager);
  virtual ~CDataBase();
  CDataBase(const CDataBase&) = delete;
  CDataBase& operator=(const CDataBase&) = delete;

  // The object holds `count` elements of that shape with fresh buffers.
  virtual bool Initialize(uint32_t count, LONG nXSize, LONG nZSize, LONG Format) = 0;
  // Gives every element of the object the same linear x-axis; failures are
  // raised as component errors.
  virtual HRESULT InitializeAsLinear(LONG Size, double FirstValue, double Delta, const wchar_t* Unit) = 0;
  // Gives the object's items the attribute set `attributeId`.
  virtual HRESULT SetAttributes(uint32_t attributeId) = 0;
  // Creates the data item(s) ahead of allocation.
  virtual HRESULT CreateInstance() = 0;
  // True while a client holds an item of this object: it may not be saved.
  virtual bool IsLocked() = 0;
  // Stores `item` as element `sub`: S_OK or E_FAIL.
  virtual HRESULT ReplaceData(uint32_t sub, IUnknown* item) = 0;
  // Saves values, axis and attributes and releases the memory.
  virtual bool SaveToDisk() = 0;
  // The whole element's item in *out (no reference added), reading it back
  // from the swap file first when needed.
  virtual HRESULT GetAllData(uint32_t sub, bool withAttributes, bool forWriting, IUnknown** out) = 0;
  // Values firstIndex..lastIndex of the element (counted over the whole
  // element, record after record): S_OK, S_FALSE when the item holds more,
  // E_INVALIDARG, E_PENDING (the object is locked) or E_FAIL.
  virtual HRESULT GetDataSubset(uint32_t sub, bool withAttributes, uint32_t firstIndex, uint32_t lastIndex,
                                IUnknown** out) = 0;
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
  virtual HRESULT ReadValues(const uint32_t* subs, uint32_t count, LONG format, uint32_t record, uint32_t first,
                             uint32_t last, const void** values) = 0;
  // The attribute copies: write element `sub`'s attribute set, as it stands
  // now, into `target` (indexed attributes of `record` as record `record`,
  // everything as non-indexed, or the indexed attributes of `record` as
  // record 1). S_OK and nothing written when the element has no attributes.
  HRESULT CopyAllAttributes(uint32_t sub, IVQData* target, LONG record);
  HRESULT CopyAllAttributesToNonIndexed(uint32_t sub, IVQData* target);
  HRESULT CopyAllIndexedAttributesToIndex1(uint32_t sub, IVQData* target, LONG record);
  // Releases the values held in memory.
  virtual void Clear() = 0;
  // Reads the values (and axis, and attributes when asked) back.
  virtual bool GetAllFromDisk(bool withAttributes) = 0;
  // Makes the buffers.
  virtual bool Allocate(uint32_t count, LONG nXSize, LONG nZSize, LONG Format) = 0;

  // Bytes of the values the object holds (0 when it holds none).
  uint32_t ByteSize() const { return m_ByteSize; }
  // True when the object holds values, in memory or on disk; a kind whose
  // item a client may have shaped since the object last looked learns that
  // shape first.
  virtual bool HoldsValues() { return m_ByteSize != 0; }
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
  // The attribute-set id of element `sub` as it stands now; a kind whose
  // items may carry changes not yet recorded captures them first.
  virtual HRESULT CurrentAttributeId(uint32_t sub, uint32_t* id);
  // Gives the object's block back to the swap file (when it has one), so
  // that its space is reused: the values it holds are no longer wanted.
  void ReleaseBlock();

  bool m_OnDisk = false;    // the block holds the current values
  bool m_InMemory = false;  // the values are in memory
  bool m_Modified = false;  // handed out for writing since the last save
  CFileCache* m_FileCache;
  uint32_t m_Block = 0;  // block id in the swap file, 0 = none
  CAxisManager* m_AxisManager;
  uint32_t m_AxisId = 0;
  CAttributeManager* m_AttributeManager;
  uint32_t m_AttributeId = 0;
  LONG m_Format = 0;
  uint32_t m_XSize = 0;
  uint32_t m_ZSize = 0;
  uint32_t m_ByteSize = 0;  // of all elements of the object
};
