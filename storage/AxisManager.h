// AxisManager.h - the shared store of element x-axes.
//
// A storage object whose values are swapped out (or packed into a shared
// buffer) keeps only an axis id; CAxisManager keeps the definitions, so that
// a fresh data item can be given the right axis later. Each distinct axis is
// stored once: equal axes share one id, and a matrix of thousands of elements
// with one x-axis stores it once. Ids count from 1, 0 means "no axis".
//
// An id is handed out as a counted reference (Ref, storage/SharedTable.h):
// a definition stays while something holds a Ref to it and is dropped with
// the last one, so an acquisition that gives every element its own axis and
// later changes them leaves only the axes in use. An id keeps its meaning
// while its Ref is held; a dropped definition's id goes to a later one.
//
// Two records are equal when kind, size, first band, fraction, unit and (for
// explicit-value axes) the values are equal and the first value and delta
// each differ by less than 1e-6. A lookup hashes the exact fields and the
// 2e-6 wide cells of the first value, the delta and the first explicit
// value: two values within 1e-6 lie in the same or adjacent cells, so the
// lookup probes the neighbouring cells too and compares only the records
// found there. Among equal records the lowest id is taken.
//
// An axis object whose size is below 1, or which is the untouched default
// (linear, first value 0, delta 1, empty unit), is "empty": it gets id 0 and
// nothing is stored, since a fresh data item already has that axis.
//
// Threads: reached from the client's thread and from the memory watcher
// (saving and recycling storage objects), partly without the matrix's data
// lock. m_Lock guards the table and the reference counts; it is the
// innermost lock and is never held while an axis object is called.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "VQData.h"
#include "VQPlatform.h"
#include "storage/SharedTable.h"

class CAxisManager {
 public:
  struct AxisRecord {
    LONG Kind = -1;  // -1 not set
    LONG Size = 0;
    double FirstValue = 0.0;
    double Delta = 0.0;
    std::wstring Unit;
    LONG FirstBand = 0;
    LONG Fraction = 0;
    std::vector<double> Values;  // explicit-value axes only

    bool Equals(const AxisRecord& other) const;
  };

  // A counted reference to a stored axis (0: no axis).
  using Ref = vq::SharedId<CAxisManager>;

  CAxisManager() = default;
  CAxisManager(const CAxisManager&) = delete;
  CAxisManager& operator=(const CAxisManager&) = delete;

  // Records the definition of `axis`; *id receives a reference to an equal
  // stored axis, to a new one, or 0 for an empty axis (what it held before is
  // released). E_POINTER for a null argument or an object that is not an
  // axis; an axis object's failure code is returned (traced "Failed to set
  // axis. HR=0x%08x"); E_OUTOFMEMORY when the table cannot grow. On failure
  // the table and *id are unchanged.
  HRESULT AddAxis(IVQAxis* axis, Ref* id);

  // Records an axis given by its values (no emptiness test); E_POINTER for a
  // null id pointer.
  HRESULT AddAxis(LONG kind, LONG size, double firstValue, double delta, const wchar_t* unit, LONG firstBand,
                  LONG fraction, Ref* id);

  // Gives `axis` the definition of `id`. Id 0 succeeds and changes nothing;
  // an id not stored gives E_INVALIDARG, a null axis E_POINTER; a record of an
  // unknown kind leaves the axis as it is. A failure of the axis object is
  // raised as a component error.
  HRESULT GetAxis(uint32_t id, IVQAxis* axis);

  // Copies the fields of `id` to the out arguments that are not null. Id 0 or
  // an id not stored gives E_INVALIDARG.
  HRESULT GetAxis(uint32_t id, LONG* kind, LONG* size, double* firstValue, double* delta, std::wstring* unit,
                  LONG* firstBand, LONG* fraction);

  // GetAxis onto `axis` with the most recently stored axis (kept while it is
  // the most recent one, even when nothing else refers to it); with none
  // does nothing.
  HRESULT GetLastAxis(IVQAxis* axis);

  // Number of axes stored now.
  uint32_t Count() const;
  // Stored records compared by lookups so far (tests: a lookup does not walk
  // the table).
  uint64_t Comparisons() const;

 private:
  friend Ref;
  void Retain(uint32_t id);
  void Release(uint32_t id);

  HRESULT Store(AxisRecord&& record, Ref* id);
  // Gives `axis` the definition `record`: GetAxis's work after the lookup.
  static HRESULT Apply(const AxisRecord& record, IVQAxis* axis);
  bool Find(uint32_t id, AxisRecord* copy) const;

  mutable vq::CriticalSection m_Lock;
  vq::SharedTable<AxisRecord> m_Axes VQ_GUARDED_BY(m_Lock);
};
