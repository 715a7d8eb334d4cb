// The swap file: block arithmetic, direct and bounce transfers, partial
// reads, refusals, injected I/O failures and 64-bit offsets.
#include "memory/FileCache.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <future>
#include <map>
#include <numeric>
#include <vector>

#include "VQDataMatrixLib.h"
#include "support/TestEnvironment.h"
#include "support/TraceCapture.h"

namespace {

// Bytes with a pattern that shows any misplaced copy.
std::vector<uint8_t> Pattern(size_t size, uint8_t seed) {
  std::vector<uint8_t> v(size);
  for (size_t i = 0; i < size; ++i) v[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
  return v;
}

// A page-aligned buffer, so that the direct path can be taken.
struct AlignedBuffer {
  explicit AlignedBuffer(size_t n) : size(n) {
    data = static_cast<uint8_t*>(mmap(nullptr, n, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  }
  ~AlignedBuffer() { munmap(data, size); }
  uint8_t* data;
  size_t size;
};

class FileCacheTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(cache.Initialize(true)); }
  vq::test::FaultyEnvironment env;
  CFileCache cache{env};
};

// Blocks start at whole transfer units: 512 (as a direct file may have), and
// 1 on a buffered file.
TEST(FileCache, BlocksStartAtWholeTransferUnits) {
  struct Case {
    bool direct;
    uint32_t unit, second;
    uint64_t secondOffset, end;
  };
  for (const Case& c : {Case{true, 512, 512, 1024, 1536}, Case{false, 1, 3, 1000, 1003}}) {
    CFileCache cache;
    ASSERT_TRUE(cache.Initialize(c.direct));
    if (c.direct) cache.SetSectorSizeForTest(c.unit);
    EXPECT_EQ(cache.SectorSize(), c.unit);
    const auto a = Pattern(1000, 1), b = Pattern(c.second, 2);
    ASSERT_EQ(cache.WriteBlock(a.data(), 1000), 1u);
    ASSERT_EQ(cache.WriteBlock(b.data(), c.second), 2u);
    EXPECT_EQ(cache.BlockOffset(2), c.secondOffset);
    EXPECT_EQ(cache.EndOffset(), c.end);
    std::vector<uint8_t> back(1000), back2(c.second);
    ASSERT_EQ(cache.ReadBlock(1, back.data(), 0, 1000), 1000u);
    EXPECT_EQ(back, a);
    ASSERT_EQ(cache.ReadBlock(2, back2.data(), 0, c.second), c.second);
    EXPECT_EQ(back2, b);
    ASSERT_EQ(cache.ReadBlock(1, back.data(), 990, 10), 10u);
    EXPECT_EQ(std::memcmp(back.data(), a.data() + 990, 10), 0);
  }
}

TEST_F(FileCacheTest, RealSectorSizeRoundTripsEveryLength) {
  const uint32_t sector = cache.SectorSize();
  ASSERT_GE(sector, 1u);
  if (cache.IsDirect()) {
    EXPECT_EQ(sector & (sector - 1), 0u);
  }
  std::vector<std::vector<uint8_t>> blocks;
  for (uint32_t size : {1u, sector - 1, sector, sector + 1, 3 * sector + 17, 65536u}) {
    blocks.push_back(Pattern(size, static_cast<uint8_t>(size)));
    uint32_t id = cache.WriteBlock(blocks.back().data(), size);
    ASSERT_EQ(id, blocks.size());
    EXPECT_EQ(cache.BlockOffset(id) % sector, 0u);
  }
  for (uint32_t id = 1; id <= blocks.size(); ++id) {
    const auto& expect = blocks[id - 1];
    std::vector<uint8_t> back(expect.size());
    ASSERT_EQ(cache.ReadBlock(id, back.data(), 0, static_cast<uint32_t>(back.size())), back.size());
    EXPECT_EQ(back, expect) << "block " << id;
  }
}

// A part read reads the checksum chunk its window lies in, so that it can be
// checked, and nothing else.
TEST_F(FileCacheTest, PartialReadReadsTheChecksumChunkOfItsWindow) {
  constexpr uint32_t kChunk = CFileCache::kChecksumChunk;
  cache.SetSectorSizeForTest(512);
  auto block = Pattern(3 * kChunk, 9);
  ASSERT_EQ(cache.WriteBlock(block.data(), 3 * kChunk), 1u);
  env.ClearLog();
  uint8_t out[100];
  ASSERT_EQ(cache.ReadBlock(1, out, kChunk + 924, 100), 100u);
  EXPECT_EQ(std::memcmp(out, block.data() + kChunk + 924, 100), 0);
  ASSERT_EQ(env.Log().size(), 1u);
  EXPECT_EQ(env.Log()[0].offset, kChunk);  // the second chunk of the block
  EXPECT_EQ(env.Log()[0].size, kChunk);
}

TEST_F(FileCacheTest, DirectPathOnlyForAlignedAddressesAndLengths) {
  if (!cache.IsDirect()) GTEST_SKIP() << "temporary folder does not allow O_DIRECT";
  const uint32_t sector = cache.SectorSize();
  AlignedBuffer aligned(4 * sector);
  std::memset(aligned.data, 0x5A, aligned.size);
  env.ClearLog();
  ASSERT_EQ(cache.WriteBlock(aligned.data, 4 * sector), 1u);
  ASSERT_EQ(env.Log().size(), 1u);
  EXPECT_EQ(env.Log()[0].address, aligned.data);  // no copy

  // The same length from an unaligned address goes through a bounce buffer.
  env.ClearLog();
  ASSERT_EQ(cache.WriteBlock(aligned.data + 1, 2 * sector), 2u);
  ASSERT_EQ(env.Log().size(), 1u);
  EXPECT_NE(env.Log()[0].address, aligned.data + 1);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(env.Log()[0].address) % sector, 0u);

  // Whole-block reads into aligned memory are direct, others bounce.
  AlignedBuffer in(4 * sector);
  env.ClearLog();
  ASSERT_EQ(cache.ReadBlock(1, in.data, 0, 4 * sector), 4 * sector);
  EXPECT_EQ(env.Log()[0].address, in.data);
  EXPECT_EQ(std::memcmp(in.data, aligned.data, 4 * sector), 0);
  std::vector<uint8_t> odd(2 * sector);
  ASSERT_EQ(cache.ReadBlock(2, odd.data() , 0, 2 * sector), 2 * sector);
  EXPECT_EQ(std::memcmp(odd.data(), aligned.data + 1, 2 * sector), 0);
}

TEST_F(FileCacheTest, RefusesBadIdsSizesAndRanges) {
  vq::test::TraceCapture trace;
  cache.SetSectorSizeForTest(512);
  auto block = Pattern(1024, 3);
  ASSERT_EQ(cache.WriteBlock(block.data(), 1024), 1u);
  uint8_t out[16];
  EXPECT_EQ(cache.ReadBlock(0, out, 0, 16), 0u);
  EXPECT_EQ(cache.ReadBlock(2, out, 0, 16), 0u);
  EXPECT_FALSE(cache.RewriteBlock(0, block.data(), 1024));
  EXPECT_FALSE(cache.RewriteBlock(7, block.data(), 1024));
  EXPECT_TRUE(trace.Contains("blockId is invalid"));
  EXPECT_FALSE(cache.RewriteBlock(1, block.data(), 1023));
  EXPECT_TRUE(trace.Contains("blockId+bufferSize is invalid"));
  EXPECT_EQ(cache.ReadBlock(1, out, 1009, 16), 0u);  // one past the end
  EXPECT_TRUE(trace.Contains("offset+bufferSize is invalid"));
  EXPECT_EQ(cache.ReadBlock(1, out, 1008, 16), 16u);  // the last 16 bytes are fine
  EXPECT_EQ(std::memcmp(out, block.data() + 1008, 16), 0);
  EXPECT_EQ(cache.ReadBlock(1, out, UINT32_MAX, 2), 0u);  // no wrap-around
}

TEST_F(FileCacheTest, RewriteReplacesTheValuesInPlace) {
  auto first = Pattern(5000, 1);
  auto second = Pattern(5000, 77);
  auto other = Pattern(300, 5);
  ASSERT_EQ(cache.WriteBlock(first.data(), 5000), 1u);
  ASSERT_EQ(cache.WriteBlock(other.data(), 300), 2u);
  uint64_t end = cache.EndOffset();
  ASSERT_TRUE(cache.RewriteBlock(1, second.data(), 5000));
  EXPECT_EQ(cache.EndOffset(), end);
  std::vector<uint8_t> back(5000);
  ASSERT_EQ(cache.ReadBlock(1, back.data(), 0, 5000), 5000u);
  EXPECT_EQ(back, second);
  std::vector<uint8_t> back2(300);
  ASSERT_EQ(cache.ReadBlock(2, back2.data(), 0, 300), 300u);
  EXPECT_EQ(back2, other);  // the neighbour is untouched
}

// While a large block is written, the cache's checksum thread sums its
// chunks: writes held until the thread has summed every chunk of the block
// (a bound of seconds only guards against a hang) let it do so, for new
// blocks and rewrites, aligned and bounced, and the blocks read back
// verified. A cache that summed before writing would leave the count short.
TEST(FileCache, LargeBlocksAreSummedWhileTheyAreWritten) {
  struct HeldWrites : vq::test::MemoryEnvironment {
    uint64_t waitFor = 0;
    ssize_t WriteAt(int fd, const void* data, size_t size, uint64_t offset, int* error) override {
      for (int i = 0; i < 10000 && CFileCache::ChecksumChunksSummedAside() < waitFor; ++i) usleep(1000);
      return MemoryEnvironment::WriteAt(fd, data, size, offset, error);
    }
  } env;
  CFileCache cache(env);
  ASSERT_TRUE(cache.Initialize(true));
  constexpr uint32_t kChunk = CFileCache::kChecksumChunk;
  AlignedBuffer aligned(2 << 20);
  struct Case {
    bool alignedValues;
    uint32_t size;
  };
  for (const Case& c : {Case{true, CFileCache::kOverlapMin}, Case{true, (1u << 20) + 100}, Case{false, 1u << 20}}) {
    SCOPED_TRACE(c.size);
    const auto values = Pattern(c.size, static_cast<uint8_t>(c.size));
    const uint8_t* from = values.data();
    if (c.alignedValues) from = static_cast<const uint8_t*>(std::memcpy(aligned.data, values.data(), c.size));
    const uint64_t chunks = (c.size + kChunk - 1) / kChunk;
    env.waitFor = CFileCache::ChecksumChunksSummedAside() + chunks;
    const uint32_t id = cache.WriteBlock(from, c.size);
    ASSERT_NE(id, 0u);
    EXPECT_EQ(CFileCache::ChecksumChunksSummedAside(), env.waitFor);
    env.waitFor += chunks;
    ASSERT_TRUE(cache.RewriteBlock(id, from, c.size));
    EXPECT_EQ(CFileCache::ChecksumChunksSummedAside(), env.waitFor);
    std::vector<uint8_t> back(c.size);
    ASSERT_EQ(cache.ReadBlock(id, back.data(), 0, c.size), c.size);
    EXPECT_EQ(back, values);
    env.waitFor = 0;
  }
}

TEST_F(FileCacheTest, FailedWritesLeaveNoBlockAndReuseTheSpace) {
  vq::test::TraceCapture trace;
  auto data = Pattern(4096, 4);
  env.failNextWrites = 1;  // disk full
  EXPECT_EQ(cache.WriteBlock(data.data(), 4096), 0u);
  EXPECT_TRUE(trace.Contains("WriteFile failed. Error=112"));
  EXPECT_EQ(cache.BlockCount(), 0u);
  EXPECT_EQ(cache.EndOffset(), 0u);

  env.shortWrites = 1;  // half written, then the device is full
  EXPECT_EQ(cache.WriteBlock(data.data(), 4096), 0u);
  EXPECT_EQ(cache.BlockCount(), 0u);

  ASSERT_EQ(cache.WriteBlock(data.data(), 4096), 1u);
  EXPECT_EQ(cache.BlockOffset(1), 0u);
  env.failNextWrites = 1;
  env.writeErrno = EIO;
  EXPECT_FALSE(cache.RewriteBlock(1, data.data(), 4096));
}

TEST_F(FileCacheTest, FailedAndShortReadsReportZero) {
  vq::test::TraceCapture trace;
  auto data = Pattern(4096, 4);
  ASSERT_EQ(cache.WriteBlock(data.data(), 4096), 1u);
  std::vector<uint8_t> back(4096);
  env.failNextReads = 1;
  EXPECT_EQ(cache.ReadBlock(1, back.data(), 0, 4096), 0u);
  EXPECT_TRUE(trace.Contains("ReadFile failed"));
  env.eofReads = 1;
  EXPECT_EQ(cache.ReadBlock(1, back.data(), 10, 100), 0u);
  EXPECT_EQ(cache.ReadBlock(1, back.data(), 0, 4096), 4096u);
  EXPECT_EQ(back, data);
}

// The process-wide statistics count what reached the file, in the caller's
// bytes (not the padded transfer), and nothing for failed transfers; the
// successor export gives the same counts and the failed save.
TEST_F(FileCacheTest, SwapStatisticsCountCompletedTransfersOnly) {
  EXPECT_EQ(VQGetSwapStatistics(nullptr), E_POINTER);
  EXPECT_EQ(VQGetSwapStatistics2(nullptr), E_POINTER);
  VQSwapStatistics2 tooOld{};
  tooOld.Size = sizeof(VQSwapStatistics2) - 1;
  EXPECT_EQ(VQGetSwapStatistics2(&tooOld), E_INVALIDARG);
  VQSwapStatistics before{}, after{};
  VQSwapStatistics2 before2{}, after2{};
  before2.Size = after2.Size = sizeof(VQSwapStatistics2) + 16;  // a later caller's larger one
  ASSERT_EQ(VQGetSwapStatistics(&before), S_OK);
  ASSERT_EQ(VQGetSwapStatistics2(&before2), S_OK);
  EXPECT_EQ(before2.Size, sizeof(VQSwapStatistics2));
  auto data = Pattern(5000, 9);
  ASSERT_EQ(cache.WriteBlock(data.data(), 5000), 1u);
  ASSERT_TRUE(cache.RewriteBlock(1, data.data(), 5000));
  env.failNextWrites = 1;
  EXPECT_EQ(cache.WriteBlock(data.data(), 5000), 0u);
  std::vector<uint8_t> back(5000);
  ASSERT_EQ(cache.ReadBlock(1, back.data(), 100, 300), 300u);  // through the bounce window
  env.failNextReads = 1;
  EXPECT_EQ(cache.ReadBlock(1, back.data(), 0, 5000), 0u);
  ASSERT_EQ(VQGetSwapStatistics(&after), S_OK);
  EXPECT_EQ(after.BlocksWritten - before.BlocksWritten, 2u);
  EXPECT_EQ(after.BytesWritten - before.BytesWritten, 10000u);
  EXPECT_EQ(after.BlocksRead - before.BlocksRead, 1u);
  EXPECT_EQ(after.BytesRead - before.BytesRead, 300u);
  ASSERT_EQ(VQGetSwapStatistics2(&after2), S_OK);
  EXPECT_EQ(after2.BlocksWritten - before2.BlocksWritten, 2u);
  EXPECT_EQ(after2.BytesRead - before2.BytesRead, 300u);
  EXPECT_EQ(after2.FailedSaves - before2.FailedSaves, 1u);
  EXPECT_EQ(after2.BytesNotSwapped - before2.BytesNotSwapped, 5000u);
  EXPECT_EQ(after2.FailedLowMemorySaves - before2.FailedLowMemorySaves, 0u) << "not a memory check's save";
}

// Swap files beyond 4 GiB: offsets are 64-bit all the way to the system call
// (the file keeps the first 64 bytes of each write).
class SparseEnvironment : public vq::test::MemoryEnvironment {
 public:
  ssize_t WriteAt(int, const void* data, size_t size, uint64_t offset, int*) override {
    writes[offset] = std::vector<uint8_t>(static_cast<const uint8_t*>(data),
                                          static_cast<const uint8_t*>(data) + (size < 64 ? size : 64));
    return static_cast<ssize_t>(size);
  }
  ssize_t ReadAt(int, void* data, size_t size, uint64_t offset, int*) override {
    auto it = writes.find(offset);
    std::memset(data, 0, size);
    if (it != writes.end()) std::memcpy(data, it->second.data(), std::min(size, it->second.size()));
    return static_cast<ssize_t>(size);
  }
  std::map<uint64_t, std::vector<uint8_t>> writes;
};

TEST(FileCache, OffsetsBeyondFourGiB) {
  SparseEnvironment env;
  CFileCache cache(env);
  ASSERT_TRUE(cache.Initialize(false));
  const uint32_t big = 0xC0000000u;  // 3 GiB, never touched: the fake keeps 64 bytes
  AlignedBuffer buffer(big);
  ASSERT_NE(buffer.data, MAP_FAILED);
  buffer.data[0] = 0xAB;
  ASSERT_EQ(cache.WriteBlock(buffer.data, big), 1u);
  ASSERT_EQ(cache.WriteBlock(buffer.data, big), 2u);
  buffer.data[0] = 0xCD;
  ASSERT_EQ(cache.WriteBlock(buffer.data, 16), 3u);
  EXPECT_EQ(cache.BlockOffset(3), 2ull * big);
  EXPECT_GT(cache.EndOffset(), 0x100000000ull);
  uint8_t out[16];
  ASSERT_EQ(cache.ReadBlock(3, out, 0, 16), 16u);
  EXPECT_EQ(out[0], 0xCD);
}

// A write held in the file holds up no other block: while one block's write
// waits, another is read, written (whole units and a shared slot), rewritten
// and freed, and the held block lands where nothing else does.
TEST_F(FileCacheTest, HeldWriteHoldsUpNoOtherBlock) {
  const auto a = Pattern(65536, 1), held = Pattern(65536, 2), b = Pattern(65536, 3), small = Pattern(40, 4);
  const uint32_t first = cache.WriteBlock(a.data(), 65536);
  ASSERT_NE(first, 0u);
  env.HoldNextWrite();
  auto writer = std::async(std::launch::async, [&] { return cache.WriteBlock(held.data(), 65536); });
  ASSERT_TRUE(env.WaitForHeldWrite());
  auto others = std::async(std::launch::async, [&] {
    std::vector<uint8_t> back(65536);
    const bool read = cache.ReadBlock(first, back.data(), 0, 65536) == 65536 && back == a;
    const uint32_t second = cache.WriteBlock(b.data(), 65536), shared = cache.WriteBlock(small.data(), 40);
    const bool rewritten = cache.RewriteBlock(second, a.data(), 65536);
    return read && second != 0 && shared != 0 && rewritten && cache.FreeBlock(first) ? second : 0u;
  });
  const bool finished = others.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
  env.ReleaseWrite();
  const uint32_t heldId = writer.get();
  ASSERT_TRUE(finished) << "a transfer of another block waited for the held write";
  const uint32_t second = others.get();
  ASSERT_NE(second, 0u);
  ASSERT_NE(heldId, 0u);
  EXPECT_NE(cache.BlockOffset(heldId), cache.BlockOffset(second));
  for (const auto& [id, want] : {std::pair{heldId, held}, std::pair{second, a}}) {
    std::vector<uint8_t> back(65536);
    ASSERT_EQ(cache.ReadBlock(id, back.data(), 0, 65536), 65536u);
    EXPECT_EQ(back, want) << "block " << id;
  }
}

}  // namespace
