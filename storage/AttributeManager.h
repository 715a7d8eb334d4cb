// AttributeManager.h - the shared store of element attribute sets.
//
// When an element's values go to the swap file its attributes stay here.
// Elements of one matrix very often carry identical attributes, so every
// distinct set is stored once, as a CAttributeSet, and named by an
// attribute-set id (counted from 1; 0 means "no attributes"). Texts are kept
// as wide strings, exactly as the item gave them.
//
// An id is handed out as a counted reference (Ref, storage/SharedTable.h):
// a set stays while something holds a Ref to it and is dropped with the
// last one, so elements that each get their own set (a time stamp, a run
// number) and later change it leave only the sets in use. An id keeps its
// meaning while its Ref is held; a dropped set's id goes to a later one.
// A set is found by a hash of its contents, and only the sets with that
// hash are compared.
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
// m_Lock guards the table and the reference counts; it is the innermost lock
// and is never held while a data item is called, nor while a set is
// destroyed (a value may hold a COM object). Stored sets are immutable and
// shared: a reader keeps the set it found alive after the lock is left,
// even when its last reference goes meanwhile.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "VQData.h"
#include "VQPlatform.h"
#include "storage/SharedTable.h"

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
  // Equal sets have equal hashes.
  size_t Hash() const;

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
  // A counted reference to a stored set (0: no attributes).
  using Ref = vq::SharedId<CAttributeManager>;

  CAttributeManager() = default;
  CAttributeManager(const CAttributeManager&) = delete;
  CAttributeManager& operator=(const CAttributeManager&) = delete;

  // Captures the attributes of `item` (any object offering IVQData); *id
  // receives a reference to an equal stored set, to a new one, or 0 when the
  // item has none (what it held before is released). E_POINTER for null
  // arguments; a capture failure is returned ("Failed to set attributes.
  // HR=0x%08x"), E_OUTOFMEMORY when the table cannot grow; *id is left alone
  // then.
  HRESULT AddAttributes(IUnknown* item, Ref* id);

  // Adds the non-indexed attributes of set `id` to `item` with AddAttribute.
  // Id 0: nothing, S_OK. Id not stored: E_INVALIDARG; null item: E_POINTER.
  // Attributes the item refuses are skipped; the result is then still S_OK.
  // A failure other than E_NOINTERFACE when asking for IVQData is raised as
  // a component error. The caller keeps its reference to the item.
  HRESULT GetAttributes(uint32_t id, IUnknown* item);

  // Makes `item` show exactly set `id`, whatever it showed before: its
  // attributes and record attributes are cleared, then the set's non-indexed
  // attributes are added, and the record attributes of element records
  // firstRecord + 1 .. firstRecord + recordCount become the item's records
  // 1 .. recordCount (a subset item starts at element record firstRecord).
  // Id 0 leaves the item without attributes. Id not stored: E_INVALIDARG; null
  // item or no IVQData: E_POINTER; a refused attribute fails the call with
  // the item's HRESULT, since the item would not show the element whole.
  HRESULT RestoreSet(uint32_t id, IUnknown* item, LONG firstRecord, LONG recordCount);

  // GetAttributes with the most recently stored set (kept while it is the
  // most recent one, even when nothing else refers to it).
  HRESULT GetLastAttributes(IUnknown* item);

  // As GetAttributes, but takes over one reference to `item` and releases it
  // on every path.
  HRESULT CopyAllAttributesToNonIndexed(uint32_t id, IUnknown* item);

  // True when set `id` is stored and holds no indexed attributes for record
  // z. Most records carry none, which is no failure: the storage objects ask
  // this before the indexed copies below, which refuse such a record (an id
  // not stored answers false, so that the copy reports it).
  bool LacksRecord(uint32_t id, LONG z) const;

  // Adds the indexed attributes that set `id` holds for record z to `item`
  // as indexed attributes of record 1 (ToIndex1) or of record z. No list for
  // z: E_INVALIDARG ("Invalid z-value %d"). Both take over one reference to
  // `item` and release it on every path.
  HRESULT CopyAllIndexedAttributesToIndex1(uint32_t id, IUnknown* item, LONG z);
  HRESULT CopyAllAttributes(uint32_t id, IUnknown* item, LONG z);

  // Number of sets stored now.
  uint32_t Count() const;
  // Stored sets compared by lookups so far (tests: a lookup does not walk
  // the table).
  uint64_t Comparisons() const;

 private:
  using SetPtr = std::shared_ptr<const CAttributeSet>;
  friend Ref;
  void Retain(uint32_t id);
  void Release(uint32_t id);

  // The set of `id`, or null (traced) when the id is not stored.
  SetPtr Find(uint32_t id, const char* origin) const;
  // The set `id` to write into `item`: S_FALSE for id 0 (nothing to write),
  // E_INVALIDARG for an id not stored, E_POINTER (traced) for a null item.
  HRESULT WriteSource(uint32_t id, IUnknown* item, const char* origin, SetPtr* set) const;
  HRESULT WriteNonIndexed(uint32_t id, IUnknown* item, const char* origin);
  HRESULT WriteIndexed(uint32_t id, IUnknown* item, LONG z, LONG targetRecord, const char* origin);

  mutable vq::CriticalSection m_Lock;
  vq::SharedTable<SetPtr> m_Sets VQ_GUARDED_BY(m_Lock);
};
