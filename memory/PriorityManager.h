// PriorityManager.h - the order in which storage objects are swapped out.
//
// CPriorityManager keeps the data indices of a matrix's storage objects in
// the order of their last use: the front is the least recently used, the
// back the most recently used. Every element access pushes its data index to
// the back; the memory watcher pops the next object to save from the front
// (elementPriorityFifo) or from the back (any other value, last-in-first-out),
// skipping objects that a client holds (their IsLocked answers true).
//
// Objects queued by the allocation and not used since (PushUntouched) are
// picked only when no used object can be: their values were never written,
// so their pages are mostly not even resident, and saving them would write
// zeros to the swap file and free next to nothing, only for the client to
// read them back when it fills them.
//
// The queue is two intrusive doubly linked lists over the data indices (used
// and untouched objects): one (previous, next) pair per index, so push,
// remove and the bookkeeping of a pop cost constant time and no allocation;
// only a pop walks past locked objects.
//
// s_ReportNoneSwappable, shared by all matrices, lets "None of the %u/%u
// elements can be swapped out" appear once per stretch in which nothing can
// be swapped: it is cleared when that message condition is met and set again
// when a first-in-first-out pop empties the queue. It is a plain flag; a lost
// update only changes whether a line is traced.
//
// Threads: the client's thread pushes, removes, clears and sets the type;
// the memory watcher pops and pushes back objects it could not save. m_Lock
// guards every field. PopPriority calls IsLocked on storage objects under
// m_Lock, so the order is: the matrix's m_DataLock (when held), m_Lock, the
// storage object's own lock. The element table itself is resized and its
// objects destroyed only under the matrix's m_MemoryLock, which every pop
// also holds.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "VQDataMatrixLib.h"
#include "VQPlatform.h"

class CDataBase;

class CPriorityManager {
 public:
  using ElementTable = std::vector<std::unique_ptr<CDataBase>>;

  CPriorityManager() = default;
  CPriorityManager(const CPriorityManager&) = delete;
  CPriorityManager& operator=(const CPriorityManager&) = delete;

  // Sizes the position table for `count` data indices and records the
  // element table (not owned). The queue keeps its contents when the count
  // does not shrink below an index in it; false (traced) when memory runs out.
  bool Initialize(uint32_t count, const ElementTable* elements);
  // Extends the position table to `count` data indices (never shrinks it),
  // keeping the queue: for an element table that grows as the elements of
  // a stream arrive. False (traced) when memory runs out; nothing changes
  // then.
  bool Grow(uint32_t count);

  // Moves `dataIndex` to the back (most recently used); indices not below the
  // count are ignored.
  void PushPriority(uint32_t dataIndex);
  // PushPriority for an object the allocation has just made: it stays
  // "untouched" (picked last) until its next PushPriority.
  void PushUntouched(uint32_t dataIndex);
  // Takes `dataIndex` out of the queue; false when it was not queued.
  bool RemovePriority(uint32_t dataIndex);
  // Picks the next object that no client holds and takes it out of the
  // queue; false when the queue is empty or every object is held.
  bool PopPriority(uint32_t* dataIndex);
  // Empties the queue; the count, type and element table stay.
  void Clear();
  void SetPriorityType(elementPriorityType type);
  elementPriorityType GetPriorityType() const;

  // Number of queued indices.
  uint32_t Length() const;
  // The queued indices in first-in-first-out pop order: the used objects
  // from front to back, then the untouched ones (tests and diagnostics).
  std::vector<uint32_t> Snapshot() const;

  static std::atomic<bool> s_ReportNoneSwappable;

 private:
  static constexpr uint32_t kNone = UINT32_MAX;
  void Unlink(uint32_t index);
  void PushBack(uint32_t index, bool untouched);
  bool IsQueued(uint32_t index) const { return m_Prev[index] != kNotQueued; }

  // m_Prev holds kNotQueued for an index that is not in the queue.
  static constexpr uint32_t kNotQueued = UINT32_MAX - 1;

  mutable vq::CriticalSection m_Lock;
  uint32_t m_Count = 0;                                   // guarded by m_Lock
  elementPriorityType m_PriorityType = elementPriorityFifo;  // guarded by m_Lock
  const ElementTable* m_Elements = nullptr;              // guarded by m_Lock
  std::vector<uint32_t> m_Prev;                          // guarded by m_Lock
  std::vector<uint32_t> m_Next;                          // guarded by m_Lock
  std::vector<bool> m_Untouched;                         // guarded by m_Lock
  // Two lists over the same position table: [0] the used objects, [1] the
  // untouched ones (m_Untouched says which list an index is in).
  uint32_t m_Front[2] = {kNone, kNone};                  // guarded by m_Lock
  uint32_t m_Back[2] = {kNone, kNone};                   // guarded by m_Lock
  uint32_t m_Length = 0;                                 // guarded by m_Lock
};
