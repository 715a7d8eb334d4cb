// vqdm export FILE --netcdf OUT.nc: the matrix as a netCDF-4 file.
//
// Two passes over the elements. The first checks that every element has the
// first one's shape, format and x axis (the file has one value variable and
// one x coordinate) and learns the element attributes: which exist, and
// which hold the same value everywhere. The second writes the values, one
// element (one chunk) at a time, so that memory holds one element beyond
// what the matrix itself keeps.
#include <netcdf.h>

#include <cctype>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "tools/vqdm/Common.h"
#include "tools/vqdm/NetCdf.h"
#include "tools/vqdm/StreamHeader.h"

namespace vqdm {
namespace {

using netcdf::AttributeValue;
using netcdf::Nc;

std::string TakeText(BSTR text) {
  std::string out = Utf8(text);
  SysFreeString(text);
  return out;
}

std::string Where(LONG d1, LONG d2, LONG d3, LONG d4) {
  return "element (" + std::to_string(d1) + ", " + std::to_string(d2) + ", " + std::to_string(d3) + ", " +
         std::to_string(d4) + ")";
}

// Calls f(group, second name, name, value) for every non-indexed attribute.
template <class F>
void ForEachAttribute(IVQData* item, F&& f) {
  vq::ComPtr<IVQAttributeGroups> groups;
  Check(item->GetAttributes(groups.put()), "reading attributes");
  LONG groupCount = 0;
  Check(groups->GetCount(&groupCount), "reading attributes");
  for (LONG g = 1; g <= groupCount; ++g) {
    vq::ComPtr<IVQAttributeGroup> group;
    Check(groups->GetItem(_variant_t(g), group.put()), "reading an attribute group");
    BSTR text = nullptr;
    Check(group->GetName(&text), "reading an attribute group");
    const std::string groupName = TakeText(text);
    Check(group->GetSecondName(&text), "reading an attribute group");
    const std::string secondName = TakeText(text);
    LONG count = 0;
    Check(group->GetCount(&count), "reading an attribute group");
    for (LONG a = 1; a <= count; ++a) {
      Check(group->GetAttributeName(a, &text), "reading an attribute");
      const std::string name = TakeText(text);
      _variant_t value;
      Check(group->GetValue(_variant_t(a), &value), "reading an attribute");
      f(groupName, secondName, name, static_cast<const VARIANT&>(value));
    }
  }
}

// A netCDF name from free text: letters, digits, '_', '.', '-' kept, the rest '_'.
std::string NetCdfName(const std::string& text) {
  std::string name;
  for (unsigned char c : text) name += std::isalnum(c) || c == '_' || c == '.' || c == '-' ? char(c) : '_';
  if (name.empty() || !std::isalpha(static_cast<unsigned char>(name[0]))) name = "attr" + name;
  return name;
}

// One element attribute as the survey found it.
struct ElementAttribute {
  std::string group, secondName, name;
  VARTYPE vt = VT_EMPTY;
  AttributeValue first;
  uint64_t count = 0;  // elements that hold it
  bool same = true;    // every holder has the first value
  std::string ncName;
  int varId = -1;  // the variable over d1..d4 when the value varies
};

nc_type NcTypeOf(AttributeValue::Kind kind) {
  return kind == AttributeValue::kInteger ? NC_INT64 : kind == AttributeValue::kReal ? NC_DOUBLE : NC_STRING;
}

nc_type NcTypeOfFormat(LONG format) {
  switch (format) {
    case dataFormatInt32:
      return NC_INT;
    case dataFormatFloat64:
    case dataFormatComplex128:
      return NC_DOUBLE;
    case dataFormatInt16:
      return NC_SHORT;
    case dataFormatInt64:
      return NC_INT64;
    default:
      return NC_FLOAT;
  }
}

// The x axis of the first element, which every element must share.
struct XAxis {
  vq::ComPtr<IVQData> holder;  // an item of the matrix's own, for IsEqual
  vq::ComPtr<IVQAxis> axis;
  LONG kind = axisKindLinear;
  std::vector<double> values;
  std::string unit;
};

struct Survey {
  LONG format = 0, xSize = 0, zSize = 0;
  XAxis x;
  std::vector<ElementAttribute> attributes;
  std::map<std::string, size_t> index;  // group '\0' second name '\0' name -> attributes
};

std::string AttributeKey(const std::string& group, const std::string& second, const std::string& name) {
  return group + '\0' + second + '\0' + name;
}

vq::ComPtr<IVQData> Element(IVQDataMatrix* matrix, LONG d1, LONG d2, LONG d3, LONG d4) {
  vq::ComPtr<IUnknown> unknown;
  Check(matrix->get_ConstDataPtr(d1, d2, d3, d4, 1, unknown.put()), "reading " + Where(d1, d2, d3, d4));
  vq::ComPtr<IVQData> item = unknown.query<IVQData>();
  if (!item) throw ToolError(Where(d1, d2, d3, d4) + " is not a data item");
  return item;
}

template <class F>
void ForEachElement(const Sizes& sizes, F&& f) {
  for (LONG d4 = 0; d4 < sizes.n[3]; ++d4)
    for (LONG d3 = 0; d3 < sizes.n[2]; ++d3)
      for (LONG d2 = 0; d2 < sizes.n[1]; ++d2)
        for (LONG d1 = 0; d1 < sizes.n[0]; ++d1) f(d1, d2, d3, d4);
}

void SurveyElement(IVQData* item, const std::string& where, Survey* s) {
  LONG format = 0, xSize = 0, zSize = 0;
  Check(item->GetFormat(&format), "reading " + where);
  Check(item->GetSize(0, &xSize), "reading " + where);
  Check(item->GetSize(1, &zSize), "reading " + where);
  vq::ComPtr<IVQAxis> axis;
  Check(item->GetAxis(axis.put()), "reading the x axis of " + where);
  if (!s->x.axis) {
    s->format = format, s->xSize = xSize, s->zSize = zSize;
    if (xSize < 1 || zSize < 1) throw ToolError(where + " holds no values");
    // A copy, so that no element is held (and kept from swapping) meanwhile.
    s->x.holder = NewItem();
    Check(s->x.holder->SetAxis(axis.get()), "copying the x axis");
    Check(s->x.holder->GetAxis(s->x.axis.put()), "copying the x axis");
    LONG size = 0;
    Check(axis->GetKind(&s->x.kind), "reading the x axis");
    Check(axis->GetSize(&size), "reading the x axis");
    if (size != xSize)
      throw ToolError("the x axis has " + std::to_string(size) + " points for " + std::to_string(xSize) +
                      " values per record; a netCDF coordinate needs one per value");
    s->x.values.resize(static_cast<size_t>(size));
    Check(axis->GetValues(size, s->x.values.data()), "reading the x axis");
    BSTR unit = nullptr;
    Check(axis->GetUnit(&unit), "reading the x axis");
    s->x.unit = TakeText(unit);
  } else {
    if (format != s->format || xSize != s->xSize || zSize != s->zSize)
      throw ToolError(where + " is " + std::to_string(xSize) + " x " + std::to_string(zSize) + " of " +
                      FormatName(format) + ", element (0, 0, 0, 0) " + std::to_string(s->xSize) + " x " +
                      std::to_string(s->zSize) + " of " + FormatName(s->format) +
                      "; a netCDF value variable needs one shape");
    VARIANT_BOOL equal = VARIANT_FALSE;
    Check(axis->IsEqual(s->x.axis.get(), &equal), "comparing x axes");
    if (equal != VARIANT_TRUE)
      throw ToolError(where + " has another x axis than element (0, 0, 0, 0); a netCDF file has one x coordinate");
  }
  ForEachAttribute(
      item, [&](const std::string& group, const std::string& second, const std::string& name, const VARIANT& value) {
        AttributeValue v;
        if (!netcdf::FromVariant(value, &v))
          throw ToolError("attribute " + group + "/" + name + " of " + where + " has a type no file holds");
        auto [at, added] = s->index.emplace(AttributeKey(group, second, name), s->attributes.size());
        if (added) s->attributes.push_back({group, second, name, value.vt, v, 0, true, {}, -1});
        ElementAttribute& a = s->attributes[at->second];
        if (v.kind != a.first.kind)
          throw ToolError("attribute " + group + "/" + name + " has values of different types; " + where +
                          " differs from the first");
        ++a.count;
        a.same = a.same && value.vt == a.vt && v == a.first;
      });
}

void PutText(int nc, int var, const char* name, const std::string& text) {
  Nc(nc_put_att_text(nc, var, name, text.size(), text.data()), std::string("writing attribute ") + name);
}

void PutDouble(int nc, int var, const char* name, double value) {
  Nc(nc_put_att_double(nc, var, name, NC_DOUBLE, 1, &value), std::string("writing attribute ") + name);
}

void PutStrings(int nc, int var, const char* name, const std::vector<std::string>& texts) {
  std::vector<const char*> pointers;
  for (const std::string& t : texts) pointers.push_back(t.c_str());
  Nc(nc_put_att_string(nc, var, name, pointers.size(), pointers.data()), std::string("writing attribute ") + name);
}

void PutAttributeValue(int nc, int var, const char* name, const AttributeValue& v) {
  switch (v.kind) {
    case AttributeValue::kInteger: {
      const long long i = v.integer;
      Nc(nc_put_att_longlong(nc, var, name, NC_INT64, 1, &i), std::string("writing attribute ") + name);
      break;
    }
    case AttributeValue::kReal:
      PutDouble(nc, var, name, v.real);
      break;
    case AttributeValue::kText:
      PutText(nc, var, name, v.text);
      break;
  }
}

int DefineCoordinate(int nc, const char* name, int dim, const std::string& unit) {
  int var = -1;
  Nc(nc_def_var(nc, name, NC_DOUBLE, 1, &dim, &var), std::string("defining ") + name);
  if (!unit.empty()) PutText(nc, var, "units", unit);
  return var;
}

}  // namespace

int RunNetCdfExport(const NetCdfExportOptions& o) {
  Apartment apartment;
  vq::ComPtr<IVQDataMatrix> matrix = ReadMatrixFile(o.file);
  StreamHeader header;  // the storage kind and priority, which the interface does not tell
  Check(ReadStreamHeader(OpenForReading(o.file).get(), &header), o.file + " is not a matrix stream");
  const Sizes sizes = MatrixSizes(matrix.get());

  Survey survey;
  ForEachElement(sizes, [&](LONG d1, LONG d2, LONG d3, LONG d4) {
    SurveyElement(Element(matrix.get(), d1, d2, d3, d4).get(), Where(d1, d2, d3, d4), &survey);
  });
  const bool complex = survey.format == dataFormatComplex128 || survey.format == dataFormatComplex64;

  netcdf::File file = netcdf::File::Create(o.out);
  const int nc = file.id();
  int dims[6];
  for (int d = 0; d < 4; ++d)
    Nc(nc_def_dim(nc, netcdf::kDimensionNames[d], static_cast<size_t>(sizes.n[d]), &dims[d]), "defining d1..d4");
  Nc(nc_def_dim(nc, netcdf::kRecords, static_cast<size_t>(survey.zSize), &dims[4]), "defining records");
  Nc(nc_def_dim(nc, netcdf::kX, static_cast<size_t>(survey.xSize), &dims[5]), "defining x");

  // Global attributes: what the matrix itself holds beyond its elements.
  BSTR label = nullptr;
  Check(matrix->get_MatrixLabel(&label), "reading the matrix label");
  PutText(nc, NC_GLOBAL, "label", TakeText(label));
  PutText(nc, NC_GLOBAL, "matrix_type", MatrixTypeName(header.type));
  PutText(nc, NC_GLOBAL, "element_priority", PriorityName(header.priority));
  PutText(nc, NC_GLOBAL, "value_format", FormatName(survey.format));

  DimensionAxis axes[4];
  int axisVars[4];
  for (LONG d = 0; d < 4; ++d) {
    axes[d] = MatrixAxis(matrix.get(), d);
    axisVars[d] = DefineCoordinate(nc, netcdf::kDimensionNames[d], dims[d], axes[d].unit);
    PutDouble(nc, axisVars[d], "first", axes[d].first);
    PutDouble(nc, axisVars[d], "step", axes[d].step);
  }
  const int xVar = DefineCoordinate(nc, netcdf::kX, dims[5], survey.x.unit);
  PutText(nc, xVar, "axis_kind", AxisKindName(survey.x.kind));
  if (survey.x.kind == axisKindLinear || survey.x.kind == axisKindLogarithmic) {
    double first = 0, delta = 0;
    Check(survey.x.axis->GetFirstValue(&first), "reading the x axis");
    Check(survey.x.axis->GetDelta(&delta), "reading the x axis");
    PutDouble(nc, xVar, "first", first);
    PutDouble(nc, xVar, "step", delta);
  } else if (survey.x.kind == axisKindBands) {
    LONG band = 0, fraction = 0;
    Check(survey.x.axis->GetFirstBand(&band), "reading the x axis");
    Check(survey.x.axis->GetFraction(&fraction), "reading the x axis");
    const int parameters[2] = {band, fraction};
    Nc(nc_put_att_int(nc, xVar, "first_band", NC_INT, 1, &parameters[0]), "writing the x axis");
    Nc(nc_put_att_int(nc, xVar, "fraction", NC_INT, 1, &parameters[1]), "writing the x axis");
  }

  int idVar = -1, labelVar = -1;
  Nc(nc_def_var(nc, netcdf::kId, NC_INT, 4, dims, &idVar), "defining id");
  Nc(nc_def_var(nc, netcdf::kLabel, NC_STRING, 4, dims, &labelVar), "defining label");

  // One chunk per element: a reader that wants one spectrum reads one chunk.
  const size_t chunk[6] = {1, 1, 1, 1, static_cast<size_t>(survey.zSize), static_cast<size_t>(survey.xSize)};
  std::vector<int> valueVars;
  for (const char* name : complex ? std::vector<const char*>{netcdf::kValueRe, netcdf::kValueIm}
                                  : std::vector<const char*>{netcdf::kValue}) {
    int var = -1;
    Nc(nc_def_var(nc, name, NcTypeOfFormat(survey.format), 6, dims, &var), std::string("defining ") + name);
    Nc(nc_def_var_chunking(nc, var, NC_CHUNKED, chunk), std::string("chunking ") + name);
    Nc(nc_def_var_fill(nc, var, NC_NOFILL, nullptr), std::string("defining ") + name);
    valueVars.push_back(var);
  }

  // Element attributes: the same value everywhere as an attribute of the
  // value variable(s), else a variable over d1..d4 (the fill value where an
  // element lacks it).
  const uint64_t elements = sizes.Elements();
  std::map<std::string, int> used;
  std::vector<std::string> names, groups, seconds, keys, types;
  for (ElementAttribute& a : survey.attributes) {
    std::string name = NetCdfName(a.group + "." + a.name);
    // Appended piece by piece: g++ 12 at -O3 warns falsely (-Wrestrict)
    // about "literal" + std::string temporaries.
    if (int n = ++used[name]; n > 1) name.append("_").append(std::to_string(n));
    a.ncName = name;
    if (a.same && a.count == elements) {
      for (int var : valueVars) PutAttributeValue(nc, var, name.c_str(), a.first);
    } else {
      Nc(nc_def_var(nc, name.c_str(), NcTypeOf(a.first.kind), 4, dims, &a.varId), "defining " + name);
      // Named, so that xarray masks the elements that lack the attribute.
      const long long integerFill = NC_FILL_INT64;
      const double realFill = NC_FILL_DOUBLE;
      if (a.first.kind != AttributeValue::kText)
        Nc(nc_def_var_fill(nc, a.varId, NC_FILL,
                           a.first.kind == AttributeValue::kInteger ? static_cast<const void*>(&integerFill)
                                                                    : static_cast<const void*>(&realFill)),
           "defining " + name);
    }
    names.push_back(name);
    groups.push_back(a.group);
    seconds.push_back(a.secondName);
    keys.push_back(a.name);
    types.push_back(std::to_string(a.vt));
  }
  if (!names.empty()) {
    PutStrings(nc, valueVars[0], netcdf::kAttributeNames, names);
    PutStrings(nc, valueVars[0], netcdf::kAttributeGroups, groups);
    PutStrings(nc, valueVars[0], netcdf::kAttributeSecondNames, seconds);
    PutStrings(nc, valueVars[0], netcdf::kAttributeKeys, keys);
    PutStrings(nc, valueVars[0], netcdf::kAttributeTypes, types);
  }
  Nc(nc_enddef(nc), "writing the definitions");

  for (LONG d = 0; d < 4; ++d) {
    std::vector<double> values(static_cast<size_t>(sizes.n[d]));
    for (LONG i = 0; i < sizes.n[d]; ++i) values[static_cast<size_t>(i)] = axes[d].At(i);
    Nc(nc_put_var_double(nc, axisVars[d], values.data()), "writing a dimension axis");
  }
  Nc(nc_put_var_double(nc, xVar, survey.x.values.data()), "writing the x axis");

  const size_t valueCount = static_cast<size_t>(survey.xSize) * static_cast<size_t>(survey.zSize);
  const size_t partBytes = static_cast<size_t>(VQDataBytesPerValue(survey.format)) / (complex ? 2 : 1);
  std::vector<unsigned char> re, im;  // one element's parts of complex values
  if (complex) re.resize(valueCount * partBytes), im.resize(valueCount * partBytes);
  std::vector<int> ids(static_cast<size_t>(elements));
  std::vector<std::string> labels(static_cast<size_t>(elements));
  ForEachElement(sizes, [&](LONG d1, LONG d2, LONG d3, LONG d4) {
    const std::string where = Where(d1, d2, d3, d4);
    // netCDF's last dimension varies fastest, the matrix's first.
    const size_t at =
        ((size_t(d1) * size_t(sizes.n[1]) + size_t(d2)) * size_t(sizes.n[2]) + size_t(d3)) * size_t(sizes.n[3]) +
        size_t(d4);
    const size_t start[6] = {size_t(d1), size_t(d2), size_t(d3), size_t(d4), 0, 0};
    const size_t count[6] = {1, 1, 1, 1, size_t(survey.zSize), size_t(survey.xSize)};
    vq::ComPtr<IVQData> item = Element(matrix.get(), d1, d2, d3, d4);
    void* raw = nullptr;
    ULONGLONG bytes = 0;
    Check(item->GetRawData(&raw, &bytes), "reading the values of " + where);
    if (raw == nullptr || bytes != valueCount * partBytes * (complex ? 2 : 1))
      throw ToolError(where + " holds no values");
    if (complex) {
      const auto* in = static_cast<const unsigned char*>(raw);
      for (size_t i = 0; i < valueCount; ++i) {
        std::memcpy(&re[i * partBytes], in + 2 * i * partBytes, partBytes);
        std::memcpy(&im[i * partBytes], in + (2 * i + 1) * partBytes, partBytes);
      }
      Nc(nc_put_vara(nc, valueVars[0], start, count, re.data()), "writing the values of " + where);
      Nc(nc_put_vara(nc, valueVars[1], start, count, im.data()), "writing the values of " + where);
    } else {
      Nc(nc_put_vara(nc, valueVars[0], start, count, raw), "writing the values of " + where);
    }
    ForEachAttribute(item.get(), [&](const std::string& group, const std::string& second, const std::string& name,
                                     const VARIANT& value) {
      const ElementAttribute& a = survey.attributes[survey.index.at(AttributeKey(group, second, name))];
      if (a.varId < 0) return;
      AttributeValue v;
      netcdf::FromVariant(value, &v);
      const char* text = v.text.c_str();
      const long long integer = v.integer;
      const void* data = v.kind == AttributeValue::kInteger ? static_cast<const void*>(&integer)
                         : v.kind == AttributeValue::kReal  ? static_cast<const void*>(&v.real)
                                                            : static_cast<const void*>(&text);
      Nc(nc_put_var1(nc, a.varId, start, data), "writing attribute " + a.ncName + " of " + where);
    });
    LONG id = -1;
    Check(matrix->get_ID(d1, d2, d3, d4, &id), "reading the identifier of " + where);
    ids[at] = id;
    BSTR text = nullptr;
    Check(matrix->get_Label(d1, d2, d3, d4, &text), "reading the label of " + where);
    labels[at] = TakeText(text);
  });
  Nc(nc_put_var_int(nc, idVar, ids.data()), "writing the identifiers");
  std::vector<const char*> labelPointers;
  for (const std::string& l : labels) labelPointers.push_back(l.c_str());
  Nc(nc_put_var_string(nc, labelVar, labelPointers.data()), "writing the labels");
  file.Keep();
  return 0;
}

}  // namespace vqdm
