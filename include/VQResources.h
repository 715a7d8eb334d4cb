// VQResources.h - resources carried by a component library file: the
// registry script, the type library record, the string table and the version
// record, readable by tools without loading the library.
//
// A library keeps its resources in the ELF section ".vq_resources" as a run
// of NUL-terminated text records. Each record is a header line
// "<TYPE> <id>" (TYPE in capitals, id in decimal), a line feed, then the
// content (UTF-8, any length, no NUL). The first record is "VQRESOURCES 1"
// (format and version) with empty content. Zero bytes between records (the
// linker's or a sanitizer's padding) are skipped. Record types in use:
//   REGISTRY  - a registry script (VQRegistrar.h)
//   TYPELIB   - "key=value" lines naming a type library
//   STRING    - one string of the string table
//   VERSION   - "key=value" lines: FileVersion, ProductVersion,
//               FileDescription, ProductName, InternalName, ...
//
// From a shell:  readelf -p .vq_resources libX.so   (lists the records)
//                objcopy -O binary --only-section=.vq_resources libX.so out
// A library defines its section with VQ_RESOURCE_SECTION on one char array
// holding all records, so their order is the array's.
//
// All functions are thread-safe (no shared state) and throw nothing.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "VQPlatformTypes.h"

// Places a constant char array into the resource section and keeps it even
// when nothing refers to it.
#define VQ_RESOURCE_SECTION __attribute__((section(".vq_resources"), used, aligned(1)))

namespace vq {

struct LibraryResource {
  std::string type;
  unsigned id = 0;
  std::string content;
};

// Splits a resource section into its records (the "VQRESOURCES" record
// included). S_OK; E_INVALIDARG for a null pointer with a size, a section that
// does not start with "VQRESOURCES 1", a record without its terminating zero
// or with a malformed header line; E_OUTOFMEMORY. *resources is cleared first.
HRESULT ParseResourceSection(const char* data, size_t size, std::vector<LibraryResource>* resources);

// Reads the ".vq_resources" section of the ELF file at path and parses it.
// S_OK; HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) when the file cannot be
// opened; HRESULT_FROM_WIN32(ERROR_BAD_FORMAT) for a file that is no
// well-formed 64-bit little-endian ELF file; HRESULT_FROM_WIN32(
// ERROR_RESOURCE_DATA_NOT_FOUND) when it has no resource section; otherwise
// ParseResourceSection's results. Sizes and offsets are checked against the
// file, and a section above 1 MiB is refused as malformed.
HRESULT ReadLibraryResources(const char* path, std::vector<LibraryResource>* resources);

// The first resource of that type and id, or null.
const LibraryResource* FindLibraryResource(const std::vector<LibraryResource>& resources, const char* type,
                                           unsigned id);

// The value of "key=value" line `key` in a record's content; empty when the
// key is missing.
std::string ResourceField(const LibraryResource& resource, const char* key);

}  // namespace vq
