// NetCdf.h - vqdm export --netcdf and vqdm import: a matrix as a netCDF-4
// file (HDF5 underneath) that xarray, dask or any netCDF/HDF5 reader opens,
// and such a file back into a matrix stream. The layout (docs/TOOL.md,
// "netCDF files") is shared by the writer and the reader through the names
// below, so that what one writes the other finds.
#pragma once

#include <cstdint>
#include <string>

#include "VQDataMatrixLib.h"

namespace vqdm {

struct NetCdfExportOptions {
  std::string file;  // matrix stream
  std::string out;   // netCDF file, created or truncated
};
int RunNetCdfExport(const NetCdfExportOptions& options);

struct ImportOptions {
  std::string in;   // netCDF file
  std::string out;  // matrix stream, created or truncated
};
int RunImport(const ImportOptions& options);

namespace netcdf {

inline constexpr const char* kDimensionNames[4] = {"d1", "d2", "d3", "d4"};
inline constexpr const char kRecords[] = "records";
inline constexpr const char kX[] = "x";
// Real formats: one variable "value"; complex ones: "value_re" and
// "value_im", since xarray's default engine has no complex type.
inline constexpr const char kValue[] = "value";
inline constexpr const char kValueRe[] = "value_re";
inline constexpr const char kValueIm[] = "value_im";
inline constexpr const char kId[] = "id";
inline constexpr const char kLabel[] = "label";

// The table of element attributes, parallel string arrays on the value
// variable: the netCDF name of each (an attribute of the value variable when
// every element holds the same value, else a variable over d1..d4), its group,
// second name, own name and VARTYPE.
inline constexpr const char kAttributeNames[] = "element_attribute_names";
inline constexpr const char kAttributeGroups[] = "element_attribute_groups";
inline constexpr const char kAttributeSecondNames[] = "element_attribute_second_names";
inline constexpr const char kAttributeKeys[] = "element_attribute_keys";
inline constexpr const char kAttributeTypes[] = "element_attribute_types";

// Throws ToolError("what: <netCDF's message>") unless status is NC_NOERR.
void Nc(int status, const std::string& what);

// A netCDF file open for the lifetime of the object. A file this process
// created is removed on destruction unless Keep() was called, so a failed
// export leaves nothing behind.
class File {
 public:
  static File Create(const std::string& path);
  static File Open(const std::string& path);  // read-only; ToolError when it is no netCDF file
  File(File&& other) noexcept;
  File& operator=(File&&) = delete;
  ~File();
  int id() const { return m_Id; }
  // Closes the file, reporting a failed close (the last data reach the disk then).
  void Keep();

 private:
  File(int id, std::string path, bool created) : m_Id(id), m_Path(std::move(path)), m_Created(created) {}
  int m_Id = -1;
  std::string m_Path;
  bool m_Created = false;
};

// An element attribute's value as the file holds it: integer types, booleans
// and error codes as int64, floating point types and dates as double, text
// as text. The VARTYPE travels in the attribute table.
struct AttributeValue {
  enum Kind { kInteger, kReal, kText } kind = kInteger;
  int64_t integer = 0;
  double real = 0.0;
  std::string text;  // UTF-8
  bool operator==(const AttributeValue& other) const;
};

// False for a VARIANT type that no attribute holds.
bool FromVariant(const VARIANT& value, AttributeValue* out);
// A VARIANT of type vt (VariantClear it); false when vt does not fit the kind.
bool ToVariant(const AttributeValue& value, VARTYPE vt, VARIANT* out);

}  // namespace netcdf
}  // namespace vqdm
