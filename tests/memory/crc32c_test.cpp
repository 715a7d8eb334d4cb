// The swap blocks' checksum: published CRC-32C check values, and the
// processor's instruction agreeing with the table at every length, alignment
// and split.
#include "memory/Crc32c.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vq::test {
namespace {

TEST(Crc32c, KnownValuesAndAgreementWithTheTable) {
  const std::pair<std::string, uint32_t> known[] = {
      {"", 0u}, {"a", 0xC1D04330u}, {"123456789", 0xE3069283u}, {std::string(32, '\0'), 0x8A9136AAu}};
  for (const auto& [text, crc] : known) {
    EXPECT_EQ(vq::Crc32c(0, text.data(), text.size()), crc) << text;
    EXPECT_EQ(vq::Crc32cPortable(0, text.data(), text.size()), crc) << text;
  }
  std::vector<uint8_t> bytes(1000);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 37 + (i >> 3));
  for (size_t start : {0, 1, 3, 7}) {
    for (size_t length : {1, 7, 8, 9, 63, 64, 65, 500, 993}) {
      const uint8_t* p = bytes.data() + start;
      const uint32_t whole = vq::Crc32cPortable(0, p, length);
      EXPECT_EQ(vq::Crc32c(0, p, length), whole) << start << "+" << length;
      EXPECT_EQ(vq::Crc32c(vq::Crc32c(0, p, length / 3), p + length / 3, length - length / 3), whole);
    }
  }
}

}  // namespace
}  // namespace vq::test
