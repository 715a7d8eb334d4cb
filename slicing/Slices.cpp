// The D1-D2, D1-D3 and D2-D3 slices and their spectrum variants.
//
// All six walk one plane of the matrix: two dimensions vary (an outer and an
// inner loop), two are held by the call's arguments. The planes differ only
// in a row of kPlanes below; one implementation serves each kind of slice.
//
// A scalar slice sums an x range of one record of every element of the plane
// into one value per element; a spectrum slice copies that whole record into
// one record of the result. The plane is walked in groups of elements: one
// memory check (with m_DataLock not held), then one m_DataLock for the whole
// group, during which each storage object shows the wanted values of its
// elements in place (CDataBase::ReadValues: the single-object item's buffer,
// the packed buffer) and is pushed once to the back of the swap queue; the
// sums and copies are made before the lock is left, since the views are
// valid only under it. An element the object cannot show in place (a part
// in memory, an item a client holds, a single-object element on disk) is
// asked only for the values it needs (GetDataSubset), so a swapped-out
// element comes back in part, and its values are read through the returned
// item, which the group holds. A group ends after an object that had to be
// brought back, so loads never pile up between two memory checks.
//
// Summing: each element's sum adds its values one after another in x order,
// in the value format (a float sum stays float), so it is one chain of
// dependent additions. Chains of different elements are independent, so the
// scalar slice fetches a batch of elements first and then advances their
// chains side by side; each chain keeps its own order and its result is
// bit-identical to the plain loop.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <string>

#include "core/VQErrorReporting.h"
#include "matrix/VQDataMatrix.h"
#include "slicing/BandFinder.h"
#include "storage/DataBase.h"
#include "trace/VQTrace.h"

namespace {

// One plane: which dimensions (0..3 for d1..d4) the loops walk and which the
// two fixed arguments hold, and the differences in what the scalar slice
// traces and checks.
struct SlicePlane {
  const char* Origin;          // trace origin of the scalar slice
  const char* SpectrumOrigin;  // trace origin of the spectrum slice
  int Outer;                   // dimension of the outer loop (the faster one by row)
  int Inner;                   // dimension of the inner loop (the faster one by column)
  int FixedA;                  // dimension held by the first fixed argument
  int FixedB;                  // dimension held by the second fixed argument (d4)
  const char* FixedAInvalid;   // spectrum slice: message for a bad first fixed position
  bool TraceEntry;             // "GetD1D2Slice Xmin: ..." and the closing value
  bool TraceClamping;          // the linear axis' "Xmin<FirstValue" / "Xmax>LastValue" lines
  bool ShortIndexTraces;       // "firstIdx: %d" instead of "firstIdx: %d (0->%d)"
  bool RefuseReversedRange;    // lastIdx < firstIdx fails instead of giving zeros
};

constexpr SlicePlane kD1D2 = {"CVQDataMatrix::GetD1D2Slice",
                              "CVQDataMatrix::GetD1D2SliceSpectrum",
                              0,
                              1,
                              2,
                              3,
                              "D3 invalid.",
                              true,
                              true,
                              false,
                              true};
constexpr SlicePlane kD1D3 = {"CVQDataMatrix::GetD1D3Slice",
                              "CVQDataMatrix::GetD1D3SliceSpectrum",
                              0,
                              2,
                              1,
                              3,
                              "D2 invalid.",
                              false,
                              false,
                              true,
                              false};
constexpr SlicePlane kD2D3 = {"CVQDataMatrix::GetD2D3Slice",
                              "CVQDataMatrix::GetD2D3SliceSpectrum",
                              1,
                              2,
                              0,
                              3,
                              "D1 invalid.",
                              false,
                              false,
                              false,
                              false};

// The checks that end the call: the method guard traces the first text and
// returns the code; the caller reads the words after it.
[[noreturn]] void RefuseFormat(LONG format) {
  vq::RefuseWithReason(E_NOTIMPL, "Invalid data format.",
                       "The elements' value format %d cannot be sliced: only dataFormatFloat64 (%d) and "
                       "dataFormatFloat32 (%d) can",
                       format, static_cast<int>(dataFormatFloat64), static_cast<int>(dataFormatFloat32));
}

[[noreturn]] void RefuseAxisKind(LONG kind) {
  vq::RefuseWithReason(E_NOTIMPL, "Invalid axis type.", "The elements' x-axis is of kind %d, which a slice cannot use",
                       kind);
}

[[noreturn]] void RefusePosition(const char* message, int dimension, LONG position, uint32_t size) {
  vq::RefuseWithReason(E_FAIL, message, "d%d = %d is outside the matrix (d%d runs from 0 to %u)", dimension + 1,
                       position, dimension + 1, size - 1);
}

[[noreturn]] void RefuseRecord(LONG Z, LONG records) {
  vq::RefuseWithReason(E_FAIL, "Z invalid.", "Record Z = %d does not exist: the elements have %d records", Z, records);
}

// The component error for using a reference that is empty.
[[noreturn]] void EmptyReference() { throw _com_error(E_POINTER); }

// The IVQData of an object: empty when it is no data item (E_NOINTERFACE), a
// component error for any other failure.
vq::ComPtr<IVQData> AsData(IUnknown* unknown) {
  vq::ComPtr<IVQData> data;
  if (unknown == nullptr) return data;
  HRESULT hr = unknown->QueryInterface(IID_IVQData, data.put_void());
  if (FAILED(hr) && hr != E_NOINTERFACE) vq::ThrowIfFailed(hr, unknown, IID_IUnknown);
  return data;
}

IVQData* Use(const vq::ComPtr<IVQData>& data) {
  if (!data) EmptyReference();
  return data.get();
}

// The narrow text of a BSTR that the call owns (freed here).
std::string TakeText(BSTR text) {
  _bstr_t owned(text, false);
  const char* narrow = owned;
  return narrow != nullptr ? std::string(narrow) : std::string();
}

// Truncation toward zero of a computed index; NaN and values beyond 32 bits
// become -1, which every index check refuses.
LONG TruncatedIndex(double value) {
  if (!(value > -2147483648.0 && value < 2147483648.0)) return -1;
  return static_cast<LONG>(value);
}

// What the reference element (element 0) says about every element.
struct Reference {
  vq::ComPtr<IVQData> Item;
  LONG Format = 0;
  LONG XSize = 0;    // values per record (xs)
  LONG Records = 0;  // records per element (n)
  vq::ComPtr<IVQAxis> Axis;
  LONG Kind = 0;
  LONG AxisSize = 0;
  double First = 0.0;  // linear axes: first value and delta
  double Delta = 0.0;
};

template <class T>
T* ValuesOf(const VQDataBuffer& buffer);
template <>
double* ValuesOf<double>(const VQDataBuffer& buffer) {
  return buffer.Format == dataFormatFloat64 ? buffer.pDouble : nullptr;
}
template <>
float* ValuesOf<float>(const VQDataBuffer& buffer) {
  return buffer.Format == dataFormatFloat32 ? buffer.pFloat : nullptr;
}

// W chains of `length` values each, every chain summed in its own order.
template <class T, int W>
void SumChains(const T* const* chains, LONG length, T* sums) {
  T acc[W];
  for (int w = 0; w < W; ++w) acc[w] = T(0);
  for (LONG k = 0; k < length; ++k) {
    for (int w = 0; w < W; ++w) acc[w] += chains[w][k];
  }
  for (int w = 0; w < W; ++w) sums[w] = acc[w];
}

template <class T>
void SumAll(const T* const* chains, int count, LONG length, T* sums) {
  int done = 0;
  for (; count - done >= 8; done += 8) SumChains<T, 8>(chains + done, length, sums + done);
  if (count - done >= 4) {
    SumChains<T, 4>(chains + done, length, sums + done);
    done += 4;
  }
  if (count - done >= 2) {
    SumChains<T, 2>(chains + done, length, sums + done);
    done += 2;
  }
  if (count - done == 1) SumChains<T, 1>(chains + done, length, sums + done);
}

// A client may pass any 32-bit value as a direction; it is read as the
// integer it is, so that a value outside the enumeration is refused rather
// than loaded as an enumerator it is not.
LONG Direction(const matrixDirectionType* dir) {
  static_assert(sizeof(LONG) == sizeof(matrixDirectionType));
  LONG value = 0;
  std::memcpy(&value, dir, sizeof value);
  return value;
}

// Gives the result item the slice's shape: reallocated only when its format
// or size differs, so a caller's item of the right shape is reused.
void ShapeResult(IVQData* target, LONG format, LONG xSize, LONG zSize) {
  LONG have = 0, x = 0, z = 0;
  vq::ThrowIfFailed(target->GetFormat(&have), target, IID_IVQData);
  vq::ThrowIfFailed(target->GetSize(0, &x), target, IID_IVQData);
  vq::ThrowIfFailed(target->GetSize(1, &z), target, IID_IVQData);
  if (have != format || x != xSize || z != zSize) {
    vq::ThrowIfFailed(target->Allocate(xSize, zSize, format), target, IID_IVQData);
  }
}

}  // namespace

// The plane walk. A friend of the matrix: it reads the geometry, the storage
// table and the swap queue the way the element access methods do.
class CSlicer {
 public:
  explicit CSlicer(CVQDataMatrix& matrix) : m(matrix) {}

  HRESULT Scalar(const SlicePlane& plane, double Xmin, double Xmax, LONG Z, LONG fixedA, LONG fixedB,
                 LONG dir, IUnknown* pData);
  HRESULT Spectrum(const SlicePlane& plane, LONG Z, LONG fixedA, LONG fixedB, LONG dir,
                   IUnknown* Data);

  // Elements whose chains the scalar slice advances side by side.
  static constexpr int kBatch = 8;
  // Most elements read under one m_DataLock and one memory check.
  static constexpr uint32_t kMaxGroup = 64;

 private:
  struct Geometry {
    uint32_t Size[4];
    uint64_t Stride[4];  // element-number step of each dimension
    uint32_t OuterCount, InnerCount, Count;
  };
  // A located element: the item (held, so it stays in memory) and the
  // pointer to the first wanted value, or null without value storage.
  struct Located {
    vq::ComPtr<IVQData> Item;
    const void* Values = nullptr;
  };

  Geometry PlaneGeometry(const SlicePlane& plane) const;
  // Refuses a plane outside the matrix (or a matrix not initialised).
  [[noreturn]] void RefusePlane(const SlicePlane& plane, LONG fixedA, LONG fixedB) const;
  // Refuses element e, which does not hold values first..last of record Z.
  [[noreturn]] void RefuseElement(uint32_t e, LONG Z, LONG first, LONG last) const;
  // Refuses the x-range asked for (askedMin to askedMax), saying where the
  // reference element's axis lies.
  [[noreturn]] static void RefuseRange(const char* message, const SlicePlane& plane, const Reference& ref,
                                       double askedMin, double askedMax);
  // True when every element of the plane (fixed positions at fixedA, fixedB)
  // lies inside the matrix.
  bool PlaneInside(const SlicePlane& plane, const Geometry& g, LONG fixedA, LONG fixedB) const;
  Reference FetchReference();
  void ReadAxisGeometry(Reference* ref);
  // Result position (value or record) of walk step (i, j) in direction dir.
  static uint32_t OutputPosition(const Geometry& g, uint32_t i, uint32_t j, LONG dir);
  // The shape of a whole element: values per record and records.
  struct Shape {
    uint32_t XSize, Records;
    bool operator==(const Shape&) const = default;
  };
  // The shape the storage object records for its elements, or the
  // reference's while it records none. Caller holds m_DataLock.
  static Shape RecordedShape(CDataBase* storage, const Reference& ref);
  // Values first..last (x positions) of record Z of element e, fetched
  // from its storage object (GetDataSubset) and located inside the returned
  // item. An element that has no record Z or no x position `last` is
  // refused. The path of the elements a storage object cannot show in place
  // (CDataBase::ReadValues).
  Located FetchLocked(uint32_t e, const Reference& ref, LONG Z, LONG first, LONG last) VQ_REQUIRES(m.m_DataLock);
  // The walk over the plane in groups: one memory check, one m_DataLock and
  // one swap-queue push per storage object for each group of at most
  // `groupSize` consecutive walk steps; values are read in place where the
  // storage object can show them and fetched otherwise. visit(o, values) is
  // called under the lock in walk order for every element (o: its output
  // position; values: its first wanted value, or null when it has none to
  // show; `spectrum`: an element without values is not asked, as the
  // spectrum slice wants), then flush() once per group, still under the lock
  // that keeps the views valid. A group ends early after a storage object
  // that had to be brought back into memory, so that the memory check runs
  // between any two loads.
  template <class Visit, class Flush>
  void Walk(const SlicePlane& plane, const Geometry& g, uint64_t base, LONG dir, const Reference& ref, LONG Z,
            LONG first, LONG last, bool spectrum, uint32_t groupSize, Visit&& visit, Flush&& flush);
  // The pointer to value (Z, first) in `item`, which holds part or all of
  // an element of shape `element`; null when the values first..last of
  // record Z cannot be shown to lie inside it.
  static const void* Locate(IVQData* item, HRESULT answer, LONG format, const Shape& element, LONG Z, LONG first,
                            LONG last, bool* hasStorage);
  template <class T>
  void SumPlane(const SlicePlane& plane, const Geometry& g, uint64_t base, const Reference& ref, LONG Z,
                LONG firstIdx, LONG lastIdx, LONG dir, T* out);

  CVQDataMatrix& m;
};

CSlicer::Geometry CSlicer::PlaneGeometry(const SlicePlane& plane) const {
  Geometry g{};
  uint64_t stride = 1;
  for (int d = 0; d < 4; ++d) {
    g.Size[d] = m.m_Sizes[d];
    g.Stride[d] = stride;
    stride *= m.m_Sizes[d];
  }
  g.OuterCount = g.Size[plane.Outer];
  g.InnerCount = g.Size[plane.Inner];
  g.Count = g.OuterCount * g.InnerCount;
  return g;
}

void CSlicer::RefusePlane(const SlicePlane& plane, LONG fixedA, LONG fixedB) const {
  if (!m.IsInitialized()) {
    vq::RefuseWithReason(E_FAIL, "Plane outside the matrix.",
                         "The matrix is not initialised: call Initialize or Initialize2 first");
  }
  vq::RefuseWithReason(E_FAIL, "Plane outside the matrix.",
                       "The plane at d%d = %d, d%d = %d is outside the matrix (dimensions %u x %u x %u x %u)",
                       plane.FixedA + 1, fixedA, plane.FixedB + 1, fixedB, m.m_Sizes[0], m.m_Sizes[1], m.m_Sizes[2],
                       m.m_Sizes[3]);
}

void CSlicer::RefuseElement(uint32_t e, LONG Z, LONG first, LONG last) const {
  LONG d1 = 0, d2 = 0, d3 = 0, d4 = 0;
  m.PositionOf(e, &d1, &d2, &d3, &d4);
  vq::RefuseWithReason(E_FAIL, "Element does not hold the requested values.",
                       "Element (%d, %d, %d, %d) does not hold values %d to %d of record %d", d1, d2, d3, d4, first,
                       last, Z);
}

void CSlicer::RefuseRange(const char* message, const SlicePlane& plane, const Reference& ref, double askedMin,
                          double askedMax) {
  if (plane.RefuseReversedRange && askedMin > askedMax) {
    vq::RefuseWithReason(E_FAIL, message, "The x-range is reversed: from %g down to %g", askedMin, askedMax);
  }
  // The axis in words; its calls may fail here, which only shortens them.
  char axisText[160] = "";
  IVQAxis* axis = ref.Axis.get();
  if (ref.Kind == axisKindLinear) {
    const double last = ref.First + static_cast<double>(ref.AxisSize - 1) * ref.Delta;
    std::string unit;
    BSTR unitText = nullptr;
    if (axis != nullptr && SUCCEEDED(axis->GetUnit(&unitText))) {
      try {
        unit = TakeText(unitText);
      } catch (...) {
      }
    }
    snprintf(axisText, sizeof axisText, "%g to %g%s%s", std::min(ref.First, last), std::max(ref.First, last),
             unit.empty() ? "" : " ", unit.c_str());
  } else if (ref.Kind == axisKindBands) {
    LONG fraction = 0, firstBand = 0;
    if (axis != nullptr && SUCCEEDED(axis->GetFraction(&fraction)) && SUCCEEDED(axis->GetFirstBand(&firstBand))) {
      snprintf(axisText, sizeof axisText, "bands %d to %d of 1/%d octave", firstBand, firstBand + ref.AxisSize - 1,
               fraction);
    }
  } else {
    snprintf(axisText, sizeof axisText, "%d values", ref.AxisSize);
  }
  if (ref.XSize < ref.AxisSize) {
    vq::RefuseWithReason(E_FAIL, message,
                         "The x-range %g to %g lies outside the x-axis (%s) or beyond the %d values each record holds",
                         askedMin, askedMax, axisText, ref.XSize);
  }
  vq::RefuseWithReason(E_FAIL, message, "The x-range %g to %g lies outside the x-axis (%s)", askedMin, askedMax,
                       axisText);
}

bool CSlicer::PlaneInside(const SlicePlane& plane, const Geometry& g, LONG fixedA, LONG fixedB) const {
  if (!m.IsInitialized() || fixedA < 0 || fixedB < 0 || g.Count == 0) return false;
  // Each product is below 2^63 (a position below 2^31 times a stride below
  // 2^32); one that alone reaches the element count ends the test before the
  // sum could wrap.
  const uint64_t a = static_cast<uint64_t>(fixedA) * g.Stride[plane.FixedA];
  const uint64_t b = static_cast<uint64_t>(fixedB) * g.Stride[plane.FixedB];
  if (a >= m.m_SizeAll || b >= m.m_SizeAll) return false;
  const uint64_t last =
      a + b + (g.OuterCount - 1) * g.Stride[plane.Outer] + (g.InnerCount - 1) * g.Stride[plane.Inner];
  return last < m.m_SizeAll;
}

Reference CSlicer::FetchReference() {
  Reference ref;
  uint32_t dataIdx = 0;
  bool fetched = false;
  {
    vq::CritSecLock lock(m.m_DataLock);
    CDataBase* storage = m.m_DataCount != 0 ? m.Storage(dataIdx = m.DataIndex(0)) : nullptr;
    if (storage != nullptr) {
      IUnknown* item = nullptr;
      vq::ThrowIfFailed(storage->GetAllData(m.SubIndex(0), false, false, &item));
      ref.Item = AsData(item);
      fetched = true;
    }
  }
  if (fetched) m.m_Priority.PushPriority(dataIdx);
  return ref;
}

void CSlicer::ReadAxisGeometry(Reference* ref) {
  IVQData* item = Use(ref->Item);
  vq::ThrowIfFailed(item->GetAxis(ref->Axis.put()), item, IID_IVQData);
  if (!ref->Axis) EmptyReference();
  IVQAxis* axis = ref->Axis.get();
  vq::ThrowIfFailed(axis->GetKind(&ref->Kind), axis, IID_IVQAxis);
  vq::ThrowIfFailed(axis->GetSize(&ref->AxisSize), axis, IID_IVQAxis);
  if (ref->Kind == axisKindLinear) {
    vq::ThrowIfFailed(axis->GetFirstValue(&ref->First), axis, IID_IVQAxis);
    vq::ThrowIfFailed(axis->GetDelta(&ref->Delta), axis, IID_IVQAxis);
  }
}

uint32_t CSlicer::OutputPosition(const Geometry& g, uint32_t i, uint32_t j, LONG dir) {
  switch (dir) {
    case LONG{matrixDirectionByRow}:
      return i + g.OuterCount * j;
    case LONG{matrixDirectionByColumn}:
      return j + g.InnerCount * i;
    default:
      vq::RefuseWithReason(E_FAIL, "Invalid direction.",
                           "The direction %d is neither matrixDirectionByRow (0) nor matrixDirectionByColumn (1)", dir);
  }
}

CSlicer::Shape CSlicer::RecordedShape(CDataBase* storage, const Reference& ref) {
  if (storage->XSize() == 0) return Shape{static_cast<uint32_t>(ref.XSize), static_cast<uint32_t>(ref.Records)};
  return Shape{storage->XSize(), storage->ZSize()};
}

const void* CSlicer::Locate(IVQData* item, HRESULT answer, LONG format, const Shape& element, LONG Z, LONG first,
                            LONG last, bool* hasStorage) {
  VQDataBuffer buffer{};
  vq::ThrowIfFailed(item->GetDataBuffer(&buffer), item, IID_IVQData);
  const uint8_t* values = format == dataFormatFloat64 ? reinterpret_cast<const uint8_t*>(ValuesOf<double>(buffer))
                                                      : reinterpret_cast<const uint8_t*>(ValuesOf<float>(buffer));
  *hasStorage = values != nullptr;
  if (values == nullptr || buffer.XSize <= 0 || buffer.ZSize <= 0) return nullptr;
  const LONG width = buffer.XSize;
  // Where the item starts inside the element (first x position, first
  // record). S_OK: it holds exactly the request. S_FALSE: it is an item the
  // storage already held that covers more, the whole element or a part
  // loaded earlier. Its shape is compared with the element's own, which in a
  // single-object matrix may differ from the reference element's.
  int64_t x0 = 0, z0 = 0;
  if (answer == S_OK) {
    x0 = first;
    z0 = Z;
  } else if (static_cast<uint32_t>(buffer.XSize) != element.XSize) {
    // Narrower records: only the item's axis could tell where they start, and
    // a subset of an element without a recorded axis keeps a default axis
    // that starts at 0 whatever part it holds. The caller asks for the whole
    // element instead.
    return nullptr;
  } else if (static_cast<uint32_t>(buffer.ZSize) == element.Records) {
    z0 = 0;
  } else if (buffer.ZSize == 1) {
    z0 = Z;  // the item covers the request, so its one record is record Z
  } else {
    return nullptr;  // a run of records whose first the item cannot tell
  }
  const int64_t row = static_cast<int64_t>(Z) - z0;
  const int64_t from = static_cast<int64_t>(first) - x0;
  const int64_t to = static_cast<int64_t>(last) - x0;
  if (row < 0 || row >= buffer.ZSize || from < 0 || to >= width) return nullptr;
  const size_t bytesPerValue = format == dataFormatFloat64 ? sizeof(double) : sizeof(float);
  return values + (static_cast<size_t>(row) * static_cast<size_t>(width) + static_cast<size_t>(from)) * bytesPerValue;
}

CSlicer::Located CSlicer::FetchLocked(uint32_t e, const Reference& ref, LONG Z, LONG first, LONG last) {
  Located located;
  uint32_t dataIdx = 0, sub = 0;
  m.StorageSlot(e, &dataIdx, &sub);
  CDataBase* storage = m.Storage(dataIdx);
  if (storage == nullptr) EmptyReference();
  // Record Z is placed by the element's own shape. A storage object that
  // records none yet takes its item's during the request; the request is
  // then made again with it.
  Shape shape = RecordedShape(storage, ref);
  HRESULT answer = S_OK;
  IUnknown* raw = nullptr;
  for (bool again = false;; again = true) {
    if (static_cast<uint32_t>(Z) >= shape.Records || static_cast<uint32_t>(last) >= shape.XSize) {
      RefuseElement(e, Z, first, last);
    }
    const uint64_t rowStart = static_cast<uint64_t>(Z) * shape.XSize;
    raw = nullptr;
    answer = storage->GetDataSubset(sub, false, static_cast<uint32_t>(rowStart + static_cast<uint64_t>(first)),
                                    static_cast<uint32_t>(rowStart + static_cast<uint64_t>(last)), &raw);
    vq::ThrowIfFailed(answer);
    const Shape recorded = RecordedShape(storage, ref);
    if (again || recorded == shape) break;
    shape = recorded;
  }
  located.Item = AsData(raw);
  bool hasStorage = false;
  located.Values = Locate(Use(located.Item), answer, ref.Format, shape, Z, first, last, &hasStorage);
  if (located.Values == nullptr && hasStorage) {
    // The item does not show where the wanted values sit in it: ask for
    // the whole element instead of guessing.
    located.Item = nullptr;
    raw = nullptr;
    vq::ThrowIfFailed(storage->GetAllData(sub, false, false, &raw));
    located.Item = AsData(raw);
    located.Values = Locate(Use(located.Item), S_FALSE, ref.Format, shape, Z, first, last, &hasStorage);
    if (located.Values == nullptr && hasStorage) RefuseElement(e, Z, first, last);
  }
  return located;
}

template <class Visit, class Flush>
void CSlicer::Walk(const SlicePlane& plane, const Geometry& g, uint64_t base, LONG dir, const Reference& ref, LONG Z,
                   LONG first, LONG last, bool spectrum, uint32_t groupSize, Visit&& visit, Flush&& flush) {
  groupSize = std::clamp<uint32_t>(groupSize, 1, kMaxGroup);
  uint32_t element[kMaxGroup], output[kMaxGroup], dataIdx[kMaxGroup], sub[kMaxGroup];
  const void* values[kMaxGroup];
  vq::ComPtr<IVQData> held[kMaxGroup];
  uint32_t used[kMaxGroup];  // the group's storage objects, in the order they were read
  uint64_t step = 0;
  while (step < g.Count) {
    m.CheckMemoryNow();
    vq::CritSecLock lock(m.m_DataLock);
    uint32_t count = 0;
    for (uint64_t s = step; count < groupSize && s < g.Count; ++s, ++count) {
      const uint32_t i = static_cast<uint32_t>(s / g.InnerCount), j = static_cast<uint32_t>(s % g.InnerCount);
      output[count] = OutputPosition(g, i, j, dir);
      element[count] = static_cast<uint32_t>(base + i * g.Stride[plane.Outer] + j * g.Stride[plane.Inner]);
      m.StorageSlot(element[count], &dataIdx[count], &sub[count]);
    }
    // Runs of consecutive steps in one storage object are read together.
    uint32_t done = 0, usedCount = 0;
    while (done < count) {
      uint32_t end = done + 1;
      while (end < count && dataIdx[end] == dataIdx[done]) ++end;
      const uint32_t n = end - done;
      for (uint32_t k = done; k < end; ++k) values[k] = nullptr;
      CDataBase* storage = m.Storage(dataIdx[done]);
      bool loaded = false;
      if (spectrum && (storage == nullptr || !storage->HoldsValues())) {
        // No values to copy: the records stay zero.
      } else {
        loaded = storage != nullptr && !storage->IsInMemory();
        // Only an object whose recorded shape holds the values is read in
        // place; any other element takes the fetch, which also refuses it.
        if (storage != nullptr && storage->XSize() != 0 && static_cast<uint32_t>(Z) < storage->ZSize() &&
            static_cast<uint32_t>(last) < storage->XSize()) {
          vq::ThrowIfFailed(storage->ReadValues(sub + done, n, ref.Format, static_cast<uint32_t>(Z),
                                                static_cast<uint32_t>(first), static_cast<uint32_t>(last),
                                                values + done));
        }
        for (uint32_t k = done; k < end; ++k) {
          if (values[k] != nullptr) continue;
          Located located = FetchLocked(element[k], ref, Z, first, last);
          held[k] = std::move(located.Item);
          values[k] = located.Values;
        }
        used[usedCount++] = dataIdx[done];
      }
      for (uint32_t k = done; k < end; ++k) visit(output[k], values[k]);
      done = end;
      if (loaded) break;
    }
    m.m_Priority.PushPriority(used, usedCount);
    flush();
    for (uint32_t k = 0; k < done; ++k) held[k] = nullptr;
    step += done;
  }
}

template <class T>
void CSlicer::SumPlane(const SlicePlane& plane, const Geometry& g, uint64_t base, const Reference& ref, LONG Z,
                       LONG firstIdx, LONG lastIdx, LONG dir, T* out) {
  if (lastIdx < firstIdx) {
    // An empty range needs no values: the storage is not asked.
    for (uint32_t i = 0; i < g.OuterCount; ++i) {
      for (uint32_t j = 0; j < g.InnerCount; ++j) out[OutputPosition(g, i, j, dir)] = T(0);
    }
    return;
  }
  const LONG length = lastIdx - firstIdx + 1;
  const T* chains[kBatch];
  uint32_t chainOut[kBatch];
  T sums[kBatch];
  int pending = 0;
  auto flush = [&] {
    SumAll(chains, pending, length, sums);
    for (int w = 0; w < pending; ++w) out[chainOut[w]] = sums[w];
    pending = 0;
  };
  auto visit = [&](uint32_t o, const void* values) {
    if (values == nullptr) {
      out[o] = T(0);
      return;
    }
    chains[pending] = static_cast<const T*>(values);
    chainOut[pending] = o;
    if (++pending == kBatch) flush();
  };
  // Long ranges take fewer elements per group, so that the lock is not held
  // over much more than half a MiB of values.
  const uint32_t groupSize = std::max<uint32_t>(kBatch, (uint32_t{1} << 16) / static_cast<uint32_t>(length));
  Walk(plane, g, base, dir, ref, Z, firstIdx, lastIdx, false, groupSize, visit, [&] {
    if (pending != 0) flush();
  });
}

HRESULT CSlicer::Scalar(const SlicePlane& plane, double Xmin, double Xmax, LONG Z, LONG fixedA, LONG fixedB,
                        LONG dir, IUnknown* pData) {
  const char* origin = plane.Origin;
  if (plane.TraceEntry) {
    VQ_TRACE(origin, "DataMatrix", 2, "GetD1D2Slice Xmin: %g, Xmax: %g, Z: %d, d3: %d, d4: %d", Xmin, Xmax, Z, fixedA,
             fixedB);
  }
  if (pData == nullptr) return vq::ReportFailure(E_POINTER, "The argument pData is null");
  // The range as asked, for the caller's words when it is refused.
  const double askedMin = Xmin, askedMax = Xmax;
  return vq::MethodGuard(origin, [&]() -> HRESULT {
    {
      const Geometry g = PlaneGeometry(plane);
      if (!PlaneInside(plane, g, fixedA, fixedB)) RefusePlane(plane, fixedA, fixedB);
      const uint64_t base = static_cast<uint64_t>(fixedA) * g.Stride[plane.FixedA] +
                            static_cast<uint64_t>(fixedB) * g.Stride[plane.FixedB];

      Reference ref = FetchReference();
      IVQData* refItem = Use(ref.Item);
      vq::ThrowIfFailed(refItem->GetFormat(&ref.Format), refItem, IID_IVQData);
      if (ref.Format != dataFormatFloat64 && ref.Format != dataFormatFloat32) RefuseFormat(ref.Format);
      vq::ThrowIfFailed(refItem->GetSize(0, &ref.XSize), refItem, IID_IVQData);
      ReadAxisGeometry(&ref);
      IVQAxis* axis = ref.Axis.get();
      const LONG S = ref.AxisSize;
      LONG firstIdx = 0, lastIdx = 0;
      switch (ref.Kind) {
        case axisKindLinear: {
          const double F = ref.First, D = ref.Delta;
          auto traceAxis = [&] {
            if (TraceLevel.load(std::memory_order_relaxed) == 0) return;
            BSTR unit = nullptr;
            vq::ThrowIfFailed(axis->GetUnit(&unit), axis, IID_IVQAxis);
            const std::string text = TakeText(unit);
            VQ_TRACE(origin, "DataMatrix", 2, "Axis0: Size=%d, FirstValue=%g, Delta=%g, Unit=%s", S, F, D,
                     text.c_str());
          };
          // The limits are clamped to the axis's lowest and highest value:
          // its first and last value, or the other way round on an axis whose
          // values fall (negative delta).
          const double L = F + static_cast<double>(S - 1) * D;
          const bool falling = D < 0.0;
          const double lowest = falling ? L : F, highest = falling ? F : L;
          if (lowest > Xmin) {
            if (plane.TraceClamping) {
              VQ_TRACE(origin, "DataMatrix", 2, "Xmin<FirstValue: %g<%g", Xmin, lowest);
              traceAxis();
            }
            Xmin = lowest;
          }
          if (highest < Xmax) {
            if (plane.TraceClamping) {
              VQ_TRACE(origin, "DataMatrix", 2, "Xmax>LastValue: %g>%g", Xmax, highest);
              traceAxis();
            }
            Xmax = highest;
          }
          // The index nearest each limit; on a falling axis the upper limit
          // has the lower index.
          const LONG atMin = TruncatedIndex((Xmin - F) / D + 0.5);
          const LONG atMax = TruncatedIndex((Xmax - F) / D + 0.5);
          firstIdx = falling ? atMax : atMin;
          lastIdx = falling ? atMin : atMax;
          break;
        }
        case axisKindBands: {
          if (Xmin < 1.0) Xmin = 1.0;
          LONG fraction = 0, B = 0;
          vq::ThrowIfFailed(axis->GetFraction(&fraction), axis, IID_IVQAxis);
          vq::ThrowIfFailed(axis->GetFirstBand(&B), axis, IID_IVQAxis);
          // The band table's "not found" is no band number (an axis may start
          // below band 0, where band -1 exists). The lower limit, at least
          // 1 Hz, is then in the table's first band, or above the table; an
          // upper limit the table cannot place fails the slice. An index of -1
          // fails the checks below.
          const std::optional<LONG> b1 = vq::bands::RowBandOf(fraction, Xmin);
          const LONG b2 = vq::bands::FindBand(fraction, Xmax);
          const int64_t lastBand = static_cast<int64_t>(B) + S - 1;
          firstIdx = b1 ? TruncatedIndex(static_cast<double>(std::max<int64_t>(*b1, B) - B)) : -1;
          lastIdx = b2 != vq::bands::kNoBand ? TruncatedIndex(static_cast<double>(std::min<int64_t>(b2, lastBand) - B))
                                              : -1;
          break;
        }
        case axisKindValues:
          vq::ThrowIfFailed(axis->GetIndexOfValue(Xmin, &firstIdx), axis, IID_IVQAxis);
          vq::ThrowIfFailed(axis->GetIndexOfValue(Xmax, &lastIdx), axis, IID_IVQAxis);
          break;
        default:
          RefuseAxisKind(ref.Kind);
      }
      vq::ThrowIfFailed(refItem->GetSize(1, &ref.Records), refItem, IID_IVQData);
      const LONG n = ref.Records;
      if (Z >= n) {
        VQ_TRACE(origin, "DataMatrix", 2, "Z>Last Z Index Value: %d>%d", Z, n - 1);
        Z = n - 1;
      }
      if (plane.ShortIndexTraces) {
        VQ_TRACE(origin, "DataMatrix", 2, "firstIdx: %d", firstIdx);
        VQ_TRACE(origin, "DataMatrix", 2, "lastIdx: %d", lastIdx);
      } else {
        VQ_TRACE(origin, "DataMatrix", 2, "firstIdx: %d (0->%d)", firstIdx, S - 1);
        VQ_TRACE(origin, "DataMatrix", 2, "lastIdx: %d (0->%d)", lastIdx, S - 1);
      }
      VQ_TRACE(origin, "DataMatrix", 2, "Z: %d (0->%d)", Z, n - 1);
      // An axis longer than the records would address values of the next
      // record: the x size bounds the indices as well.
      if (firstIdx < 0 || firstIdx >= S || firstIdx >= ref.XSize) {
        RefuseRange("firstIdx invalid.", plane, ref, askedMin, askedMax);
      }
      if (lastIdx < 0 || lastIdx >= S || lastIdx >= ref.XSize || (plane.RefuseReversedRange && lastIdx < firstIdx)) {
        RefuseRange("lastIdx invalid.", plane, ref, askedMin, askedMax);
      }
      if (Z < 0 || Z >= n) RefuseRecord(Z, n);

      vq::ComPtr<IVQData> result = AsData(pData);
      IVQData* target = Use(result);
      ShapeResult(target, ref.Format, static_cast<LONG>(g.Count), 1);
      VQDataBuffer out{};
      vq::ThrowIfFailed(target->GetDataBuffer(&out), target, IID_IVQData);
      void* outValues = ref.Format == dataFormatFloat64 ? static_cast<void*>(ValuesOf<double>(out))
                                                          : static_cast<void*>(ValuesOf<float>(out));
      if (outValues == nullptr || out.XSize < 0 || out.ZSize < 0 ||
          static_cast<uint64_t>(out.XSize) * static_cast<uint64_t>(out.ZSize) < g.Count) {
        vq::RefuseWithReason(E_FAIL, "Result item has no room for the slice.",
                             "The result item has no room for the slice's %u values", g.Count);
      }

      if (ref.Format == dataFormatFloat64) {
        SumPlane(plane, g, base, ref, Z, firstIdx, lastIdx, dir, static_cast<double*>(outValues));
      } else {
        SumPlane(plane, g, base, ref, Z, firstIdx, lastIdx, dir, static_cast<float*>(outValues));
      }

      {
        vq::CritSecLock lock(m.m_DataLock);
        if (CDataBase* storage = m.Storage(m.DataIndex(0))) {
          storage->CopyAllAttributesToNonIndexed(m.SubIndex(0), target);
        }
      }
      if (plane.TraceEntry) {
        const double value = ref.Format == dataFormatFloat64 ? static_cast<double*>(outValues)[0]
                                                             : static_cast<double>(static_cast<float*>(outValues)[0]);
        VQ_TRACE(origin, "DataMatrix", 2, "GetD1D2Slice Return value Xmin: %g", value);
      }
      return S_OK;
    }
  });
}

HRESULT CSlicer::Spectrum(const SlicePlane& plane, LONG Z, LONG fixedA, LONG fixedB, LONG dir,
                          IUnknown* Data) {
  const char* origin = plane.SpectrumOrigin;
  if (Data == nullptr) return vq::ReportFailure(E_POINTER, "The argument Data is null");
  return vq::MethodGuard(origin, [&]() -> HRESULT {
    {
      if (!m.IsInitialized()) RefusePlane(plane, fixedA, fixedB);
      const Geometry g = PlaneGeometry(plane);
      Reference ref = FetchReference();
      IVQData* refItem = Use(ref.Item);
      vq::ThrowIfFailed(refItem->GetFormat(&ref.Format), refItem, IID_IVQData);
      if (ref.Format != dataFormatFloat64 && ref.Format != dataFormatFloat32) RefuseFormat(ref.Format);
      // Each fixed position is checked on its own, so the plane lies inside.
      if (fixedA < 0 || static_cast<uint32_t>(fixedA) >= g.Size[plane.FixedA]) {
        RefusePosition(plane.FixedAInvalid, plane.FixedA, fixedA, g.Size[plane.FixedA]);
      }
      if (fixedB < 0 || static_cast<uint32_t>(fixedB) >= g.Size[plane.FixedB]) {
        RefusePosition("D4 invalid.", plane.FixedB, fixedB, g.Size[plane.FixedB]);
      }
      vq::ThrowIfFailed(refItem->GetSize(0, &ref.XSize), refItem, IID_IVQData);
      vq::ThrowIfFailed(refItem->GetSize(1, &ref.Records), refItem, IID_IVQData);
      if (Z < 0 || Z >= ref.Records) RefuseRecord(Z, ref.Records);
      ReadAxisGeometry(&ref);
      const LONG xs = ref.XSize;
      const uint64_t base = static_cast<uint64_t>(fixedA) * g.Stride[plane.FixedA] +
                            static_cast<uint64_t>(fixedB) * g.Stride[plane.FixedB];

      vq::ComPtr<IVQData> result = AsData(Data);
      IVQData* target = Use(result);
      ShapeResult(target, ref.Format, xs, static_cast<LONG>(g.Count));

      const size_t bytesPerValue = ref.Format == dataFormatFloat64 ? sizeof(double) : sizeof(float);
      const size_t recordBytes = static_cast<size_t>(xs) * bytesPerValue;
      // Records go straight into the result's own buffer (one copy, no
      // staging buffer to fault in); its shape is checked first, since the
      // result may be any client's implementation of the item.
      uint8_t* resultValues = nullptr;
      if (recordBytes != 0) {
        VQDataBuffer out{};
        vq::ThrowIfFailed(target->GetDataBuffer(&out), target, IID_IVQData);
        resultValues = reinterpret_cast<uint8_t*>(ref.Format == dataFormatFloat64 ? static_cast<void*>(out.pDouble)
                                                                             : static_cast<void*>(out.pFloat));
        if (resultValues == nullptr || out.Format != ref.Format || out.XSize != xs ||
            out.ZSize != static_cast<LONG>(g.Count)) {
          vq::RefuseWithReason(E_FAIL, "Result item does not hold the slice.",
                               "The result item does not hold the slice's %u records of %d values", g.Count, xs);
        }
      }
      if (recordBytes == 0) {
        if (g.Count != 0) OutputPosition(g, 0, 0, dir);  // the direction is checked all the same
      } else {
        auto copy = [&](uint32_t r, const void* values) {
          uint8_t* destination = resultValues + static_cast<size_t>(r) * recordBytes;
          if (values != nullptr) {
            std::memcpy(destination, values, recordBytes);
          } else {
            std::memset(destination, 0, recordBytes);
          }
        };
        const uint32_t groupSize = static_cast<uint32_t>(std::max<size_t>(1, (size_t{1} << 19) / recordBytes));
        Walk(plane, g, base, dir, ref, Z, 0, xs - 1, true, groupSize, copy, [] {});
      }

      IVQAxis* axis = ref.Axis.get();
      vq::ComPtr<IVQAxis> resultAxis;
      if (ref.Kind == axisKindLinear || ref.Kind == axisKindBands) {
        BSTR unitText = nullptr;
        vq::ThrowIfFailed(axis->GetUnit(&unitText), axis, IID_IVQAxis);
        _bstr_t unit(unitText, false);
        vq::ThrowIfFailed(target->GetAxis(resultAxis.put()), target, IID_IVQData);
        if (!resultAxis) EmptyReference();
        if (ref.Kind == axisKindLinear) {
          vq::ThrowIfFailed(resultAxis->InitializeAsLinear(ref.AxisSize, ref.First, ref.Delta, unit.GetBSTR()),
                            resultAxis.get(), IID_IVQAxis);
        } else {
          LONG firstBand = 0, fraction = 0;
          vq::ThrowIfFailed(axis->GetFirstBand(&firstBand), axis, IID_IVQAxis);
          vq::ThrowIfFailed(axis->GetFraction(&fraction), axis, IID_IVQAxis);
          vq::ThrowIfFailed(resultAxis->InitializeAsBands(ref.AxisSize, firstBand, fraction, unit.GetBSTR()),
                            resultAxis.get(), IID_IVQAxis);
        }
      } else {
        RefuseAxisKind(ref.Kind);
      }

      LONG records = 0;
      vq::ThrowIfFailed(target->GetSize(1, &records), target, IID_IVQData);
      for (LONG r = 1; r <= records && static_cast<uint32_t>(r) <= g.Count; ++r) {
        // The element whose values went to record r - 1.
        const uint32_t w = static_cast<uint32_t>(r - 1);
        uint32_t i = 0, j = 0;
        if (dir == LONG{matrixDirectionByRow}) {
          i = w % g.OuterCount;
          j = w / g.OuterCount;
        } else {
          j = w % g.InnerCount;
          i = w / g.InnerCount;
        }
        const uint32_t e = static_cast<uint32_t>(base + i * g.Stride[plane.Outer] + j * g.Stride[plane.Inner]);
        vq::CritSecLock lock(m.m_DataLock);
        if (CDataBase* storage = m.Storage(m.DataIndex(e))) {
          storage->CopyAllAttributes(m.SubIndex(e), target, r);
          storage->CopyAllIndexedAttributesToIndex1(m.SubIndex(e), target, Z + 1);
        }
      }
      return S_OK;
    }
  });
}

STDMETHODIMP CVQDataMatrix::GetD1D2Slice(DOUBLE Xmin, DOUBLE Xmax, LONG Z, LONG d3, LONG d4, matrixDirectionType dir,
                                         IUnknown* pData) {
  return CSlicer(*this).Scalar(kD1D2, Xmin, Xmax, Z, d3, d4, Direction(&dir), pData);
}

STDMETHODIMP CVQDataMatrix::GetD1D3Slice(DOUBLE Xmin, DOUBLE Xmax, LONG Z, LONG d2, LONG d4, matrixDirectionType dir,
                                         IUnknown* pData) {
  return CSlicer(*this).Scalar(kD1D3, Xmin, Xmax, Z, d2, d4, Direction(&dir), pData);
}

STDMETHODIMP CVQDataMatrix::GetD2D3Slice(DOUBLE Xmin, DOUBLE Xmax, LONG Z, LONG d1, LONG d4, matrixDirectionType dir,
                                         IUnknown* pData) {
  return CSlicer(*this).Scalar(kD2D3, Xmin, Xmax, Z, d1, d4, Direction(&dir), pData);
}

STDMETHODIMP CVQDataMatrix::GetD1D2SliceSpectrum(LONG Z, LONG d3, LONG d4, matrixDirectionType dir, IUnknown* Data) {
  return CSlicer(*this).Spectrum(kD1D2, Z, d3, d4, Direction(&dir), Data);
}

STDMETHODIMP CVQDataMatrix::GetD1D3SliceSpectrum(LONG Z, LONG d2, LONG d4, matrixDirectionType dir, IUnknown* Data) {
  return CSlicer(*this).Spectrum(kD1D3, Z, d2, d4, Direction(&dir), Data);
}

STDMETHODIMP CVQDataMatrix::GetD2D3SliceSpectrum(LONG Z, LONG d1, LONG d4, matrixDirectionType dir, IUnknown* Data) {
  return CSlicer(*this).Spectrum(kD2D3, Z, d1, d4, Direction(&dir), Data);
}
