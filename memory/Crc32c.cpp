#include "memory/Crc32c.h"

#include <cstring>

#if defined(__x86_64__)
#include <nmmintrin.h>
#endif

namespace {

struct Crc32cTable {
  uint32_t v[8][256];
};

const Crc32cTable& Table() {
  static const Crc32cTable table = [] {
    Crc32cTable t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0x82F63B78u ^ (c >> 1) : c >> 1;
      t.v[0][i] = c;
    }
    for (uint32_t i = 0; i < 256; ++i)
      for (int s = 1; s < 8; ++s) t.v[s][i] = (t.v[s - 1][i] >> 8) ^ t.v[0][t.v[s - 1][i] & 0xFF];
    return t;
  }();
  return table;
}

#if defined(__x86_64__)
__attribute__((target("sse4.2"))) uint32_t Crc32cHardware(uint32_t crc, const uint8_t* p, size_t size) {
  uint64_t c = ~crc;
  while (size >= 8) {
    uint64_t word;
    std::memcpy(&word, p, 8);
    c = _mm_crc32_u64(c, word);
    p += 8;
    size -= 8;
  }
  uint32_t c32 = static_cast<uint32_t>(c);
  while (size-- > 0) c32 = _mm_crc32_u8(c32, *p++);
  return ~c32;
}

bool HasCrcInstruction() {
  static const bool has = __builtin_cpu_supports("sse4.2");
  return has;
}
#endif

}  // namespace

uint32_t vq::Crc32c(uint32_t crc, const void* data, size_t size) noexcept {
  if (data == nullptr || size == 0) return crc;
#if defined(__x86_64__)
  if (HasCrcInstruction()) return Crc32cHardware(crc, static_cast<const uint8_t*>(data), size);
#endif
  return Crc32cPortable(crc, data, size);
}

uint32_t vq::Crc32cPortable(uint32_t crc, const void* data, size_t size) noexcept {
  if (data == nullptr || size == 0) return crc;
  const Crc32cTable& t = Table();
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
