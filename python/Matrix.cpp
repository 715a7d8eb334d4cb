#include "Matrix.h"

#include <chrono>

namespace vqpy {

// A plane of the slices: its two dimensions, the dimension of the first fixed
// position (the second is always d4), and its two library calls. Results
// are laid out by column, so that the inner dimension runs fastest: a C-order
// array indexed [outer, inner].
struct Matrix::Plane {
  const char* name;
  int outer, inner, fixedA;
  const char* scalarName;
  HRESULT (*scalar)(IVQDataMatrix*, double, double, LONG, LONG, LONG, IUnknown*);
  const char* spectrumName;
  HRESULT (*spectrum)(IVQDataMatrix*, LONG, LONG, LONG, IUnknown*);
};

namespace {

constexpr matrixDirectionType kLayout = matrixDirectionByColumn;

const Matrix::Plane* Planes();

vq::ComPtr<IVQData> NewItem() {
  EnterApartment();
  vq::ComPtr<IVQData> item;
  CheckSystem(CoCreateInstance(CLSID_VQData, nullptr, CLSCTX_INPROC_SERVER, IID_IVQData, item.put_void()),
              "cannot create a data item");
  return item;
}

vq::ComPtr<IVQData> AsItem(const vq::ComPtr<IUnknown>& unknown, const char* what) {
  vq::ComPtr<IVQData> item;
  if (unknown) unknown->QueryInterface(IID_IVQData, item.put_void());
  if (!item) throw Failure{E_NOINTERFACE, std::string(what) + " gave no data item"};
  return item;
}

vq::ComPtr<IStream> FileStream(const std::string& path, bool writing) {
  vq::ComPtr<IStream> stream;
  const DWORD mode = writing ? STGM_WRITE | STGM_CREATE | STGM_SHARE_EXCLUSIVE : STGM_READ | STGM_SHARE_DENY_WRITE;
  CheckSystem(SHCreateStreamOnFileA(path.c_str(), mode, stream.put()),
              (writing ? "cannot create " : "cannot open ") + path);
  return stream;
}

const char* KindName(LONG kind) {
  switch (kind) {
    case axisKindLinear:
      return "linear";
    case axisKindLogarithmic:
      return "logarithmic";
    case axisKindBands:
      return "bands";
    case axisKindValues:
      return "values";
    default:
      return "unknown";
  }
}

py::dict GroupsToDict(IVQAttributeGroups* groups) {
  py::dict result;
  LONG count = 0;
  Check(groups->GetCount(&count), "IVQAttributeGroups::GetCount");
  for (LONG g = 1; g <= count; ++g) {
    vq::ComPtr<IVQAttributeGroup> group;
    Check(groups->GetItem(Index(g), group.put()), "IVQAttributeGroups::GetItem");
    Text name;
    Check(group->GetName(name.put()), "IVQAttributeGroup::GetName");
    const py::str key = ToPython(name.get());
    // Groups of one name (told apart by their second names) share one dict.
    py::dict values = result.contains(key) ? py::dict(result[key]) : py::dict();
    LONG attributes = 0;
    Check(group->GetCount(&attributes), "IVQAttributeGroup::GetCount");
    for (LONG a = 1; a <= attributes; ++a) {
      Text attribute;
      Check(group->GetAttributeName(a, attribute.put()), "IVQAttributeGroup::GetAttributeName");
      Variant value;
      Check(group->GetValue(Index(a), value.put()), "IVQAttributeGroup::GetValue");
      values[ToPython(attribute.get())] = value.ToPython();
    }
    result[key] = values;
  }
  return result;
}

// Calls add(group, name, value) for every value of {group: {name: value}}.
template <class Add>
void ForEachAttribute(const py::dict& groups, Add&& add) {
  for (auto [group, values] : groups) {
    if (!py::isinstance<py::dict>(values)) throw py::type_error("attributes are {group: {name: value}}");
    const Text groupName(group);
    for (auto [name, value] : py::reinterpret_borrow<py::dict>(values)) {
      const Variant variant(value);
      add(groupName.get(), Text(name).get(), variant.get());
    }
  }
}

}  // namespace

template <class Call>
HRESULT Matrix::Short(Call&& call) {
  EnterApartment();
  std::unique_lock<std::mutex> lock(m_Calls, std::try_to_lock);
  if (!lock.owns_lock()) {
    py::gil_scoped_release released;
    lock.lock();
  }
  return call(m_Matrix.get());
}

template <class Call>
HRESULT Matrix::Long(Call&& call) {
  EnterApartment();
  py::gil_scoped_release released;
  std::lock_guard<std::mutex> lock(m_Calls);
  return call(m_Matrix.get());
}

Matrix::Matrix(vq::ComPtr<IVQDataMatrix> matrix) : m_Matrix(std::move(matrix)) {}

Matrix::Matrix(const std::vector<LONG>& dims, LONG values, LONG records, py::handle dtype, const std::string& kind) {
  if (dims.empty() || dims.size() > 4) throw py::value_error("a matrix has one to four dimensions");
  matrixType type = matrixSingleObject;
  if (kind == "multiple") {
    type = matrixMultipleObjects;
  } else if (kind != "single") {
    throw py::value_error("kind is \"single\" or \"multiple\", not \"" + kind + "\"");
  }
  const LONG format = FormatOf(dtype);
  LONG sizes[4] = {1, 1, 1, 1};
  for (size_t d = 0; d < dims.size(); ++d) sizes[d] = dims[d];
  EnterApartment();
  CheckSystem(
      CoCreateInstance(CLSID_VQDataMatrix, nullptr, CLSCTX_INPROC_SERVER, IID_IVQDataMatrix, m_Matrix.put_void()),
      "cannot create a matrix");
  Check(Long([&](IVQDataMatrix* m) {
          return m->Initialize2(sizes[0], sizes[1], sizes[2], sizes[3], values, records, format, type);
        }),
        "Initialize2");
  ReadSizes();
}

std::unique_ptr<Matrix> Matrix::Open(const std::string& path) {
  EnterApartment();
  vq::ComPtr<IVQDataMatrix> created;
  CheckSystem(
      CoCreateInstance(CLSID_VQDataMatrix, nullptr, CLSCTX_INPROC_SERVER, IID_IVQDataMatrix, created.put_void()),
      "cannot create a matrix");
  std::unique_ptr<Matrix> matrix(new Matrix(std::move(created)));
  vq::ComPtr<IStream> stream = FileStream(path, false);
  Check(matrix->Long([&](IVQDataMatrix* m) { return m->Read(stream.get()); }), "Read");
  matrix->ReadSizes();
  return matrix;
}

void Matrix::Save(const std::string& path) {
  vq::ComPtr<IStream> stream = FileStream(path, true);
  Check(Long([&](IVQDataMatrix* m) { return m->Write(stream.get()); }), "Write");
}

void Matrix::ReadSizes() {
  LONG dimensions = 0;
  Check(Short([&](IVQDataMatrix* m) { return m->get_Dimensions(&dimensions); }), "get_Dimensions");
  // A stream of a matrix that was never initialised reads as one without
  // dimensions, which has no element to show.
  if (dimensions != 4) throw Failure{E_FAIL, "The matrix has no dimensions: it was never initialised"};
  for (LONG d = 0; d < 4; ++d) {
    Check(Short([&](IVQDataMatrix* m) { return m->get_Size(d + 1, &m_Dims[d]); }), "get_Size");
  }
}

py::tuple Matrix::Dims() const { return py::make_tuple(m_Dims[0], m_Dims[1], m_Dims[2], m_Dims[3]); }

py::tuple Matrix::Shape() {
  vq::ComPtr<IVQData> item = Element(Position{}, true, false);
  LONG x = 0, z = 0;
  Check(item->GetSize(0, &x), "GetSize");
  Check(item->GetSize(1, &z), "GetSize");
  return py::make_tuple(m_Dims[0], m_Dims[1], m_Dims[2], m_Dims[3], z, x);
}

py::dtype Matrix::Dtype() {
  vq::ComPtr<IVQData> item = Element(Position{}, true, false);
  LONG format = 0;
  Check(item->GetFormat(&format), "GetFormat");
  return DtypeOf(format);
}

Matrix::Position Matrix::PositionFrom(py::handle key) const {
  PyObject* object = key.ptr();
  const bool tuple = PyTuple_Check(object);
  const Py_ssize_t given = tuple ? PyTuple_GET_SIZE(object) : 1;
  if (given < 1 || given > 4) {
    throw py::index_error("a position has one to four indices (d1, d2, d3, d4), not " + std::to_string(given));
  }
  Position p{};
  for (Py_ssize_t d = 0; d < 4; ++d) {
    if (d >= given) {
      // Left-out indices stand for dimensions of size 1 only, so that a
      // short position never means a whole row.
      if (m_Dims[d] != 1) {
        throw py::index_error("the position gives " + std::to_string(given) + " indices, but dimension d" +
                              std::to_string(d + 1) + " has size " + std::to_string(m_Dims[d]));
      }
      continue;
    }
    PyObject* index = tuple ? PyTuple_GET_ITEM(object, d) : object;
    long long value = PyLong_AsLongLong(index);
    if (value == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (value < 0) value += m_Dims[d];
    if (value < 0 || value >= m_Dims[d]) {
      throw py::index_error("index " + TextOf(py::handle(index)) + " is out of bounds for d" + std::to_string(d + 1) +
                            " of size " + std::to_string(m_Dims[d]));
    }
    p.d[d] = static_cast<LONG>(value);
  }
  return p;
}

LONG Matrix::Fixed(LONG value, int dimension) const {
  const LONG size = m_Dims[dimension];
  if (value < 0) value += size;
  if (value < 0 || value >= size) {
    throw py::index_error("at: index " + std::to_string(value) + " is out of bounds for d" +
                          std::to_string(dimension + 1) + " of size " + std::to_string(size));
  }
  return value;
}

vq::ComPtr<IVQData> Matrix::Element(const Position& p, bool readOnly, bool withAttributes) {
  vq::ComPtr<IUnknown> unknown;
  const auto& d = p.d;
  if (readOnly) {
    Check(Short([&](IVQDataMatrix* m) {
            return m->get_ConstDataPtr(d[0], d[1], d[2], d[3], withAttributes ? 1 : 0, unknown.put());
          }),
          "get_ConstDataPtr");
  } else {
    Check(Short([&](IVQDataMatrix* m) { return m->get_DataPtr(d[0], d[1], d[2], d[3], unknown.put()); }),
          "get_DataPtr");
  }
  return AsItem(unknown, "the element");
}

py::array Matrix::Get(py::handle position, bool readOnly) {
  return ViewOfItem(Element(PositionFrom(position), readOnly, false), readOnly);
}

void Matrix::Put(py::handle position, py::handle values) {
  py::array target = Get(position, false);
  py::array source;
  if (py::isinstance<py::array>(values)) {
    source = py::reinterpret_borrow<py::array>(values);
    // No silent conversion: values of another type are the caller's to cast.
    const int same = PyObject_RichCompareBool(source.dtype().ptr(), target.dtype().ptr(), Py_EQ);
    if (same < 0) throw py::error_already_set();
    if (same == 0) {
      throw py::type_error("the element holds " + TextOf(target.dtype()) + ", not " + TextOf(source.dtype()));
    }
  } else {
    source = py::module_::import("numpy").attr("asarray")(values, target.dtype());
  }
  const bool sameShape = source.ndim() == 2 && source.shape(0) == target.shape(0) && source.shape(1) == target.shape(1);
  const bool oneRecord = source.ndim() == 1 && target.shape(0) == 1 && source.shape(0) == target.shape(1);
  if (!sameShape && !oneRecord) {
    throw py::value_error("the element holds " + TextOf(target.attr("shape")) + " values (records, values), not " +
                          TextOf(source.attr("shape")));
  }
  const py::object from = oneRecord ? source.attr("reshape")(1, -1) : py::object(source);
  if (PyObject_SetItem(target.ptr(), Py_Ellipsis, from.ptr()) != 0) throw py::error_already_set();
}

const Matrix::Plane& Matrix::PlaneNamed(const std::string& name) const {
  for (const Plane* plane = Planes(); plane->name != nullptr; ++plane) {
    if (name == plane->name) return *plane;
  }
  throw py::value_error("plane is \"d1d2\", \"d1d3\" or \"d2d3\", not \"" + name + "\"");
}

vq::ComPtr<IVQData> Matrix::ResultItem(py::handle out, const std::vector<py::ssize_t>& shape) {
  if (out.is_none()) return NewItem();
  vq::ComPtr<IVQData> item = ItemShownBy(out);
  // The library reallocates a result of another shape or type, which would
  // leave `out` showing freed memory: such a result is refused here.
  const auto array = py::reinterpret_borrow<py::array>(out);
  bool fits = item && array.ndim() == static_cast<py::ssize_t>(shape.size());
  for (size_t d = 0; fits && d < shape.size(); ++d) fits = array.shape(static_cast<py::ssize_t>(d)) == shape[d];
  if (!fits || FormatOf(array.dtype()) != FormatOf(Dtype())) {
    throw py::value_error("out must be a whole earlier result of this kind of slice, of the same shape and type");
  }
  return item;
}

HRESULT Matrix::RunSlice(const Plane& plane, bool spectrum, std::pair<double, double> x, LONG a, LONG b, LONG record,
                         IVQData* result) {
  return Long([&](IVQDataMatrix* m) {
    return spectrum ? plane.spectrum(m, record, a, b, result)
                    : plane.scalar(m, x.first, x.second, record, a, b, result);
  });
}

py::array Matrix::Slice(std::pair<double, double> x, const std::string& planeName, std::pair<LONG, LONG> at,
                        LONG record, py::handle out) {
  const Plane& plane = PlaneNamed(planeName);
  const LONG a = Fixed(at.first, plane.fixedA), b = Fixed(at.second, 3);
  const std::vector<py::ssize_t> shape = {m_Dims[plane.outer], m_Dims[plane.inner]};
  vq::ComPtr<IVQData> result = ResultItem(out, shape);
  Check(RunSlice(plane, false, x, a, b, record, result.get()), plane.scalarName);
  if (!out.is_none()) return py::reinterpret_borrow<py::array>(out);
  return ViewOfItem(std::move(result), shape, false);
}

py::array Matrix::SpectrumSlice(const std::string& planeName, std::pair<LONG, LONG> at, LONG record, py::handle out) {
  const Plane& plane = PlaneNamed(planeName);
  const LONG a = Fixed(at.first, plane.fixedA), b = Fixed(at.second, 3);
  py::ssize_t values = 0;
  if (!out.is_none()) values = py::reinterpret_borrow<py::array>(out).shape(2);
  vq::ComPtr<IVQData> result;
  if (out.is_none()) {
    result = NewItem();
  } else {
    result = ResultItem(out, {m_Dims[plane.outer], m_Dims[plane.inner], values});
    const LONG x = static_cast<LONG>(py::int_(Shape()[5]));
    if (x != values) throw py::value_error("out must hold records of " + std::to_string(x) + " values");
  }
  Check(RunSlice(plane, true, {0.0, 0.0}, a, b, record, result.get()), plane.spectrumName);
  if (!out.is_none()) return py::reinterpret_borrow<py::array>(out);
  LONG xs = 0;
  Check(result->GetSize(0, &xs), "GetSize");
  return ViewOfItem(std::move(result), {m_Dims[plane.outer], m_Dims[plane.inner], xs}, false);
}

py::array Matrix::CopyToSingle() {
  vq::ComPtr<IVQData> result = NewItem();
  Check(Long([&](IVQDataMatrix* m) { return m->CopyContentsToSingleVqData(result.get()); }),
        "CopyContentsToSingleVqData");
  LONG x = 0, rows = 0;
  Check(result->GetSize(0, &x), "GetSize");
  Check(result->GetSize(1, &rows), "GetSize");
  const py::ssize_t elements = py::ssize_t{m_Dims[0]} * m_Dims[1] * m_Dims[2] * m_Dims[3];
  const py::ssize_t records = elements == 0 ? 0 : rows / elements;
  // The item holds the elements in storage order, d1 fastest.
  py::array stored = ViewOfItem(std::move(result), {m_Dims[3], m_Dims[2], m_Dims[1], m_Dims[0], records, x}, false);
  return stored.attr("transpose")(3, 2, 1, 0, 4, 5);
}

double Matrix::TimeNativeSlices(int repeats, std::pair<double, double> x, const std::string& planeName,
                                std::pair<LONG, LONG> at, LONG record, bool spectrum) {
  const Plane& plane = PlaneNamed(planeName);
  const LONG a = Fixed(at.first, plane.fixedA), b = Fixed(at.second, 3);
  vq::ComPtr<IVQData> result = NewItem();
  // The first call shapes the result; the timed ones fill it again.
  Check(RunSlice(plane, spectrum, x, a, b, record, result.get()), "slice");
  std::chrono::steady_clock::duration spent{};
  HRESULT hr = S_OK;
  Long([&](IVQDataMatrix* m) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < repeats && SUCCEEDED(hr); ++i) {
      hr = spectrum ? plane.spectrum(m, record, a, b, result.get())
                    : plane.scalar(m, x.first, x.second, record, a, b, result.get());
    }
    spent = std::chrono::steady_clock::now() - start;
    return hr;
  });
  Check(hr, "slice");
  return std::chrono::duration<double>(spent).count() / (repeats > 0 ? repeats : 1);
}

Axis Matrix::XAxis() {
  vq::ComPtr<IVQData> item = Element(Position{}, true, true);
  vq::ComPtr<IVQAxis> axis;
  Check(item->GetAxis(axis.put()), "GetAxis");
  if (!axis) throw Failure{E_POINTER, "The element has no axis"};
  Axis result;
  LONG kind = 0;
  Check(axis->GetKind(&kind), "IVQAxis::GetKind");
  result.kind = KindName(kind);
  Check(axis->GetSize(&result.size), "IVQAxis::GetSize");
  Text unit;
  Check(axis->GetUnit(unit.put()), "IVQAxis::GetUnit");
  result.unit = ToPython(unit.get());
  Check(axis->GetDelta(&result.delta), "IVQAxis::GetDelta");
  Check(axis->GetFirstBand(&result.first_band), "IVQAxis::GetFirstBand");
  Check(axis->GetFraction(&result.fraction), "IVQAxis::GetFraction");
  py::array_t<double> values(result.size);
  if (result.size > 0) {
    Check(axis->GetFirstValue(&result.first), "IVQAxis::GetFirstValue");
    Check(axis->GetValues(result.size, values.mutable_data()), "IVQAxis::GetValues");
  }
  result.values = values;
  return result;
}

void Matrix::SetXAxis(double first, double delta, const std::string& unit, std::optional<LONG> size) {
  const LONG points = size ? *size : static_cast<LONG>(py::int_(Shape()[5]));
  const Text text(unit);
  Check(Short([&](IVQDataMatrix* m) { return m->AllInitializeAsLinear(points, first, delta, text.get()); }),
        "AllInitializeAsLinear");
}

void Matrix::SetBandAxis(LONG firstBand, LONG fraction, const std::string& unit, std::optional<LONG> size) {
  const LONG points = size ? *size : static_cast<LONG>(py::int_(Shape()[5]));
  const Text text(unit);
  // The interface sets linear axes on every element at once only; a band
  // axis goes to each element's item.
  for (LONG d4 = 0; d4 < m_Dims[3]; ++d4) {
    for (LONG d3 = 0; d3 < m_Dims[2]; ++d3) {
      for (LONG d2 = 0; d2 < m_Dims[1]; ++d2) {
        for (LONG d1 = 0; d1 < m_Dims[0]; ++d1) {
          vq::ComPtr<IVQData> item = Element(Position{{d1, d2, d3, d4}}, false, false);
          vq::ComPtr<IVQAxis> axis;
          Check(item->GetAxis(axis.put()), "GetAxis");
          if (!axis) throw Failure{E_POINTER, "The element has no axis"};
          Check(axis->InitializeAsBands(points, firstBand, fraction, text.get()), "IVQAxis::InitializeAsBands");
        }
      }
    }
  }
}

Axis Matrix::DimensionAxis(LONG dimension) {
  Axis result;
  Text unit;
  Check(Short([&](IVQDataMatrix* m) { return m->GetAxis(dimension, &result.first, &result.delta, unit.put()); }),
        "GetAxis");
  result.kind = "linear";
  result.size = m_Dims[dimension];
  result.unit = ToPython(unit.get());
  py::array_t<double> values(result.size);
  double* v = values.mutable_data();
  for (LONG i = 0; i < result.size; ++i) v[i] = result.first + result.delta * static_cast<double>(i);
  result.values = values;
  return result;
}

void Matrix::SetDimensionAxis(LONG dimension, double first, double step, const std::string& unit) {
  const Text text(unit);
  Check(Short([&](IVQDataMatrix* m) { return m->InitializeAxis(dimension, first, step, text.get()); }),
        "InitializeAxis");
}

LONG Matrix::ElementId(py::handle position) {
  const Position p = PositionFrom(position);
  LONG id = 0;
  Check(Short([&](IVQDataMatrix* m) { return m->get_ID(p.d[0], p.d[1], p.d[2], p.d[3], &id); }), "get_ID");
  return id;
}

void Matrix::SetElementId(py::handle position, LONG id) {
  const Position p = PositionFrom(position);
  Check(Short([&](IVQDataMatrix* m) { return m->put_ID(p.d[0], p.d[1], p.d[2], p.d[3], id); }), "put_ID");
}

py::str Matrix::ElementLabel(py::handle position) {
  const Position p = PositionFrom(position);
  Text label;
  Check(Short([&](IVQDataMatrix* m) { return m->get_Label(p.d[0], p.d[1], p.d[2], p.d[3], label.put()); }),
        "get_Label");
  return ToPython(label.get());
}

void Matrix::SetElementLabel(py::handle position, const std::string& label) {
  const Position p = PositionFrom(position);
  const Text text(label);
  Check(Short([&](IVQDataMatrix* m) { return m->put_Label(p.d[0], p.d[1], p.d[2], p.d[3], text.get()); }), "put_Label");
}

py::tuple Matrix::PositionOf(LONG id) {
  LONG has = 0;
  Check(Short([&](IVQDataMatrix* m) { return m->HasData(id, &has); }), "HasData");
  if (has == 0) throw py::key_error("no element has the identifier " + std::to_string(id));
  LONG d[4] = {0, 0, 0, 0};
  Check(Short([&](IVQDataMatrix* m) { return m->GetPositionFromID(id, &d[0], &d[1], &d[2], &d[3]); }),
        "GetPositionFromID");
  return py::make_tuple(d[0], d[1], d[2], d[3]);
}

py::str Matrix::Label() {
  Text label;
  Check(Short([&](IVQDataMatrix* m) { return m->get_MatrixLabel(label.put()); }), "get_MatrixLabel");
  return ToPython(label.get());
}

void Matrix::SetLabel(const std::string& label) {
  const Text text(label);
  Check(Short([&](IVQDataMatrix* m) { return m->put_MatrixLabel(text.get()); }), "put_MatrixLabel");
}

py::dict Matrix::Attributes(py::handle position) {
  vq::ComPtr<IVQData> item = Element(PositionFrom(position), true, true);
  vq::ComPtr<IVQAttributeGroups> groups;
  Check(item->GetAttributes(groups.put()), "GetAttributes");
  return groups ? GroupsToDict(groups.get()) : py::dict();
}

void Matrix::SetAttributes(py::handle position, const py::dict& groups) {
  vq::ComPtr<IVQData> item = Element(PositionFrom(position), false, false);
  const Text noSecondName("");
  ForEachAttribute(groups, [&](BSTR group, BSTR name, const VARIANT& value) {
    Check(item->AddAttribute(group, name, noSecondName.get(), value), "AddAttribute");
  });
}

py::dict Matrix::RecordAttributes(py::handle position) {
  vq::ComPtr<IVQData> item = Element(PositionFrom(position), true, true);
  vq::ComPtr<IVQIndexedAttributes> indexed;
  Check(item->GetIndexedAttributes(1, indexed.put()), "GetIndexedAttributes");
  py::dict result;
  LONG record = 0;
  while (indexed) {
    const HRESULT hr = indexed->GetNextRecord(record, &record);
    Check(hr, "IVQIndexedAttributes::GetNextRecord");
    if (hr != S_OK || record <= 0) break;
    vq::ComPtr<IVQAttributeGroups> groups;
    Check(indexed->GetItem(Index(record), groups.put()), "IVQIndexedAttributes::GetItem");
    if (groups) result[py::int_(record - 1)] = GroupsToDict(groups.get());
  }
  return result;
}

void Matrix::SetRecordAttributes(py::handle position, const py::dict& records) {
  vq::ComPtr<IVQData> item = Element(PositionFrom(position), false, false);
  LONG count = 0;
  Check(item->GetSize(1, &count), "GetSize");
  const Text noSecondName("");
  for (auto [key, groups] : records) {
    const LONG record = key.cast<LONG>();
    if (record < 0 || record >= count) {
      throw py::index_error("record " + std::to_string(record) + " is out of bounds for " + std::to_string(count) +
                            " records");
    }
    if (!py::isinstance<py::dict>(groups)) throw py::type_error("record attributes are {record: {group: {...}}}");
    ForEachAttribute(py::reinterpret_borrow<py::dict>(groups), [&](BSTR group, BSTR name, const VARIANT& value) {
      Check(item->AddIndexedAttribute(1, record + 1, group, name, noSecondName.get(), value), "AddIndexedAttribute");
    });
  }
}

void Matrix::SaveAllToDisk() {
  Check(Long([](IVQDataMatrix* m) { return m->AllSaveToDisk(); }), "AllSaveToDisk");
}

void Matrix::SetPriority(const std::string& priority) {
  elementPriorityType value = elementPriorityFifo;
  if (priority == "lifo") {
    value = elementPriorityLifo;
  } else if (priority != "fifo") {
    throw py::value_error("priority is \"fifo\" or \"lifo\", not \"" + priority + "\"");
  }
  Check(Short([&](IVQDataMatrix* m) { return m->SetElementPriority(value); }), "SetElementPriority");
}

namespace {

const Matrix::Plane* Planes() {
  static const Matrix::Plane kPlanes[] = {
      {"d1d2", 0, 1, 2, "GetD1D2Slice",
       [](IVQDataMatrix* m, double lo, double hi, LONG z, LONG a, LONG b, IUnknown* r) {
         return m->GetD1D2Slice(lo, hi, z, a, b, kLayout, r);
       },
       "GetD1D2SliceSpectrum",
       [](IVQDataMatrix* m, LONG z, LONG a, LONG b, IUnknown* r) {
         return m->GetD1D2SliceSpectrum(z, a, b, kLayout, r);
       }},
      {"d1d3", 0, 2, 1, "GetD1D3Slice",
       [](IVQDataMatrix* m, double lo, double hi, LONG z, LONG a, LONG b, IUnknown* r) {
         return m->GetD1D3Slice(lo, hi, z, a, b, kLayout, r);
       },
       "GetD1D3SliceSpectrum",
       [](IVQDataMatrix* m, LONG z, LONG a, LONG b, IUnknown* r) {
         return m->GetD1D3SliceSpectrum(z, a, b, kLayout, r);
       }},
      {"d2d3", 1, 2, 0, "GetD2D3Slice",
       [](IVQDataMatrix* m, double lo, double hi, LONG z, LONG a, LONG b, IUnknown* r) {
         return m->GetD2D3Slice(lo, hi, z, a, b, kLayout, r);
       },
       "GetD2D3SliceSpectrum",
       [](IVQDataMatrix* m, LONG z, LONG a, LONG b, IUnknown* r) {
         return m->GetD2D3SliceSpectrum(z, a, b, kLayout, r);
       }},
      {nullptr, 0, 0, 0, nullptr, nullptr, nullptr, nullptr},
  };
  return kPlanes;
}

}  // namespace

}  // namespace vqpy
