// Crc32c.h - the checksum of the swap file's blocks.
//
// CRC-32C (Castagnoli, reflected, initial and final value all ones), the
// checksum storage devices use: the processor's crc32 instruction where it
// has one (SSE4.2), else the slicing-by-eight tables that the data item's
// stream checksum (CRC-32, another polynomial) uses too
// (platform/VQCrcTables.h). Thread-safe; no allocation.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vq {

// The CRC-32C of `size` bytes, continued from `crc` (0 to start).
uint32_t Crc32c(uint32_t crc, const void* data, size_t size) noexcept;
// The table version itself, which Crc32c is tested against.
uint32_t Crc32cPortable(uint32_t crc, const void* data, size_t size) noexcept;

}  // namespace vq
