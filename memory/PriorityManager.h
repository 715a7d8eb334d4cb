// PriorityManager.h - the order in which storage objects are swapped out.
//
// CPriorityManager keeps the data indices of a matrix's storage objects in
// the order of their last use: the front is the least recently used, the
// back the most recently used. Every element access pushes its data index to
// the back; the memory watcher pops the next object to save from the front
// (first-in-first-out, the interface's elementPriorityFifo) or from the back
// (any other value, last-in-first-out), skipping objects that may not be
// saved now (a client holds them: they are parked, see below).
//
// The queue knows the objects only by index: it asks their owner, through
// the small interface CPriorityManager::Table, how many there are and
// whether one may be saved. The matrix answers over its element table
// (matrix/MemoryWatcher.cpp); the queue knows nothing of storage objects.
//
// Objects queued by the allocation and not used since (PushUntouched) are
// picked only when no used object can be: their values were never written,
// so their pages are mostly not even resident, and saving them would write
// zeros to the swap file and free next to nothing, only for the client to
// read them back when it fills them.
//
// The queue is three intrusive doubly linked lists over the data indices
// (used, untouched and parked objects): one (previous, next) pair per index,
// so push, remove and the bookkeeping of a pop cost constant time and no
// allocation.
//
// Held objects are parked: a pop that finds an object a client holds moves
// it to the parked list instead of walking past it again at every later pop
// (with 20,000 held objects an access under low memory spent 1.5 ms there).
// A parked object comes back by its next use (PushPriority, to the most
// recently used end, as any use) or when a pop finds it released. The queue
// cannot see a release, so a pop that finds nothing else to save looks at up
// to kParkedLooks parked objects, from the end it pops, and rotates those
// still held to the other end: successive pops cover the parked list, and a
// pop looks at a bounded number of entries besides the objects it parks
// (each parked once per use, so their cost is the use's). Parked objects are
// still queued: Length and Snapshot count them, after the untouched ones.
//
// s_ReportNoneSwappable, shared by all matrices, lets "None of the %u/%u
// elements can be swapped out" appear once per stretch in which nothing can
// be swapped: it is cleared when that message condition is met and set again
// when a first-in-first-out pop empties the queue. It is a plain flag; a lost
// update only changes whether a line is traced.
//
// Element access records its use without the queue's lock (Touch): the
// matrix calls it under its m_DataLock, which it holds for the access
// anyway; the queue's lock pair and push were about a quarter of an
// in-memory access. A use goes into a ring of kTouchSlots data indices (one
// producer at a time, since the callers' lock serialises them); every other
// call first applies the pending uses under m_Lock, in the order they were
// made, as PushPriority would have. So the lists, and the order pops see,
// are exactly those of eager pushes: a use is merely applied late, and a use
// made while a pop runs counts as made after it, as it could with eager
// pushes too. A full ring is applied by the use that finds it full (one lock
// per kTouchSlots uses).
//
// Threads: the client's thread pushes, removes, clears and sets the type;
// the memory watcher pops and pushes back objects it could not save. m_Lock
// guards every field but the ring, whose slots belong to the producer until
// m_TouchHead publishes them and to the consumer (who holds m_Lock) until
// m_TouchTail gives them back. PopPriority asks the table under m_Lock (the
// matrix's answer takes the storage object's own lock), so the order is: the
// matrix's m_DataLock (when held), m_Lock, the storage object's own lock.
// The element table itself is resized and its objects destroyed only under
// the matrix's m_MemoryLock, which every pop also holds.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "VQPlatform.h"

class CPriorityManager {
 public:
  // The objects the queue orders, as their owner answers for them. Called
  // under the queue's lock, on the client's thread or the memory watcher's.
  class Table {
   public:
    // Objects in the table now; a queued index at or beyond it stops a pop.
    virtual size_t Size() const = 0;
    // True when object `index` (below Size()) exists and may be saved now:
    // no client holds it.
    virtual bool MaySave(uint32_t index) const = 0;

   protected:
    ~Table() = default;
  };

  // The pop order that takes the least recently used object first
  // (elementPriorityFifo); every other value takes the most recently used.
  static constexpr LONG kFirstInFirstOut = 0;

  CPriorityManager() = default;
  CPriorityManager(const CPriorityManager&) = delete;
  CPriorityManager& operator=(const CPriorityManager&) = delete;

  // Sizes the position table for `count` data indices and records the
  // table of objects (not owned; it outlives the queue's use of it). The queue keeps its contents when the count
  // does not shrink below an index in it; false (traced) when memory runs out.
  bool Initialize(uint32_t count, const Table* table);
  // Extends the position table to `count` data indices (never shrinks it),
  // keeping the queue: for an element table that grows as the elements of
  // a stream arrive. False (traced) when memory runs out; nothing changes
  // then.
  bool Grow(uint32_t count);

  // Moves `dataIndex` to the back (most recently used); indices not below the
  // count are ignored.
  void PushPriority(uint32_t dataIndex);
  // PushPriority of each of `count` indices in turn (the last ends at the
  // back), under one lock: a reader of many objects pays one lock for them.
  void PushPriority(const uint32_t* dataIndices, size_t count);
  // PushPriority(dataIndex) without the queue's lock: the use is recorded
  // and applied, in order, before any other call looks at or changes the
  // queue. Callers serialise their Touch calls with one lock of their own
  // (`serialiser`, the matrix's m_DataLock), which they may hold while the
  // queue's lock is taken.
  void Touch(uint32_t dataIndex, [[maybe_unused]] const vq::CriticalSection& serialiser) VQ_REQUIRES(serialiser) {
    const uint32_t head = m_TouchHead.load(std::memory_order_relaxed);
    const uint32_t tail = m_TouchTail.load(std::memory_order_acquire);
    // A use of the object whose use is still pending at the back changes
    // nothing once both are applied.
    if (head != tail && m_Touched[(head - 1) % kTouchSlots] == dataIndex) return;
    if (head - tail == kTouchSlots) ApplyFullRing();
    m_Touched[head % kTouchSlots] = dataIndex;
    m_TouchHead.store(head + 1, std::memory_order_release);
  }
  // PushPriority for an object the allocation has just made: it stays
  // "untouched" (picked last) until its next PushPriority.
  void PushUntouched(uint32_t dataIndex);
  // Takes `dataIndex` out of the queue; false when it was not queued.
  bool RemovePriority(uint32_t dataIndex);
  // Picks the next object that may be saved and takes it out of the queue;
  // false when the queue is empty or no queued object may be saved.
  bool PopPriority(uint32_t* dataIndex);
  // Empties the queue; the count, type and table stay.
  void Clear();
  // The pop order, an elementPriorityType value kept as given:
  // kFirstInFirstOut, or anything else for last-in-first-out.
  void SetPriorityType(LONG type);
  LONG GetPriorityType() const;

  // Number of queued indices.
  uint32_t Length();
  // The queued indices in first-in-first-out pop order: the used objects
  // from front to back, then the untouched ones, then the parked ones (tests
  // and diagnostics).
  std::vector<uint32_t> Snapshot();
  // Entries pops have asked the table about since the last Initialize or
  // Clear (tests: a pop's cost).
  uint64_t Examined() const;
  // Parked objects a pop that finds nothing else to save looks at.
  static constexpr uint32_t kParkedLooks = 16;
  // Uses Touch keeps before it applies them itself.
  static constexpr uint32_t kTouchSlots = 256;

  static std::atomic<bool> s_ReportNoneSwappable;

 private:
  static constexpr uint32_t kNone = UINT32_MAX;
  // The lists, by their number in m_List, m_Front and m_Back.
  static constexpr uint8_t kUsed = 0, kUntouched = 1, kHeld = 2;
  static constexpr int kLists = 3;
  void ClearEnds() VQ_REQUIRES(m_Lock);
  // PushPriority's work.
  void Use(uint32_t dataIndex) VQ_REQUIRES(m_Lock);
  // Applies the uses Touch recorded, oldest first.
  void ApplyTouches() VQ_REQUIRES(m_Lock);
  // ApplyTouches under m_Lock, for a Touch that finds the ring full.
  void ApplyFullRing() VQ_EXCLUDES(m_Lock);
  // Forgets them: what follows empties the queue.
  void DropTouches() VQ_REQUIRES(m_Lock);
  void Unlink(uint32_t index) VQ_REQUIRES(m_Lock);
  void PushBack(uint32_t index, uint8_t list) VQ_REQUIRES(m_Lock);
  // Takes `index` out of the queue as a pop's pick; true.
  bool Take(uint32_t index, bool fifo, uint32_t* dataIndex) VQ_REQUIRES(m_Lock);
  // Links an unlinked index at the front of `list`.
  void PushFront(uint32_t index, uint8_t list) VQ_REQUIRES(m_Lock);
  bool IsQueued(uint32_t index) const VQ_REQUIRES(m_Lock) { return m_Links[index].prev != kNotQueued; }

  // A link's prev is kNotQueued for an index that is not in the queue.
  static constexpr uint32_t kNotQueued = UINT32_MAX - 1;

  mutable vq::CriticalSection m_Lock;
  uint32_t m_Count VQ_GUARDED_BY(m_Lock) = 0;
  LONG m_PriorityType VQ_GUARDED_BY(m_Lock) = kFirstInFirstOut;
  const Table* m_Table VQ_GUARDED_BY(m_Lock) = nullptr;
  // An index's neighbours, side by side: moving an index to the back
  // touches it and three neighbours, one cache line each.
  struct Link {
    uint32_t prev = kNotQueued, next = kNone;
  };
  std::vector<Link> m_Links VQ_GUARDED_BY(m_Lock);
  std::vector<uint8_t> m_List VQ_GUARDED_BY(m_Lock);  // the list a queued index is in
  uint32_t m_Front[kLists] VQ_GUARDED_BY(m_Lock) = {kNone, kNone, kNone};
  uint32_t m_Back[kLists] VQ_GUARDED_BY(m_Lock) = {kNone, kNone, kNone};
  uint32_t m_Length VQ_GUARDED_BY(m_Lock) = 0;
  uint64_t m_Examined VQ_GUARDED_BY(m_Lock) = 0;
  // The ring of uses (see above): free-running counts, slot = count %
  // kTouchSlots; pending uses are [m_TouchTail, m_TouchHead). The head is
  // written by Touch only, the tail under m_Lock only.
  uint32_t m_Touched[kTouchSlots] = {};
  std::atomic<uint32_t> m_TouchHead{0};
  std::atomic<uint32_t> m_TouchTail{0};
};
