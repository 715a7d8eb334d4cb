// VQDataFormat.h - the stream form of a data item (docs/VQDATA_FORMAT.md).
//
// WriteForm writes an item, described by an ItemView, at the stream's
// position; ReadForm reads one form into an ItemContents that the caller then
// swaps into its item, so that a failure never touches the item. Both are
// stateless and take no lock: the caller keeps what the view points at
// unchanged while WriteForm runs. Input to ReadForm is untrusted: every count
// is checked against sane limits and against the bytes still to come before
// anything is allocated, and nothing beyond the form's own length is read.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "VQData.h"
#include "vqdata/VQDataItem.h"

namespace vqdata {

// What WriteForm needs of an item (pointers stay the caller's).
struct ItemView {
  LONG format = dataFormatFloat64;
  LONG xSize = 0;
  LONG zSize = 0;
  const void* values = nullptr;
  uint64_t valueBytes = 0;
  const std::wstring* name = nullptr;
  const std::wstring* description = nullptr;
  const AxisDefinition* axis = nullptr;
  const AttributeStore* attributes = nullptr;
  const std::vector<double>* tags[4] = {};
};

// Result codes of ReadForm beyond the stream's own.
// The form is malformed (bad magic, count, text, checksum, ...).
inline constexpr HRESULT kFormCorrupt = HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
// The stream ends before the form does.
inline constexpr HRESULT kFormTruncated = HRESULT_FROM_WIN32(ERROR_HANDLE_EOF);
// The form's major version is not one this reader knows.
inline constexpr HRESULT kFormUnsupported = HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED);

// The form's byte count; false when it would exceed the largest form.
bool FormSize(const ItemView& view, uint64_t* bytes) noexcept;
// Writes the form; STG_E_MEDIUMFULL when the stream takes fewer bytes than
// given, the stream's code when a write fails. *why explains a failure.
HRESULT WriteForm(IStream* stream, const ItemView& view, std::string* why) noexcept;
// Reads one form into *out (replacing its contents); *why explains a failure.
HRESULT ReadForm(IStream* stream, ItemContents* out, std::string* why) noexcept;

// CRC-32 (IEEE 802.3, reflected, as zlib) continued from crc over data.
uint32_t Crc32(uint32_t crc, const void* data, size_t size) noexcept;
// The same checksum by table lookup (slicing by eight), without the
// accelerated library: the reference Crc32 is tested against.
uint32_t Crc32Portable(uint32_t crc, const void* data, size_t size) noexcept;
// True when Crc32 is the accelerated library's (the build found it), false
// when Crc32 is Crc32Portable itself.
bool Crc32Accelerated() noexcept;

}  // namespace vqdata
