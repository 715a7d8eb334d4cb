// Module.cpp - the Python module vqdatamatrix: its names, arguments and
// help texts. What they do is in Matrix.cpp and Support.cpp; docs/PYTHON.md
// describes the module for its users.
#include <pybind11/stl.h>

#include "Matrix.h"

namespace py = pybind11;
using vqpy::Matrix;

namespace {

void SetMemoryBudget(py::handle size) {
  uint64_t bytes = 0;
  if (PyUnicode_Check(size.ptr())) {
    const std::string text = size.cast<std::string>();
    if (!vq::ParseMemorySize(text.c_str(), &bytes)) {
      throw py::value_error("a memory budget is a size such as 512M, 2G or 1GiB, not \"" + text + "\"");
    }
  } else {
    const long long value = size.cast<long long>();
    if (value < 0) throw py::value_error("a memory budget is not negative");
    bytes = static_cast<uint64_t>(value);
  }
  vq::SetMemoryBudget(bytes);
}

py::dict SwapStatistics() {
  VQSwapStatistics2 s{};
  s.Size = sizeof s;
  vqpy::CheckSystem(VQGetSwapStatistics2(&s), "VQGetSwapStatistics2");
  py::dict result;
  result["blocks_written"] = s.BlocksWritten;
  result["bytes_written"] = s.BytesWritten;
  result["blocks_read"] = s.BlocksRead;
  result["bytes_read"] = s.BytesRead;
  result["failed_saves"] = s.FailedSaves;
  result["bytes_not_swapped"] = s.BytesNotSwapped;
  result["failed_low_memory_saves"] = s.FailedLowMemorySaves;
  result["checksum_failures"] = s.ChecksumFailures;
  return result;
}

std::string AxisText(const vqpy::Axis& axis) {
  std::string text = "Axis(kind='" + axis.kind + "', size=" + std::to_string(axis.size);
  if (axis.kind == "bands") {
    text += ", first_band=" + std::to_string(axis.first_band) + ", fraction=" + std::to_string(axis.fraction);
  } else {
    text += ", first=" + std::string(py::repr(py::float_(axis.first))) +
            ", delta=" + std::string(py::repr(py::float_(axis.delta)));
  }
  return text + ", unit=" + std::string(py::repr(py::str(axis.unit))) + ")";
}

}  // namespace

PYBIND11_MODULE(vqdatamatrix, m) {
  m.doc() =
      "Four-dimensional matrices of measurement data items (spectra, time records) as numpy arrays.\n\n"
      "Element access and slices give arrays that show the library's own values without copying; failures of the "
      "library raise vqdatamatrix.Error. See docs/PYTHON.md.";
  vqpy::RegisterErrors(m);

  py::class_<vqpy::Axis>(m, "Axis", "An axis: an element's x-axis, or a matrix dimension's axis.")
      .def_readonly("kind", &vqpy::Axis::kind, "'linear', 'logarithmic', 'bands' or 'values'")
      .def_readonly("size", &vqpy::Axis::size, "number of points")
      .def_readonly("first", &vqpy::Axis::first, "value of the first point (a band axis: its centre)")
      .def_readonly("delta", &vqpy::Axis::delta, "step of a linear axis, factor of a logarithmic one; else 0")
      .def_readonly("unit", &vqpy::Axis::unit)
      .def_readonly("first_band", &vqpy::Axis::first_band, "band number of the first point (band axes)")
      .def_readonly("fraction", &vqpy::Axis::fraction, "octave fraction: 1, 3, 12 or 24 (band axes)")
      .def_readonly("values", &vqpy::Axis::values, "value of every point (band axes: band centres)")
      .def("__repr__", &AxisText);

  py::class_<Matrix>(m, "Matrix",
                     "A matrix of four dimensions d1..d4 (d1 varying fastest) whose elements hold records x values.")
      .def(py::init<const std::vector<LONG>&, LONG, LONG, py::handle, const std::string&>(), py::arg("dims"),
           py::arg("values"), py::arg("records") = 1, py::arg("dtype") = "float64", py::arg("kind") = "single",
           "Creates a matrix: dims (one to four sizes, missing ones are 1), values per record, records per element, "
           "a numpy value type (int32, float64, complex128, int16, int64, float32, complex64) and the storage kind "
           "('single': one storage object per element; 'multiple': elements packed into shared buffers).")
      .def("__repr__",
           [](const Matrix& self) { return "<vqdatamatrix.Matrix dims=" + vqpy::TextOf(self.Dims()) + ">"; })
      .def("save", &Matrix::Save, py::arg("path"), "Writes the matrix to a stream file (the GIL is released).")
      .def_property_readonly("dims", &Matrix::Dims, "The four dimension sizes (d1, d2, d3, d4).")
      .def_property_readonly("shape", &Matrix::Shape,
                             "(d1, d2, d3, d4, records, values); records and values of "
                             "element (0, 0, 0, 0).")
      .def_property_readonly("dtype", &Matrix::Dtype, "The numpy type of element (0, 0, 0, 0)'s values.")
      .def(
          "__getitem__", [](Matrix& self, py::handle position) { return self.Get(position, false); },
          "m[d1, d2, d3, d4]: the element's values (records x values), shown in place: writes reach the matrix.")
      .def("__setitem__", &Matrix::Put,
           "m[d1, d2, d3, d4] = values: copies values of the element's shape and type into it.")
      .def("get", &Matrix::Get, py::arg("position"), py::arg("readonly") = false,
           "The element's values in place; readonly=True asks the library for reading only and gives an array "
           "that cannot be written.")
      .def("slice", &Matrix::Slice, py::arg("x"), py::arg("plane") = "d1d2",
           py::arg("at") = std::pair<LONG, LONG>(0, 0), py::arg("record") = 0, py::arg("out") = py::none(),
           "Sums over the x-range x = (low, high) of record `record` of every element of a plane ('d1d2', 'd1d3', "
           "'d2d3'; `at` gives the two other positions, d4 last), as an array indexed by the plane's dimensions. "
           "Band axes take the range in their unit. `out`: an earlier result to fill again. Releases the GIL.")
      .def("spectrum_slice", &Matrix::SpectrumSlice, py::arg("plane") = "d1d2",
           py::arg("at") = std::pair<LONG, LONG>(0, 0), py::arg("record") = 0, py::arg("out") = py::none(),
           "Record `record` of every element of a plane: an array (first plane dimension, second, values). "
           "Releases the GIL.")
      .def("copy_to_single", &Matrix::CopyToSingle,
           "All elements copied into one data item, as an array (d1, d2, d3, d4, records, values). "
           "Releases the GIL.")
      .def("_time_native_slices", &Matrix::TimeNativeSlices, py::arg("repeats"), py::arg("x"), py::arg("plane"),
           py::arg("at"), py::arg("record"), py::arg("spectrum"),
           "Benchmark support: seconds per slice over `repeats` calls made in C++ into one result item.")
      .def_property_readonly("x_axis", &Matrix::XAxis, "The x-axis of element (0, 0, 0, 0), which slices use.")
      .def("set_x_axis", &Matrix::SetXAxis, py::arg("first"), py::arg("delta"), py::arg("unit") = "",
           py::arg("size") = py::none(), "Gives every element the same linear x-axis (size: values per record).")
      .def("set_band_axis", &Matrix::SetBandAxis, py::arg("first_band"), py::arg("fraction") = 3,
           py::arg("unit") = "Hz", py::arg("size") = py::none(),
           "Gives every element a fractional-octave band axis; band n is centred on 10^(0.3 n / fraction).")
      .def(
          "axis",
          [](Matrix& self, LONG dimension) {
            if (dimension < 0 || dimension > 3) throw py::index_error("axis is 0 (d1) to 3 (d4)");
            return self.DimensionAxis(dimension);
          },
          py::arg("axis"), "The axis of matrix dimension `axis` (0: d1 .. 3: d4).")
      .def("set_axis", &Matrix::SetDimensionAxis, py::arg("axis"), py::arg("first"), py::arg("step"),
           py::arg("unit") = "", "Sets the axis of matrix dimension `axis` (0: d1 .. 3: d4).")
      .def("element_id", &Matrix::ElementId, py::arg("position"), "The element's identifier (-1: none given).")
      .def("set_element_id", &Matrix::SetElementId, py::arg("position"), py::arg("id"))
      .def("element_label", &Matrix::ElementLabel, py::arg("position"))
      .def("set_element_label", &Matrix::SetElementLabel, py::arg("position"), py::arg("label"))
      .def("position_of", &Matrix::PositionOf, py::arg("id"),
           "The position of the first element with that identifier; KeyError when none has it.")
      .def_property("label", &Matrix::Label, &Matrix::SetLabel, "The matrix's label.")
      .def("attributes", &Matrix::Attributes, py::arg("position"), "The element's attributes: {group: {name: value}}.")
      .def("set_attributes", &Matrix::SetAttributes, py::arg("position"), py::arg("attributes"),
           "Adds attributes {group: {name: value}} to the element (values: None, bool, int, float, str); an "
           "attribute of the same group and name gets the new value.")
      .def("record_attributes", &Matrix::RecordAttributes, py::arg("position"),
           "The attributes of the element's records that have any: {record (from 0): {group: {name: value}}}.")
      .def("set_record_attributes", &Matrix::SetRecordAttributes, py::arg("position"), py::arg("attributes"),
           "Adds attributes {record (from 0): {group: {name: value}}} to the element's records.")
      .def("save_all_to_disk", &Matrix::SaveAllToDisk,
           "Writes every element to the swap file and frees its memory (elements an array shows stay).")
      .def("set_priority", &Matrix::SetPriority, py::arg("priority"),
           "Which storage objects go to the swap file first: 'fifo' (least recently used) or 'lifo'.");

  m.def("open", &Matrix::Open, py::arg("path"),
        "Reads a matrix from a stream file (as Matrix.save and `vqdm demo --out` write them). Releases the GIL "
        "while it reads.");
  m.def("set_memory_budget", &SetMemoryBudget, py::arg("size"),
        "Caps what the process's matrices keep in memory: bytes, or a size such as '512M', '2G', '1GiB'; 0 switches "
        "the budget off. Process-wide; overrides VQ_MEMORY_BUDGET.");
  m.def("swap_statistics", &SwapStatistics,
        "Transfers between memory and the swap files of every matrix of the process since the library was loaded.");
}
