// AxisManager.h - the shared store of element x-axes.
//
// A storage object whose values are swapped out (or packed into a shared
// buffer) keeps only an axis id; CAxisManager keeps the definitions, so that
// a fresh data item can be given the right axis later. Each distinct axis is
// stored once: equal axes share one id, and a matrix of thousands of elements
// with one x-axis stores it once. Ids count from 1 (record p has id p + 1),
// 0 means "no axis"; records are only appended and never change, so an id
// keeps its meaning for the life of the matrix.
//
// Two records are equal when kind, size, first band, fraction, unit and (for
// explicit-value axes) the values are equal and the first value and delta
// each differ by less than 1e-6.
//
// An axis object whose size is below 1, or which is the untouched default
// (linear, first value 0, delta 1, empty unit), is "empty": it gets id 0 and
// nothing is stored, since a fresh data item already has that axis.
//
// Threads: reached from the client's thread and from the memory watcher
// (saving and recycling storage objects), partly without the matrix's data
// lock. m_Lock guards the table; it is the innermost lock and is never held
// while an axis object is called.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "VQData.h"
#include "VQPlatform.h"

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

  CAxisManager() = default;
  CAxisManager(const CAxisManager&) = delete;
  CAxisManager& operator=(const CAxisManager&) = delete;

  // Records the definition of `axis`; *id receives the id of an equal stored
  // axis, a new id, or 0 for an empty axis. E_POINTER for a null argument or
  // an object that is not an axis; an axis object's failure code is returned
  // (traced "Failed to set axis. HR=0x%08x"); the table is unchanged then.
  HRESULT AddAxis(IVQAxis* axis, uint32_t* id);

  // Records an axis given by its values (no emptiness test); E_POINTER for a
  // null id pointer.
  HRESULT AddAxis(LONG kind, LONG size, double firstValue, double delta, const wchar_t* unit, LONG firstBand,
                  LONG fraction, uint32_t* id);

  // Gives `axis` the definition of `id`. Id 0 succeeds and changes nothing;
  // an unknown id gives E_INVALIDARG, a null axis E_POINTER; a record of an
  // unknown kind leaves the axis as it is. A failure of the axis object is
  // raised as a component error.
  HRESULT GetAxis(uint32_t id, IVQAxis* axis);

  // Copies the fields of `id` to the out arguments that are not null. Id 0 or
  // an unknown id gives E_INVALIDARG.
  HRESULT GetAxis(uint32_t id, LONG* kind, LONG* size, double* firstValue, double* delta, std::wstring* unit,
                  LONG* firstBand, LONG* fraction);

  // GetAxis onto `axis` with the highest id; with no records does nothing.
  HRESULT GetLastAxis(IVQAxis* axis);

  // Number of stored axes (the highest id).
  uint32_t Count() const;

 private:
  HRESULT Store(AxisRecord&& record, uint32_t* id);
  bool Find(uint32_t id, AxisRecord* copy) const;

  mutable vq::CriticalSection m_Lock;
  std::vector<AxisRecord> m_Axes VQ_GUARDED_BY(m_Lock);
};
