// vqdm import IN.nc OUT.vqdm: a netCDF file of the export's layout back into
// a matrix, written as a matrix stream. Everything the layout requires is
// checked before the matrix is made; what it only allows (axes, identifiers,
// labels, attributes) is taken when present. Elements are read one at a time.
#include <netcdf.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "tools/vqdm/Common.h"
#include "tools/vqdm/NetCdf.h"

namespace vqdm {
namespace {

using netcdf::AttributeValue;
using netcdf::Nc;

struct Reader {
  std::string path;
  int nc = -1;

  [[noreturn]] void Refuse(const std::string& why) const { throw ToolError(path + ": " + why); }

  int Variable(const char* name) const {
    int var = -1;
    return nc_inq_varid(nc, name, &var) == NC_NOERR ? var : -1;
  }

  // The variable's dimension ids, and its type.
  std::vector<int> Dimensions(int var, nc_type* type = nullptr) const {
    int count = 0;
    Nc(nc_inq_varndims(nc, var, &count), path);
    std::vector<int> dims(static_cast<size_t>(count));
    Nc(nc_inq_vardimid(nc, var, dims.data()), path);
    if (type != nullptr) Nc(nc_inq_vartype(nc, var, type), path);
    return dims;
  }

  // Text of an attribute (NC_CHAR or one NC_STRING); false when there is none.
  bool Text(int var, const char* name, std::string* out) const {
    nc_type type = NC_NAT;
    size_t length = 0;
    if (nc_inq_att(nc, var, name, &type, &length) != NC_NOERR) return false;
    if (type == NC_CHAR) {
      out->assign(length, '\0');
      Nc(nc_get_att_text(nc, var, name, out->data()), path);
      return true;
    }
    if (type != NC_STRING || length != 1) Refuse(std::string("attribute ") + name + " is not text");
    char* text = nullptr;
    Nc(nc_get_att_string(nc, var, name, &text), path);
    *out = text != nullptr ? text : "";
    nc_free_string(1, &text);
    return true;
  }

  bool Double(int var, const char* name, double* out) const {
    size_t length = 0;
    if (nc_inq_attlen(nc, var, name, &length) != NC_NOERR) return false;
    if (length != 1) Refuse(std::string("attribute ") + name + " is not one number");
    Nc(nc_get_att_double(nc, var, name, out), path);
    return true;
  }

  std::vector<std::string> Strings(int var, const char* name) const {
    nc_type type = NC_NAT;
    size_t length = 0;
    if (nc_inq_att(nc, var, name, &type, &length) != NC_NOERR) return {};
    if (type != NC_STRING) Refuse(std::string("attribute ") + name + " is not a list of texts");
    std::vector<char*> texts(length);
    Nc(nc_get_att_string(nc, var, name, texts.data()), path);
    std::vector<std::string> out;
    for (char* t : texts) out.emplace_back(t != nullptr ? t : "");
    nc_free_string(length, texts.data());
    return out;
  }
};

LONG FormatOf(nc_type type, bool complex) {
  switch (type) {
    case NC_INT:
      return complex ? -1 : dataFormatInt32;
    case NC_DOUBLE:
      return complex ? dataFormatComplex128 : dataFormatFloat64;
    case NC_SHORT:
      return complex ? -1 : dataFormatInt16;
    case NC_INT64:
      return complex ? -1 : dataFormatInt64;
    case NC_FLOAT:
      return complex ? dataFormatComplex64 : dataFormatFloat32;
    default:
      return -1;
  }
}

// An element attribute the file describes: where its value is and what it was.
struct Attribute {
  std::string ncName, group, secondName, name;
  VARTYPE vt = VT_EMPTY;
  bool uniform = false;
  AttributeValue value;  // uniform
  int var = -1;          // varying
};

AttributeValue ReadAttributeValue(const Reader& r, int var, const std::string& name, nc_type type) {
  AttributeValue v;
  if (type == NC_CHAR || type == NC_STRING) {
    v.kind = AttributeValue::kText;
    r.Text(var, name.c_str(), &v.text);
  } else if (type == NC_FLOAT || type == NC_DOUBLE) {
    v.kind = AttributeValue::kReal;
    r.Double(var, name.c_str(), &v.real);
  } else {
    long long i = 0;
    size_t length = 0;
    Nc(nc_inq_attlen(r.nc, var, name.c_str(), &length), r.path);
    if (length != 1) r.Refuse("attribute " + name + " is not one value");
    Nc(nc_get_att_longlong(r.nc, var, name.c_str(), &i), r.path);
    v.integer = i;
  }
  return v;
}

std::vector<Attribute> ReadAttributeTable(const Reader& r, int valueVar, const int* elementDims) {
  const std::vector<std::string> names = r.Strings(valueVar, netcdf::kAttributeNames);
  const std::vector<std::string> groups = r.Strings(valueVar, netcdf::kAttributeGroups);
  const std::vector<std::string> seconds = r.Strings(valueVar, netcdf::kAttributeSecondNames);
  const std::vector<std::string> keys = r.Strings(valueVar, netcdf::kAttributeKeys);
  const std::vector<std::string> types = r.Strings(valueVar, netcdf::kAttributeTypes);
  if (groups.size() != names.size() || seconds.size() != names.size() || keys.size() != names.size() ||
      types.size() != names.size())
    r.Refuse("the element attribute lists differ in length");
  std::vector<Attribute> table;
  for (size_t i = 0; i < names.size(); ++i) {
    Attribute a{names[i], groups[i], seconds[i], keys[i], VT_EMPTY, false, {}, -1};
    a.vt = static_cast<VARTYPE>(std::strtoul(types[i].c_str(), nullptr, 10));
    nc_type type = NC_NAT;
    VARIANT probe;
    if (nc_inq_atttype(r.nc, valueVar, a.ncName.c_str(), &type) == NC_NOERR) {
      a.uniform = true;
      a.value = ReadAttributeValue(r, valueVar, a.ncName, type);
    } else if ((a.var = r.Variable(a.ncName.c_str())) >= 0) {
      const std::vector<int> dims = r.Dimensions(a.var, &type);
      if (dims != std::vector<int>(elementDims, elementDims + 4))
        r.Refuse("variable " + a.ncName + " is not over (d1, d2, d3, d4)");
      a.value.kind = type == NC_STRING                       ? AttributeValue::kText
                     : type == NC_DOUBLE || type == NC_FLOAT ? AttributeValue::kReal
                                                             : AttributeValue::kInteger;
    } else {
      r.Refuse("element attribute " + a.ncName + " is neither an attribute of the values nor a variable");
    }
    if (!netcdf::ToVariant(a.value, a.vt, &probe))
      r.Refuse("element attribute " + a.ncName + " does not hold values of VARTYPE " + types[i]);
    VariantClear(&probe);
    table.push_back(std::move(a));
  }
  return table;
}

// The element's value of a varying attribute; false where it holds the fill value.
bool ReadElementAttribute(const Reader& r, const Attribute& a, const size_t* at, AttributeValue* v) {
  *v = AttributeValue();
  v->kind = a.value.kind;
  const std::string what = "reading " + a.ncName;
  switch (v->kind) {
    case AttributeValue::kInteger: {
      long long i = 0;
      Nc(nc_get_var1_longlong(r.nc, a.var, at, &i), what);
      v->integer = i;
      return i != NC_FILL_INT64;
    }
    case AttributeValue::kReal:
      Nc(nc_get_var1_double(r.nc, a.var, at, &v->real), what);
      return v->real != NC_FILL_DOUBLE;
    case AttributeValue::kText: {
      char* text = nullptr;
      Nc(nc_get_var1_string(r.nc, a.var, at, &text), what);
      v->text = text != nullptr ? text : "";
      nc_free_string(1, &text);
      return !v->text.empty();
    }
  }
  return false;
}

// The x axis the file describes, set on item.
void ReadXAxis(const Reader& r, int xDim, LONG xSize, IVQData* item) {
  const int var = r.Variable(netcdf::kX);
  if (var < 0) return;
  nc_type type = NC_NAT;
  if (r.Dimensions(var, &type) != std::vector<int>{xDim}) r.Refuse("variable x is not over (x)");
  std::vector<double> values(static_cast<size_t>(xSize));
  Nc(nc_get_var_double(r.nc, var, values.data()), r.path + ": reading x");
  std::string unit, kind = "values";
  r.Text(var, "units", &unit);
  r.Text(var, "axis_kind", &kind);
  vq::ComPtr<IVQAxis> axis;
  Check(item->GetAxis(axis.put()), "making the x axis");
  double first = values[0], step = xSize > 1 ? values[1] - values[0] : 1.0;
  r.Double(var, "first", &first);
  r.Double(var, "step", &step);
  HRESULT hr = E_FAIL;
  if (kind == "linear") {
    hr = axis->InitializeAsLinear(xSize, first, step, Bstr(unit));
  } else if (kind == "logarithmic") {
    hr = axis->InitializeAsKind1(xSize, first, step, Bstr(unit));
  } else if (kind == "bands") {
    int band = 0, fraction = 0;
    Nc(nc_get_att_int(r.nc, var, "first_band", &band), r.path + ": x first_band");
    Nc(nc_get_att_int(r.nc, var, "fraction", &fraction), r.path + ": x fraction");
    hr = axis->InitializeAsBands(xSize, band, fraction, Bstr(unit));
  } else {
    hr = axis->InitializeWithValues(xSize, values.data(), Bstr(unit));
  }
  Check(hr, r.path + ": the x axis (" + kind + ") cannot be made");
}

}  // namespace

int RunImport(const ImportOptions& o) {
  netcdf::File file = netcdf::File::Open(o.in);
  const Reader r{o.in, file.id()};

  // The layout's dimensions and value variable(s).
  const char* dimNames[6] = {netcdf::kDimensionNames[0], netcdf::kDimensionNames[1], netcdf::kDimensionNames[2],
                             netcdf::kDimensionNames[3], netcdf::kRecords,           netcdf::kX};
  int dims[6];
  size_t lengths[6];
  uint64_t elements = 1;
  for (int d = 0; d < 6; ++d) {
    if (nc_inq_dimid(r.nc, dimNames[d], &dims[d]) != NC_NOERR)
      r.Refuse(std::string("no dimension ") + dimNames[d] + " (not a file vqdm export --netcdf wrote?)");
    Nc(nc_inq_dimlen(r.nc, dims[d], &lengths[d]), o.in);
    if (lengths[d] < 1 || lengths[d] > 0x7FFFFFFF)
      r.Refuse(std::string("dimension ") + dimNames[d] + " has " + std::to_string(lengths[d]) + " positions");
    if (d < 4) elements *= lengths[d];
  }
  if (elements > 0xFFFFFFFFull) r.Refuse("more elements than a matrix holds");
  std::vector<int> valueVars;
  for (const char* name : {netcdf::kValue, netcdf::kValueRe, netcdf::kValueIm})
    if (int var = r.Variable(name); var >= 0) valueVars.push_back(var);
  const bool complex = r.Variable(netcdf::kValue) < 0;
  if (valueVars.size() != (complex ? 2u : 1u))
    r.Refuse("needs a variable value, or value_re and value_im (and not both)");
  nc_type type = NC_NAT;
  for (int var : valueVars) {
    nc_type t = NC_NAT;
    if (r.Dimensions(var, &t) != std::vector<int>(dims, dims + 6))
      r.Refuse("the values are not over (d1, d2, d3, d4, records, x)");
    if (type != NC_NAT && t != type) r.Refuse("value_re and value_im differ in type");
    type = t;
  }
  const LONG format = FormatOf(type, complex);
  if (format < 0) r.Refuse("the values' netCDF type " + std::to_string(type) + " is no matrix format");
  const LONG xSize = static_cast<LONG>(lengths[5]), zSize = static_cast<LONG>(lengths[4]);
  if (uint64_t(xSize) * uint64_t(zSize) * uint64_t(VQDataBytesPerValue(format)) > 0xFFFFFFFFull)
    r.Refuse("an element of " + std::to_string(xSize) + " x " + std::to_string(zSize) +
             " values is larger than a matrix element can be (4 GiB)");

  for (const char* name : {netcdf::kId, netcdf::kLabel}) {
    if (int var = r.Variable(name); var >= 0 && r.Dimensions(var) != std::vector<int>(dims, dims + 4))
      r.Refuse(std::string("variable ") + name + " is not over (d1, d2, d3, d4)");
  }
  const std::vector<Attribute> attributes = ReadAttributeTable(r, valueVars[0], dims);

  std::string kind, priority, label;
  r.Text(NC_GLOBAL, "matrix_type", &kind);
  r.Text(NC_GLOBAL, "element_priority", &priority);
  const bool hasLabel = r.Text(NC_GLOBAL, "label", &label);

  Apartment apartment;
  vq::ComPtr<IVQDataMatrix> matrix = NewMatrix();
  Check(matrix->Initialize2(LONG(lengths[0]), LONG(lengths[1]), LONG(lengths[2]), LONG(lengths[3]), xSize, zSize,
                            format, kind == "multiple objects" ? matrixMultipleObjects : matrixSingleObject),
        "cannot make the matrix");
  if (hasLabel) Check(matrix->put_MatrixLabel(Bstr(label)), "setting the matrix label");
  Check(matrix->SetElementPriority(priority == "LIFO" ? elementPriorityLifo : elementPriorityFifo),
        "setting the priority");
  for (LONG d = 0; d < 4; ++d) {
    const int var = r.Variable(netcdf::kDimensionNames[d]);
    if (var < 0) continue;
    std::vector<double> values(lengths[d]);
    Nc(nc_get_var_double(r.nc, var, values.data()), o.in + ": reading " + netcdf::kDimensionNames[d]);
    double first = values[0], step = values.size() > 1 ? values[1] - values[0] : 1.0;
    r.Double(var, "first", &first);
    r.Double(var, "step", &step);
    std::string unit;
    r.Text(var, "units", &unit);
    Check(matrix->InitializeAxis(d, first, step, Bstr(unit)), "setting the axis of d" + std::to_string(d + 1));
  }
  vq::ComPtr<IVQData> axisItem = NewItem();
  ReadXAxis(r, dims[5], xSize, axisItem.get());
  vq::ComPtr<IVQAxis> xAxis;
  Check(axisItem->GetAxis(xAxis.put()), "making the x axis");

  std::vector<int> ids(elements, -1);
  if (int var = r.Variable(netcdf::kId); var >= 0)
    Nc(nc_get_var_int(r.nc, var, ids.data()), o.in + ": reading the identifiers");
  const int labelVar = r.Variable(netcdf::kLabel);

  const size_t valueCount = size_t(xSize) * size_t(zSize);
  const size_t partBytes = size_t(VQDataBytesPerValue(format)) / (complex ? 2 : 1);
  std::vector<unsigned char> values(valueCount * VQDataBytesPerValue(format)), re, im;
  if (complex) re.resize(valueCount * partBytes), im.resize(valueCount * partBytes);
  const size_t count[6] = {1, 1, 1, 1, size_t(zSize), size_t(xSize)};
  for (LONG d4 = 0; d4 < LONG(lengths[3]); ++d4)
    for (LONG d3 = 0; d3 < LONG(lengths[2]); ++d3)
      for (LONG d2 = 0; d2 < LONG(lengths[1]); ++d2)
        for (LONG d1 = 0; d1 < LONG(lengths[0]); ++d1) {
          const size_t start[6] = {size_t(d1), size_t(d2), size_t(d3), size_t(d4), 0, 0};
          // Appended piece by piece: g++ 12 at -O3 warns falsely (-Wrestrict)
          // about "literal" + std::string temporaries.
          std::string where("(");
          where.append(std::to_string(d1)).append(", ").append(std::to_string(d2)).append(", ");
          where.append(std::to_string(d3)).append(", ").append(std::to_string(d4)).append(")");
          if (complex) {
            Nc(nc_get_vara(r.nc, valueVars[0], start, count, re.data()), o.in + ": reading the values at " + where);
            Nc(nc_get_vara(r.nc, valueVars[1], start, count, im.data()), o.in + ": reading the values at " + where);
            for (size_t i = 0; i < valueCount; ++i) {
              std::memcpy(&values[2 * i * partBytes], &re[i * partBytes], partBytes);
              std::memcpy(&values[(2 * i + 1) * partBytes], &im[i * partBytes], partBytes);
            }
          } else {
            Nc(nc_get_vara(r.nc, valueVars[0], start, count, values.data()), o.in + ": reading the values at " + where);
          }
          vq::ComPtr<IVQData> item = NewItem();
          Check(item->SetRawData(xSize, zSize, format, values.data(), values.size()), "making the element " + where);
          Check(item->SetAxis(xAxis.get()), "setting the x axis of " + where);
          for (const Attribute& a : attributes) {
            AttributeValue v = a.value;
            if (!a.uniform && !ReadElementAttribute(r, a, start, &v)) continue;
            _variant_t value;
            if (!netcdf::ToVariant(v, a.vt, &value)) r.Refuse("attribute " + a.ncName + " at " + where);
            Check(item->AddAttribute(Bstr(a.group), Bstr(a.name), Bstr(a.secondName), value),
                  "setting attribute " + a.ncName + " of " + where);
          }
          Check(matrix->put_DataPtr(d1, d2, d3, d4, item.get()), "storing the element " + where);
          const size_t at =
              ((size_t(d1) * lengths[1] + size_t(d2)) * lengths[2] + size_t(d3)) * lengths[3] + size_t(d4);
          Check(matrix->put_ID(d1, d2, d3, d4, ids[at]), "setting the identifier of " + where);
          if (labelVar >= 0) {
            char* text = nullptr;
            Nc(nc_get_var1_string(r.nc, labelVar, start, &text), o.in + ": reading the label at " + where);
            const std::string labelText = text != nullptr ? text : "";
            nc_free_string(1, &text);
            Check(matrix->put_Label(d1, d2, d3, d4, Bstr(labelText)), "setting the label of " + where);
          }
        }

  vq::ComPtr<IStream> out = OpenForWriting(o.out);
  const HRESULT hr = matrix->Write(out.get());
  out.reset();
  if (FAILED(hr)) {
    std::remove(o.out.c_str());
    Check(hr, "cannot write " + o.out);
  }
  return 0;
}

}  // namespace vqdm
