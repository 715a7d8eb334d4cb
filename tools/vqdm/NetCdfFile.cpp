// What the netCDF export and import share: the file handle, netCDF's
// failures as ToolError, and element attribute values between VARIANT and
// the three kinds the file holds.
#include <netcdf.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <utility>

#include "tools/vqdm/Common.h"
#include "tools/vqdm/NetCdf.h"

namespace vqdm::netcdf {

void Nc(int status, const std::string& what) {
  if (status != NC_NOERR) throw ToolError(what + ": " + nc_strerror(status));
}

File File::Create(const std::string& path) {
  int id = -1;
  const int status = nc_create(path.c_str(), NC_NETCDF4 | NC_CLOBBER, &id);
  if (status != NC_NOERR) throw ToolError("cannot create " + path + ": " + nc_strerror(status));
  return File(id, path, true);
}

File File::Open(const std::string& path) {
  int id = -1;
  const int status = nc_open(path.c_str(), NC_NOWRITE, &id);
  if (status == NC_ENOTNC || status == NC_EHDFERR || status == NC_ENOTBUILT)
    throw ToolError(path + " is not a netCDF file: " + nc_strerror(status));
  if (status != NC_NOERR) throw ToolError("cannot open " + path + ": " + nc_strerror(status));
  return File(id, path, false);
}

File::File(File&& other) noexcept
    : m_Id(std::exchange(other.m_Id, -1)), m_Path(std::move(other.m_Path)), m_Created(other.m_Created) {}

File::~File() {
  if (m_Id < 0) return;
  nc_close(m_Id);
  if (m_Created) std::remove(m_Path.c_str());
}

void File::Keep() {
  const int id = std::exchange(m_Id, -1);
  const int status = nc_close(id);
  if (status != NC_NOERR) {
    if (m_Created) std::remove(m_Path.c_str());
    throw ToolError("cannot write " + m_Path + ": " + nc_strerror(status));
  }
}

bool AttributeValue::operator==(const AttributeValue& other) const {
  if (kind != other.kind) return false;
  switch (kind) {
    case kInteger:
      return integer == other.integer;
    case kReal:  // bit for bit: a NaN equals itself, 0 and -0 differ
      return std::memcmp(&real, &other.real, sizeof real) == 0;
    case kText:
      return text == other.text;
  }
  return false;
}

bool FromVariant(const VARIANT& v, AttributeValue* out) {
  *out = AttributeValue();
  switch (v.vt) {
    case VT_EMPTY:
    case VT_NULL:
      return true;
    case VT_I1:
      out->integer = static_cast<signed char>(v.cVal);
      return true;
    case VT_UI1:
      out->integer = v.bVal;
      return true;
    case VT_I2:
      out->integer = v.iVal;
      return true;
    case VT_UI2:
      out->integer = v.uiVal;
      return true;
    case VT_I4:
      out->integer = v.lVal;
      return true;
    case VT_INT:
      out->integer = v.intVal;
      return true;
    case VT_UI4:
      out->integer = v.ulVal;
      return true;
    case VT_UINT:
      out->integer = v.uintVal;
      return true;
    case VT_I8:
      out->integer = v.llVal;
      return true;
    case VT_UI8:  // the same 64 bits; the VARTYPE in the table says how to read them
      out->integer = static_cast<int64_t>(v.ullVal);
      return true;
    case VT_BOOL:
      out->integer = v.boolVal;
      return true;
    case VT_ERROR:
      out->integer = v.scode;
      return true;
    case VT_R4:
      out->kind = AttributeValue::kReal;
      out->real = v.fltVal;
      return true;
    case VT_R8:
      out->kind = AttributeValue::kReal;
      out->real = v.dblVal;
      return true;
    case VT_DATE:
      out->kind = AttributeValue::kReal;
      out->real = v.date;
      return true;
    case VT_BSTR:
      out->kind = AttributeValue::kText;
      out->text = Utf8(v.bstrVal);
      return true;
    default:
      return false;
  }
}

bool ToVariant(const AttributeValue& value, VARTYPE vt, VARIANT* out) {
  VariantInit(out);
  const AttributeValue::Kind kind =
      vt == VT_BSTR ? AttributeValue::kText
                    : (vt == VT_R4 || vt == VT_R8 || vt == VT_DATE ? AttributeValue::kReal : AttributeValue::kInteger);
  if (kind != value.kind) return false;
  const int64_t i = value.integer;
  switch (vt) {
    case VT_EMPTY:
    case VT_NULL:
      break;
    case VT_I1:
      out->cVal = static_cast<CHAR>(i);
      break;
    case VT_UI1:
      out->bVal = static_cast<BYTE>(i);
      break;
    case VT_I2:
      out->iVal = static_cast<SHORT>(i);
      break;
    case VT_UI2:
      out->uiVal = static_cast<USHORT>(i);
      break;
    case VT_I4:
      out->lVal = static_cast<LONG>(i);
      break;
    case VT_INT:
      out->intVal = static_cast<INT>(i);
      break;
    case VT_UI4:
      out->ulVal = static_cast<ULONG>(i);
      break;
    case VT_UINT:
      out->uintVal = static_cast<UINT>(i);
      break;
    case VT_I8:
      out->llVal = i;
      break;
    case VT_UI8:
      out->ullVal = static_cast<ULONGLONG>(i);
      break;
    case VT_BOOL:
      out->boolVal = i != 0 ? VARIANT_TRUE : VARIANT_FALSE;
      break;
    case VT_ERROR:
      out->scode = static_cast<SCODE>(i);
      break;
    case VT_R4:  // a file may hold a double no float can (a float-cast overflow)
      if (std::isfinite(value.real) && std::fabs(value.real) > std::numeric_limits<FLOAT>::max()) return false;
      out->fltVal = static_cast<FLOAT>(value.real);
      break;
    case VT_R8:
      out->dblVal = value.real;
      break;
    case VT_DATE:
      out->date = value.real;
      break;
    case VT_BSTR:
      out->bstrVal = Bstr(value.text).Detach();
      break;
    default:
      return false;
  }
  out->vt = vt;
  return true;
}

}  // namespace vqdm::netcdf
