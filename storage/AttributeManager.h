// AttributeManager.h - the shared store of element attribute sets.
//
// When an element's values go to the swap file its attributes stay here.
// Elements of one matrix very often carry identical attributes, so every
// distinct set is stored once, as a CAttributeSet, and named by an
// attribute-set id (set p has id p + 1; 0 means "no attributes"). Sets are
// only appended and never change, so an id keeps its meaning for the life of
// the matrix. Texts are kept as wide strings, exactly as the item gave them.
//
// A set holds the item's non-indexed attributes (one ordered list) and its
// indexed attributes (a list per record z, counted from 1, for the records
// that have any). Each attribute record is (group name, attribute name, group
// second name, value); a group without attributes is one record of its own
// (GroupOnly: no name, no value), so that it survives as the item had it. Two
// sets are equal when both parts hold the same
// records in the same order; two values are equal when they have the same
// type and value (reals compared bit for bit, so a NaN equals itself).
//
// Threads: reached from the client's thread and from the memory watcher, in
// part without the matrix's data lock (recycling of multi-object storage).
// m_Lock guards the table; it is the innermost lock and is never held while
// a data item is called. Stored sets are immutable and live as long as the
// manager, so a set found under the lock can be read after it is released.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "VQData.h"
#include "VQPlatform.h"

class CAttributeSet {
 public:
  struct Record {
    std::wstring Group;
    std::wstring Name;
    std::wstring SecondName;
    _variant_t Value;
    bool GroupOnly = false;  // the group holds no attribute; Name and Value unused
  };
  using List = std::vector<Record>;

  // Reads the attributes of `item`. A failure of the non-indexed part or of
  // the calls that open the indexed part is returned; within a record z of
  // the indexed part a failing attribute is skipped, and any other failure
  // skips the rest of that record.
  HRESULT Capture(IVQData* item);

  bool IsEmpty() const { return m_NonIndexed.empty() && m_Indexed.empty(); }
  bool Equals(const CAttributeSet& other) const;

  const List& NonIndexed() const { return m_NonIndexed; }
  // The list of record z, or null when the set holds none for it.
  const List* Get(LONG z) const;
  const std::map<LONG, List>& Indexed() const { return m_Indexed; }

 private:
  List m_NonIndexed;
  std::map<LONG, List> m_Indexed;
};

class CAttributeManager {
 public:
  CAttributeManager() = default;
  CAttributeManager(const CAttributeManager&) = delete;
  CAttributeManager& operator=(const CAttributeManager&) = delete;

  // Captures the attributes of `item` (any object offering IVQData); *id
  // receives the id of an equal stored set, a new id, or 0 when the item has
  // none. E_POINTER for null arguments; a capture failure is returned
  // ("Failed to set attributes. HR=0x%08x") and *id is left alone.
  HRESULT AddAttributes(IUnknown* item, uint32_t* id);

  // Adds the non-indexed attributes of set `id` to `item` with AddAttribute.
  // Id 0: nothing, S_OK. Unknown id: E_INVALIDARG; null item: E_POINTER.
  // Attributes the item refuses are skipped; the result is then still S_OK.
  // A failure other than E_NOINTERFACE when asking for IVQData is raised as
  // a component error. The caller keeps its reference to the item.
  HRESULT GetAttributes(uint32_t id, IUnknown* item);

  // Makes `item` show exactly set `id`, whatever it showed before: its
  // attributes and record attributes are cleared, then the set's non-indexed
  // attributes are added, and the record attributes of element records
  // firstRecord + 1 .. firstRecord + recordCount become the item's records
  // 1 .. recordCount (a subset item starts at element record firstRecord).
  // Id 0 leaves the item without attributes. Unknown id: E_INVALIDARG; null
  // item or no IVQData: E_POINTER; a refused attribute fails the call with
  // the item's HRESULT, since the item would not show the element whole.
  HRESULT RestoreSet(uint32_t id, IUnknown* item, LONG firstRecord, LONG recordCount);

  // GetAttributes with the highest id.
  HRESULT GetLastAttributes(IUnknown* item);

  // As GetAttributes, but takes over one reference to `item` and releases it
  // on every path.
  HRESULT CopyAllAttributesToNonIndexed(uint32_t id, IUnknown* item);

  // Adds the indexed attributes that set `id` holds for record z to `item`
  // as indexed attributes of record 1 (ToIndex1) or of record z. No list for
  // z: E_INVALIDARG ("Invalid z-value %d"). Both take over one reference to
  // `item` and release it on every path.
  HRESULT CopyAllIndexedAttributesToIndex1(uint32_t id, IUnknown* item, LONG z);
  HRESULT CopyAllAttributes(uint32_t id, IUnknown* item, LONG z);

  // Number of stored sets (the highest id).
  uint32_t Count() const;

 private:
  // The set of `id`, or null (traced) when the id is unknown.
  const CAttributeSet* Find(uint32_t id, const char* origin) const;
  // The set `id` to write into `item`: S_FALSE for id 0 (nothing to write),
  // E_INVALIDARG for an unknown id, E_POINTER (traced) for a null item.
  HRESULT WriteSource(uint32_t id, IUnknown* item, const char* origin, const CAttributeSet** set) const;
  HRESULT WriteNonIndexed(uint32_t id, IUnknown* item, const char* origin);
  HRESULT WriteIndexed(uint32_t id, IUnknown* item, LONG z, LONG targetRecord, const char* origin);

  mutable vq::CriticalSection m_Lock;
  std::vector<std::unique_ptr<const CAttributeSet>> m_Sets VQ_GUARDED_BY(m_Lock);
};
