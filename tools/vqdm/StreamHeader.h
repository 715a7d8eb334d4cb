// StreamHeader.h - the header of a matrix stream, read without building the
// matrix: version, dimension count, label, storage kind, allocation and
// swap priority, then the four dimension records.
#pragma once

#include <cstdint>
#include <string>

#include "VQDataMatrixLib.h"

namespace vqdm {

// The longest counted text a writer writes (9999 characters and the zero
// byte); a reader refuses longer ones before it reads their bytes.
constexpr int32_t kMaxStreamText = 10000;

struct StreamDimension {
  int32_t size = 0;
  double first = 0.0;
  double step = 0.0;
  std::string unit;  // UTF-8
};

struct StreamHeader {
  int32_t version = 0;
  int32_t dimensions = 0;
  bool hasLabel = false;  // version 2 and later
  std::string label;      // UTF-8
  bool hasAllocation = false;  // version 3 and later: type, format, XSize, ZSize
  int32_t type = 0;
  int32_t format = 0;
  int32_t xSize = 0;
  int32_t zSize = 0;
  bool hasPriority = false;  // version 4 and later
  int32_t priority = 0;
  StreamDimension dimension[4];
  uint64_t headerBytes = 0;  // bytes up to the first element record
};

// Reads the header from the stream's current position. S_OK; the stream's
// failure, HRESULT_FROM_WIN32(ERROR_HANDLE_EOF) when it ends inside the
// header, HRESULT_FROM_WIN32(ERROR_INVALID_DATA) for a dimension count other
// than 4 or a text longer than the writer ever writes (10000 bytes).
HRESULT ReadStreamHeader(IStream* stream, StreamHeader* header);

// The text of a counted text's bytes (Windows-1252, up to the first zero
// byte) as UTF-8.
std::string Utf8FromWindows1252(const char* bytes, size_t count);

// "single object" / "multiple objects", "FIFO" / "LIFO", "float64" ...,
// or the number when it is none of them.
std::string MatrixTypeName(int32_t type);
std::string PriorityName(int32_t priority);
std::string FormatName(int32_t format);

}  // namespace vqdm
