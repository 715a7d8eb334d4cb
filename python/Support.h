// Support.h - what the Python module's parts share: the failures it raises,
// the apartment each calling thread enters, text and attribute values on
// their way between Python and the component model, value formats as numpy
// types, and numpy arrays that show a data item's own values.
//
// Everything here is called with the GIL held, on whatever thread Python runs
// the caller on. Library calls made while the GIL is released (slices, stream
// reads and writes) are checked afterwards on the same thread, so that the
// thread's error information still belongs to them.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <string>
#include <utility>
#include <vector>

#include "VQDataMatrixLib.h"

namespace vqpy {

namespace py = pybind11;

// A failed call of the library, raised in Python as vqdatamatrix.Error with
// the HRESULT and the description.
struct Failure {
  HRESULT hr;
  std::string description;
};

// Throws Failure when hr failed. The description is the one the failing
// method left as the thread's error information (every method of the matrix
// and of the data item leaves one); without one it is `what` and the
// system's text for hr.
void Check(HRESULT hr, const char* what);
// For calls of the runtime that leave no error information (file streams,
// object creation): the description is `what` and the system's text, so that
// an older description never passes for this failure.
void CheckSystem(HRESULT hr, const std::string& what);

// Creates vqdatamatrix.Error and the translation of Failure into it.
void RegisterErrors(py::module_& module);

// Enters the calling thread into an apartment, once per thread: creating a
// component needs one, and Python may call from any of its threads.
void EnterApartment();

// Owns a BSTR.
class Text {
 public:
  Text() = default;
  explicit Text(const std::string& utf8);
  explicit Text(py::handle str);
  ~Text() { SysFreeString(m_Text); }
  Text(const Text&) = delete;
  Text& operator=(const Text&) = delete;

  BSTR get() const { return m_Text; }
  BSTR* put();
  // Hands the string over to the caller.
  BSTR release() { return std::exchange(m_Text, nullptr); }

 private:
  BSTR m_Text = nullptr;
};
// str(object) as UTF-8, for messages.
std::string TextOf(py::handle object);
// A BSTR as a Python str ("" for null).
py::str ToPython(BSTR text);

// Owns a VARIANT.
class Variant {
 public:
  Variant() { VariantInit(&m_Value); }
  // None, bool, int, float or str; TypeError for anything else, OverflowError
  // for an int beyond 64 bits.
  explicit Variant(py::handle value);
  ~Variant() { VariantClear(&m_Value); }
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;

  const VARIANT& get() const { return m_Value; }
  VARIANT* put();
  // The value as None, bool, int, float or str; a type the attributes cannot
  // hold gives its text.
  py::object ToPython() const;

 private:
  VARIANT m_Value;
};
// An integer index of the attribute interfaces (1-based positions).
VARIANT Index(LONG position);

// The numpy type of a value format (0..6); vqdatamatrix.Error for another.
py::dtype DtypeOf(LONG format);
// The value format of anything numpy takes as a dtype; TypeError for a type
// without one.
LONG FormatOf(py::handle dtypeLike);

// An array of records x values that shows an element's item's own values,
// without copying: the array holds a reference on the item (its base), so
// the values stay valid as long as the array, and writes reach the item.
// Read-only when asked, as for an item handed out for reading.
py::array ViewOfItem(vq::ComPtr<IVQData> item, bool readOnly);
// The values of a result item (a slice's, the copy's) in another shape (C
// order; the element count must be the item's).
py::array ViewOfItem(vq::ComPtr<IVQData> item, std::vector<py::ssize_t> shape, bool readOnly);
// The result item an array made by ViewOfItem shows all of, or null: the
// caller may hand it to the library to fill again (a slice's out=).
vq::ComPtr<IVQData> ItemShownBy(py::handle array);

}  // namespace vqpy
