// VQCrcTables.h - the table-driven form of reflected 32-bit CRCs.
//
// Slicing by eight: eight 256-entry tables derived from the polynomial let a
// loop take eight bytes per step. The data item's stream checksum (CRC-32,
// polynomial 0xEDB88320) and the swap file's block checksums (CRC-32C,
// 0x82F63B78) both use it where no accelerated form is at hand.
//
// Threads: the tables are immutable once made; the functions are pure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vq {

struct CrcTables {
  uint32_t v[8][256];
};

// The slicing-by-eight tables of the reflected CRC with polynomial `poly`.
inline CrcTables MakeCrcTables(uint32_t poly) noexcept {
  CrcTables t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? poly ^ (c >> 1) : c >> 1;
    t.v[0][i] = c;
  }
  for (uint32_t i = 0; i < 256; ++i)
    for (int s = 1; s < 8; ++s) t.v[s][i] = (t.v[s - 1][i] >> 8) ^ t.v[0][t.v[s - 1][i] & 0xFF];
  return t;
}

// Continues `crc` (0 to start) over `size` bytes at `data`.
inline uint32_t CrcSlicing8(const CrcTables& t, uint32_t crc, const void* data, size_t size) noexcept {
  auto p = static_cast<const uint8_t*>(data);
  uint32_t c = ~crc;
  while (size >= 8) {
    uint32_t lo, hi;
    std::memcpy(&lo, p, 4);
    std::memcpy(&hi, p + 4, 4);
    lo ^= c;
    c = t.v[7][lo & 0xFF] ^ t.v[6][(lo >> 8) & 0xFF] ^ t.v[5][(lo >> 16) & 0xFF] ^ t.v[4][lo >> 24] ^
        t.v[3][hi & 0xFF] ^ t.v[2][(hi >> 8) & 0xFF] ^ t.v[1][(hi >> 16) & 0xFF] ^ t.v[0][hi >> 24];
    p += 8;
    size -= 8;
  }
  while (size-- > 0) c = t.v[0][(c ^ *p++) & 0xFF] ^ (c >> 8);
  return ~c;
}

}  // namespace vq
