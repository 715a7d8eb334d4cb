#include "memory/Crc32c.h"

#include <cstring>

#include "platform/VQCrcTables.h"

#if defined(__x86_64__)
#include <nmmintrin.h>
#endif

namespace {

const vq::CrcTables& Table() {
  static const vq::CrcTables table = vq::MakeCrcTables(0x82F63B78u);
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
  return CrcSlicing8(Table(), crc, data, size);
}
