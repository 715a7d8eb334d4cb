// The stream form's checksum: the check value of CRC-32, and the accelerated
// version against the table version over lengths, alignments and pieces.
#include <cstdint>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "vqdata/VQDataFormat.h"

namespace {

TEST(Checksum, CheckValueAndEmptyInput) {
  const char digits[] = "123456789";
  EXPECT_EQ(vqdata::Crc32(0, digits, 9), 0xCBF43926u);
  EXPECT_EQ(vqdata::Crc32Portable(0, digits, 9), 0xCBF43926u);
  EXPECT_EQ(vqdata::Crc32(0, digits, 0), 0u);
  EXPECT_EQ(vqdata::Crc32(0x12345678u, nullptr, 0), 0x12345678u);
}

TEST(Checksum, AcceleratedEqualsTableForEveryLengthAlignmentAndSplit) {
  // Without the accelerated library Crc32 is the table version itself.
  if (!vqdata::Crc32Accelerated()) GTEST_SKIP() << "built without the accelerated checksum";
  std::mt19937 random(7);
  std::vector<uint8_t> bytes((1u << 20) + 64);
  for (auto& b : bytes) b = static_cast<uint8_t>(random());
  for (size_t offset = 0; offset < 16; ++offset) {
    for (size_t length = 0; length < 600; ++length) {
      ASSERT_EQ(vqdata::Crc32(0, bytes.data() + offset, length),
                vqdata::Crc32Portable(0, bytes.data() + offset, length))
          << "offset " << offset << " length " << length;
    }
  }
  const uint32_t whole = vqdata::Crc32Portable(0, bytes.data(), 1u << 20);
  EXPECT_EQ(vqdata::Crc32(0, bytes.data(), 1u << 20), whole);
  // Continued over pieces, as the writer does (head, values, tail).
  for (size_t cut : {size_t{1}, size_t{63}, size_t{4096}, size_t{777777}}) {
    const uint32_t first = vqdata::Crc32(0, bytes.data(), cut);
    EXPECT_EQ(vqdata::Crc32(first, bytes.data() + cut, (1u << 20) - cut), whole) << cut;
  }
}

}  // namespace
