#include "Support.h"

#include <complex>
#include <cstdio>
#include <cstring>

namespace vqpy {
namespace {

// The capsules that keep an item alive under the arrays that show it; their
// names tell an element's item from a result item the module may hand to
// the library to fill again (an element's would be filled from itself).
constexpr const char* kElementCapsule = "vqdatamatrix.element";
constexpr const char* kResultCapsule = "vqdatamatrix.result";

void ReleaseItem(PyObject* capsule) {
  if (auto* item = static_cast<IVQData*>(PyCapsule_GetPointer(capsule, PyCapsule_GetName(capsule)))) {
    item->Release();
  }
}

std::string SystemText(HRESULT hr) {
  char code[16];
  std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(hr));
  std::string text = _com_error(hr).ErrorMessage();
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
  return text.empty() ? std::string(code) : text + " (" + code + ")";
}

// The created exception type; it lives as long as the module's dictionary,
// which holds it too, and is never released here (the interpreter may be
// gone when static objects are destroyed).
PyObject* g_ErrorType = nullptr;

const void* ValuesOf(IVQData* item, const VQDataBuffer& buffer) {
  switch (buffer.Format) {
    case dataFormatInt32:
      return buffer.pLong;
    case dataFormatFloat64:
      return buffer.pDouble;
    case dataFormatComplex128:
      return buffer.pComplexDouble;
    case dataFormatFloat32:
      return buffer.pFloat;
    case dataFormatComplex64:
      return buffer.pComplexFloat;
    default: {
      // The 16- and 64-bit integers have no pointer field of their own.
      void* raw = nullptr;
      ULONGLONG bytes = 0;
      Check(item->GetRawData(&raw, &bytes), "GetRawData");
      return raw;
    }
  }
}

}  // namespace

void Check(HRESULT hr, const char* what) {
  if (SUCCEEDED(hr)) return;
  vq::ComPtr<IErrorInfo> info;
  std::string description;
  if (GetErrorInfo(0, info.put()) == S_OK && info) {
    Text words;
    if (SUCCEEDED(info->GetDescription(words.put())) && words.get() != nullptr && SysStringLen(words.get()) != 0) {
      description = ToPython(words.get());
    }
  }
  if (description.empty()) description = std::string(what) + " failed: " + SystemText(hr);
  throw Failure{hr, std::move(description)};
}

void CheckSystem(HRESULT hr, const std::string& what) {
  if (FAILED(hr)) throw Failure{hr, what + ": " + SystemText(hr)};
}

void RegisterErrors(py::module_& module) {
  g_ErrorType = PyErr_NewExceptionWithDoc(
      "vqdatamatrix.Error",
      "A failed call of the library: .hresult (the HRESULT, unsigned) and .description (the words the library "
      "gave as its error information).",
      PyExc_RuntimeError, nullptr);
  if (g_ErrorType == nullptr) throw py::error_already_set();
  module.add_object("Error", py::handle(g_ErrorType));
  py::register_exception_translator([](std::exception_ptr thrown) {
    try {
      if (thrown) std::rethrow_exception(thrown);
    } catch (const Failure& failure) {
      char code[16];
      std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(failure.hr));
      py::object error = py::reinterpret_borrow<py::object>(g_ErrorType)(failure.description + " [" + code + "]");
      error.attr("hresult") = static_cast<uint32_t>(failure.hr);
      error.attr("description") = failure.description;
      PyErr_SetObject(g_ErrorType, error.ptr());
    }
  });
}

void EnterApartment() {
  struct Apartment {
    bool entered = false;
    ~Apartment() {
      if (entered) CoUninitialize();
    }
  };
  thread_local Apartment apartment;
  if (apartment.entered) return;
  const HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  // A thread that entered the other kind of apartment itself is in one all
  // the same.
  if (hr == RPC_E_CHANGED_MODE) return;
  CheckSystem(hr, "entering the component runtime");
  apartment.entered = true;
}

Text::Text(const std::string& utf8) : Text(py::str(utf8)) {}

Text::Text(py::handle str) {
  if (!PyUnicode_Check(str.ptr())) throw py::type_error("a str is needed");
  Py_ssize_t length = 0;
  wchar_t* wide = PyUnicode_AsWideCharString(str.ptr(), &length);
  if (wide == nullptr) throw py::error_already_set();
  m_Text = SysAllocStringLen(wide, static_cast<UINT>(length));
  PyMem_Free(wide);
  if (m_Text == nullptr) throw std::bad_alloc();
}

BSTR* Text::put() {
  SysFreeString(m_Text);
  m_Text = nullptr;
  return &m_Text;
}

std::string TextOf(py::handle object) { return py::str(object); }

py::str ToPython(BSTR text) {
  if (text == nullptr) return py::str("");
  PyObject* str = PyUnicode_FromWideChar(text, static_cast<Py_ssize_t>(SysStringLen(text)));
  if (str == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(str);
}

Variant::Variant(py::handle value) {
  VariantInit(&m_Value);
  PyObject* object = value.ptr();
  if (object == Py_None) return;
  if (PyBool_Check(object)) {
    m_Value.vt = VT_BOOL;
    m_Value.boolVal = object == Py_True ? VARIANT_TRUE : VARIANT_FALSE;
  } else if (PyLong_Check(object)) {
    const long long number = PyLong_AsLongLong(object);
    if (number == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (number >= INT32_MIN && number <= INT32_MAX) {
      m_Value.vt = VT_I4;
      m_Value.lVal = static_cast<LONG>(number);
    } else {
      m_Value.vt = VT_I8;
      m_Value.llVal = number;
    }
  } else if (PyFloat_Check(object)) {
    m_Value.vt = VT_R8;
    m_Value.dblVal = PyFloat_AS_DOUBLE(object);
  } else if (PyUnicode_Check(object)) {
    Text text(value);
    m_Value.vt = VT_BSTR;
    m_Value.bstrVal = text.release();
  } else {
    throw py::type_error("attribute values are None, bool, int, float or str, not " +
                         std::string(py::str(py::type::of(value).attr("__name__"))));
  }
}

VARIANT* Variant::put() {
  VariantClear(&m_Value);
  return &m_Value;
}

py::object Variant::ToPython() const {
  const VARIANT& v = m_Value;
  switch (v.vt) {
    case VT_EMPTY:
    case VT_NULL:
      return py::none();
    case VT_BOOL:
      return py::bool_(v.boolVal != VARIANT_FALSE);
    case VT_I1:
      return py::int_(static_cast<int>(v.cVal));
    case VT_UI1:
      return py::int_(static_cast<unsigned>(v.bVal));
    case VT_I2:
      return py::int_(v.iVal);
    case VT_UI2:
      return py::int_(v.uiVal);
    case VT_I4:
    case VT_INT:
    case VT_ERROR:
      return py::int_(v.lVal);
    case VT_UI4:
    case VT_UINT:
      return py::int_(v.ulVal);
    case VT_I8:
      return py::int_(v.llVal);
    case VT_UI8:
      return py::int_(v.ullVal);
    case VT_R4:
      return py::float_(v.fltVal);
    case VT_R8:
    case VT_DATE:
      return py::float_(v.dblVal);
    case VT_BSTR:
      return vqpy::ToPython(v.bstrVal);
    default: {
      Variant text;
      Check(VariantChangeType(text.put(), &v, 0, VT_BSTR), "VariantChangeType");
      return vqpy::ToPython(text.get().bstrVal);
    }
  }
}

VARIANT Index(LONG position) {
  VARIANT index;
  VariantInit(&index);
  index.vt = VT_I4;
  index.lVal = position;
  return index;
}

py::dtype DtypeOf(LONG format) {
  switch (format) {
    case dataFormatInt32:
      return py::dtype::of<int32_t>();
    case dataFormatFloat64:
      return py::dtype::of<double>();
    case dataFormatComplex128:
      return py::dtype::of<std::complex<double>>();
    case dataFormatInt16:
      return py::dtype::of<int16_t>();
    case dataFormatInt64:
      return py::dtype::of<int64_t>();
    case dataFormatFloat32:
      return py::dtype::of<float>();
    case dataFormatComplex64:
      return py::dtype::of<std::complex<float>>();
    default:
      throw Failure{E_FAIL, "The values have format " + std::to_string(format) + ", which numpy has no type for"};
  }
}

LONG FormatOf(py::handle dtypeLike) {
  const py::dtype type = py::dtype::from_args(py::reinterpret_borrow<py::object>(dtypeLike));
  // Values are kept in the machine's (little-endian) order.
  if (type.byteorder() != '=' && type.byteorder() != '<' && type.byteorder() != '|') {
    throw py::type_error("values are kept little-endian: " + TextOf(type) + " is not");
  }
  const char kind = type.kind();
  const py::ssize_t size = type.itemsize();
  if (kind == 'i' && size == 4) return dataFormatInt32;
  if (kind == 'f' && size == 8) return dataFormatFloat64;
  if (kind == 'c' && size == 16) return dataFormatComplex128;
  if (kind == 'i' && size == 2) return dataFormatInt16;
  if (kind == 'i' && size == 8) return dataFormatInt64;
  if (kind == 'f' && size == 4) return dataFormatFloat32;
  if (kind == 'c' && size == 8) return dataFormatComplex64;
  throw py::type_error("no value format holds " + TextOf(type) +
                       ": int32, float64, complex128, int16, int64, float32 or complex64");
}

namespace {

py::array View(vq::ComPtr<IVQData> item, const VQDataBuffer& buffer, std::vector<py::ssize_t> shape, bool readOnly,
               const char* capsuleName) {
  const py::dtype type = DtypeOf(buffer.Format);
  const void* values = ValuesOf(item.get(), buffer);
  py::ssize_t count = 1;
  for (py::ssize_t n : shape) count *= n;
  if (count != static_cast<py::ssize_t>(buffer.XSize) * buffer.ZSize) {
    throw Failure{E_FAIL, "The data item holds " + std::to_string(buffer.XSize) + " x " + std::to_string(buffer.ZSize) +
                              " values, not the expected " + std::to_string(count)};
  }
  if (values == nullptr) return py::array(type, shape);  // no values: an empty array of its own
  PyObject* capsule = PyCapsule_New(item.get(), capsuleName, ReleaseItem);
  if (capsule == nullptr) throw py::error_already_set();
  // The capsule owns the reference from here on.
  static_cast<void>(item.detach());
  py::object base = py::reinterpret_steal<py::object>(capsule);
  py::array view(type, std::move(shape), {}, values, base);
  if (readOnly) py::detail::array_proxy(view.ptr())->flags &= ~py::detail::npy_api::NPY_ARRAY_WRITEABLE_;
  return view;
}

}  // namespace

py::array ViewOfItem(vq::ComPtr<IVQData> item, bool readOnly) {
  VQDataBuffer buffer{};
  Check(item->GetDataBuffer(&buffer), "GetDataBuffer");
  return View(std::move(item), buffer, {buffer.ZSize, buffer.XSize}, readOnly, kElementCapsule);
}

py::array ViewOfItem(vq::ComPtr<IVQData> item, std::vector<py::ssize_t> shape, bool readOnly) {
  VQDataBuffer buffer{};
  Check(item->GetDataBuffer(&buffer), "GetDataBuffer");
  return View(std::move(item), buffer, std::move(shape), readOnly, kResultCapsule);
}

vq::ComPtr<IVQData> ItemShownBy(py::handle object) {
  if (!py::isinstance<py::array>(object)) return nullptr;
  const auto array = py::reinterpret_borrow<py::array>(object);
  const py::object base = array.base();
  if (!base || !PyCapsule_IsValid(base.ptr(), kResultCapsule)) return nullptr;
  vq::ComPtr<IVQData> item(static_cast<IVQData*>(PyCapsule_GetPointer(base.ptr(), kResultCapsule)));
  VQDataBuffer buffer{};
  if (FAILED(item->GetDataBuffer(&buffer))) return nullptr;
  const bool whole =
      array.data() == ValuesOf(item.get(), buffer) &&
      array.nbytes() == static_cast<py::ssize_t>(buffer.XSize) * buffer.ZSize * VQDataBytesPerValue(buffer.Format) &&
      (array.flags() & py::array::c_style) != 0 && array.writeable();
  return whole ? item : nullptr;
}

}  // namespace vqpy
