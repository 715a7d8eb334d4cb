// Matrix.h - vqdatamatrix.Matrix: one IVQDataMatrix as Python sees it.
//
// Element access gives numpy arrays that show an element's own data item
// (no copy; see ViewOfItem); slices and the copy into one item give arrays
// that show their result item. Positions are checked per dimension as numpy
// checks indices (negative ones count from the end), so a position never
// reaches another element through the library's running element number.
//
// Threads: the matrix serves one call at a time (m_Calls), as its apartment
// expects; Python threads may share a Matrix. Long calls (slices, the copy,
// Read and Write) run with the GIL released; short ones keep it and give it
// up only while they wait for m_Calls. No thread waits for m_Calls while it
// holds the GIL, and none waits for the GIL while a long call holds m_Calls,
// so the two never deadlock.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "Support.h"

namespace vqpy {

// An axis: the x-axis of an element, or a dimension's axis (always linear).
struct Axis {
  std::string kind;  // "linear", "logarithmic", "bands" or "values"
  LONG size = 0;
  double first = 0.0;  // the first point's value (a band axis: its centre)
  double delta = 0.0;  // linear and logarithmic axes; 0 otherwise
  std::string unit;
  LONG first_band = 0;  // band axes
  LONG fraction = 0;    // band axes: 1, 3, 12 or 24
  py::array values;     // the value of every point
};

class Matrix {
 public:
  struct Plane;  // a plane of the slices (Matrix.cpp)

  // Dimension sizes (one to four; missing ones are 1), values per record,
  // records, a numpy type and the storage kind ("single" or "multiple").
  Matrix(const std::vector<LONG>& dims, LONG values, LONG records, py::handle dtype, const std::string& kind);
  // Reads a stream file written by Save (or by the library's Write).
  static std::unique_ptr<Matrix> Open(const std::string& path);
  void Save(const std::string& path);

  py::tuple Dims() const;
  // The dimension sizes, then the records and values of element 0.
  py::tuple Shape();
  py::dtype Dtype();

  // The element's values as records x values, shown in place.
  py::array Get(py::handle position, bool readOnly);
  // Copies values of the element's shape and type into it.
  void Put(py::handle position, py::handle values);

  // The sums over the x-range of record `record` of every element of a plane
  // ("d1d2", "d1d3", "d2d3"; `at` holds the two other positions), indexed
  // by the plane's two dimensions. `out`, an earlier result of the same
  // shape and type, is filled again instead of a new array.
  py::array Slice(std::pair<double, double> x, const std::string& plane, std::pair<LONG, LONG> at, LONG record,
                  py::handle out);
  // Record `record` of every element of a plane: plane dimensions x values.
  py::array SpectrumSlice(const std::string& plane, std::pair<LONG, LONG> at, LONG record, py::handle out);
  // Every element in one array, indexed like the matrix: d1, d2, d3, d4,
  // records, values.
  py::array CopyToSingle();
  // Benchmark support: seconds per slice (or spectrum slice) of `repeats`
  // calls into one result item, without Python in the loop.
  double TimeNativeSlices(int repeats, std::pair<double, double> x, const std::string& plane, std::pair<LONG, LONG> at,
                          LONG record, bool spectrum);

  Axis XAxis();
  void SetXAxis(double first, double delta, const std::string& unit, std::optional<LONG> size);
  void SetBandAxis(LONG firstBand, LONG fraction, const std::string& unit, std::optional<LONG> size);
  Axis DimensionAxis(LONG dimension);
  void SetDimensionAxis(LONG dimension, double first, double step, const std::string& unit);

  LONG ElementId(py::handle position);
  void SetElementId(py::handle position, LONG id);
  py::str ElementLabel(py::handle position);
  void SetElementLabel(py::handle position, const std::string& label);
  // The position of the first element with that identifier; KeyError when
  // none has it.
  py::tuple PositionOf(LONG id);
  py::str Label();
  void SetLabel(const std::string& label);

  // {group: {name: value}} of the element.
  py::dict Attributes(py::handle position);
  void SetAttributes(py::handle position, const py::dict& groups);
  // {record (from 0): {group: {name: value}}} of the records that have any.
  py::dict RecordAttributes(py::handle position);
  void SetRecordAttributes(py::handle position, const py::dict& records);

  void SaveAllToDisk();
  void SetPriority(const std::string& priority);

 private:
  struct Position {
    LONG d[4];
  };
  explicit Matrix(vq::ComPtr<IVQDataMatrix> matrix);

  Position PositionFrom(py::handle key) const;
  LONG Fixed(LONG value, int dimension) const;
  // The element's item: for writing, or for reading (with its attributes or
  // without).
  vq::ComPtr<IVQData> Element(const Position& p, bool readOnly, bool withAttributes);
  const Plane& PlaneNamed(const std::string& name) const;
  // The result item to fill: the one `out` shows, after its shape and type
  // were checked, or a new one.
  vq::ComPtr<IVQData> ResultItem(py::handle out, const std::vector<py::ssize_t>& shape);
  HRESULT RunSlice(const Plane& plane, bool spectrum, std::pair<double, double> x, LONG a, LONG b, LONG record,
                   IVQData* result);
  void ReadSizes();

  // Runs a short call of the matrix with the GIL held.
  template <class Call>
  HRESULT Short(Call&& call);
  // Runs a long call of the matrix with the GIL released.
  template <class Call>
  HRESULT Long(Call&& call);

  vq::ComPtr<IVQDataMatrix> m_Matrix;
  std::mutex m_Calls;  // one call into the matrix at a time
  LONG m_Dims[4] = {0, 0, 0, 0};
};

}  // namespace vqpy
