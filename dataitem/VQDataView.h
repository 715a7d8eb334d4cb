// VQDataView.h - how the matrix library lends a data item values it keeps.
//
// IVQDataView is an interface between the two libraries of this project, not
// a client's: no public header declares it and the type description does not
// list it. The data item answers it; a storage object that packs the values of
// many elements into one block (storage/MultiData.h) uses it to hand out an
// item whose values are a part of that block instead of a copy of them.
//
// A viewing item holds one reference on the memory's owner, so the memory
// stays in place while the item shows it, whatever happens to the storage
// object or the matrix meanwhile. Everything else of the item (axis, name,
// attributes, record attributes, tag vectors) stays the item's own. The item
// stops showing the memory, and takes a block of its own, when a client gives
// it another shape or format (Allocate, AllocateLike, Reshape, SetRawData,
// SetDataBuffer, CopyValuesFrom, LoadFromStream, Clear, FreeData); where the
// values must survive (Reshape, an Allocate of the same byte size) they are
// copied first. A view lent for reading also takes a copy before the item's
// own value setters (SetValue, SetRecordValues, SetAllValues, ZeroValues)
// write, so that only a view lent for writing changes the lender's values
// through the item's methods; the raw pointers of GetDataBuffer, GetRawData
// and GetRecordPointer always reach the shown memory.
//
// Thread safety: as every method of the item, under the item's own lock.
#pragma once

#include "VQData.h"

VQ_DECLARE_INTERFACE(IVQDataView, IUnknown, "9E4B7C21-5D03-4A6F-B812-3C7F0E95A4D6");
struct IVQDataView : public IUnknown {
  // Shows nXSize x nZSize values of Format at Values, memory that Owner keeps
  // alive (the item adds a reference to Owner until it lets go of the
  // memory); the item's values before are let go of, the x-axis follows the
  // size as after Allocate. Writable says whether the item's value setters
  // may write into the memory. E_INVALIDARG for an unknown format or a bad
  // size, E_POINTER for a null owner or null values of a non-empty shape;
  // the item is unchanged on failure.
  STDMETHOD(ShowValues)(IUnknown* Owner, void* Values, LONG nXSize, LONG nZSize, LONG Format, BOOL Writable) = 0;
  // S_OK when the item still shows the memory at Values (any lender's
  // memory when Values is null), S_FALSE otherwise (it holds values of its
  // own, or shows other memory).
  STDMETHOD(ShowsValues)(const void* Values) = 0;
};

inline constexpr IID IID_IVQDataView = __uuidof(IVQDataView);
