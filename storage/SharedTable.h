// SharedTable.h - counted ids into a table that keeps each record once.
//
// The axis and attribute managers store every distinct definition once and
// hand out ids for it. vq::SharedTable is the table behind both: a record is
// found by a hash of its contents (the candidates with that hash are compared
// exactly, so a lookup costs one probe, not a walk over the table), and it
// lives exactly as long as something refers to it. What refers to a record
// is a vq::SharedId: a counted reference, copied with the value that holds
// it (a storage object's axis id, a slot's attribute-set id, a pool item's
// "shows this set"), released when that value changes or goes. The table
// drops a record when its last reference goes and gives its id to the next
// new record; since nothing compares or reads an id it holds no reference
// to, a reused id can never be mistaken for the record it named before.
//
// One more reference is the table's own, on the most recently inserted
// record (Last), because the whole-matrix copy gives its target "the last
// definition stored".
//
// Ids count from 1; 0 means "none" and is never counted. A SharedId may also
// be an unowned mark (Unowned): 0, the pool items' "unknown", or an id a test
// makes up; it counts nothing.
//
// Threads: SharedTable has no lock; its owner calls it under the owner's own
// lock. A SharedId is a value like any other: one thread at a time uses one
// SharedId object (the storage objects keep theirs under the matrix's data
// lock or their own), while copies of it may live on other threads, since
// retaining and releasing go through the owner's lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <unordered_map>
#include <utility>
#include <vector>

namespace vq {

// Mixes `value` into the running hash `seed` (the 64-bit finaliser of
// splitmix64 over the sum, so that nearby values spread over the buckets).
inline size_t HashMix(size_t seed, uint64_t value) {
  uint64_t x = static_cast<uint64_t>(seed) + 0x9e3779b97f4a7c15ULL + value;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return static_cast<size_t>(x ^ (x >> 31));
}

// A counted reference to record Id() of an Owner, which offers
// Retain(uint32_t) and Release(uint32_t) to this class.
template <class Owner>
class SharedId {
 public:
  SharedId() = default;
  SharedId(const SharedId& other) noexcept : m_Owner(other.m_Owner), m_Id(other.m_Id) {
    if (m_Owner != nullptr) m_Owner->Retain(m_Id);
  }
  SharedId(SharedId&& other) noexcept
      : m_Owner(std::exchange(other.m_Owner, nullptr)), m_Id(std::exchange(other.m_Id, 0)) {}
  // By value: a self-assignment retains before it releases.
  SharedId& operator=(SharedId other) noexcept {
    std::swap(m_Owner, other.m_Owner);
    std::swap(m_Id, other.m_Id);
    return *this;
  }
  ~SharedId() {
    if (m_Owner != nullptr) m_Owner->Release(m_Id);
  }

  // An id that holds no reference (see the opening).
  static SharedId Unowned(uint32_t id) {
    SharedId mark;
    mark.m_Id = id;
    return mark;
  }

  uint32_t Id() const { return m_Id; }
  // Read like the plain id it stands for: compared, passed to a lookup.
  operator uint32_t() const { return m_Id; }  // NOLINT(google-explicit-constructor)

 private:
  friend Owner;
  // Adopts one reference that `owner` has already counted.
  SharedId(Owner* owner, uint32_t id) : m_Owner(id != 0 ? owner : nullptr), m_Id(id) {}

  Owner* m_Owner = nullptr;  // null: counts nothing
  uint32_t m_Id = 0;
};

template <class Record>
class SharedTable {
 public:
  // The lowest id of a stored record with `hash` for which same(record)
  // holds, or 0. Each candidate compared counts in Comparisons.
  template <class Same>
  uint32_t Find(size_t hash, Same&& same) {
    uint32_t found = 0;
    auto [first, last] = m_Index.equal_range(hash);
    for (auto it = first; it != last; ++it) {
      if (found != 0 && it->second > found) continue;
      ++m_Comparisons;
      if (same(m_Entries[it->second - 1].Value)) found = it->second;
    }
    return found;
  }

  // Stores `record` under a free id with no reference counted yet, and makes
  // it the Last record; the record that was Last loses the table's reference
  // and, when that was its last one, is moved to *dropped. 0 when memory or
  // ids run out: the table is unchanged then.
  uint32_t Insert(size_t hash, Record&& record, Record* dropped) {
    uint32_t id = m_FreeHead;
    try {
      if (id == 0) {
        if (m_Entries.size() >= UINT32_MAX - 1) return 0;
        m_Entries.emplace_back();
        id = static_cast<uint32_t>(m_Entries.size());
      }
      try {
        m_Index.emplace(hash, id);
      } catch (...) {
        if (id != m_FreeHead) m_Entries.pop_back();
        throw;
      }
    } catch (const std::bad_alloc&) {
      return 0;
    }
    Entry& e = m_Entries[id - 1];
    if (id == m_FreeHead) m_FreeHead = e.NextFree;
    e.Value = std::move(record);
    e.Hash = hash;
    e.Refs = 1;  // the table's, as Last
    e.NextFree = 0;
    ++m_Live;
    const uint32_t previous = std::exchange(m_Last, id);
    if (previous != 0) Release(previous, dropped);
    return id;
  }

  // Counts one more reference to a stored record.
  void Retain(uint32_t id) {
    if (Stored(id)) ++m_Entries[id - 1].Refs;
  }

  // Takes one reference away; with the last one the record leaves the table
  // (moved to *dropped, so that the caller can destroy it after leaving its
  // lock) and its id becomes free. True when the record was dropped.
  bool Release(uint32_t id, Record* dropped) {
    if (!Stored(id)) return false;
    Entry& e = m_Entries[id - 1];
    if (--e.Refs != 0) return false;
    auto [first, last] = m_Index.equal_range(e.Hash);
    for (auto it = first; it != last; ++it) {
      if (it->second == id) {
        m_Index.erase(it);
        break;
      }
    }
    *dropped = std::move(e.Value);
    e.Value = Record();
    e.NextFree = m_FreeHead;
    m_FreeHead = id;
    --m_Live;
    return true;
  }

  // The stored record of `id`, or null (0, an id out of range or free).
  const Record* Get(uint32_t id) const { return Stored(id) ? &m_Entries[id - 1].Value : nullptr; }
  // The id of the most recently inserted record (0 before the first).
  uint32_t Last() const { return m_Last; }
  // Records stored now.
  uint32_t Count() const { return m_Live; }
  // Candidates Find has compared so far (the cost of its lookups).
  uint64_t Comparisons() const { return m_Comparisons; }

 private:
  struct Entry {
    Record Value{};
    size_t Hash = 0;
    uint64_t Refs = 0;      // 0: the entry is free
    uint32_t NextFree = 0;  // next free entry's id while free
  };

  bool Stored(uint32_t id) const { return id != 0 && id <= m_Entries.size() && m_Entries[id - 1].Refs != 0; }

  std::vector<Entry> m_Entries;                       // entry of id n at n - 1
  std::unordered_multimap<size_t, uint32_t> m_Index;  // content hash -> ids
  uint32_t m_FreeHead = 0;                            // a free entry's id, 0 none
  uint32_t m_Last = 0;
  uint32_t m_Live = 0;
  uint64_t m_Comparisons = 0;
};

}  // namespace vq
