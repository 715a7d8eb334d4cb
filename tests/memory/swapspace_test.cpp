// Space in the swap file: freed blocks are reused and given back, small
// blocks share units, bounce buffers stay small, and injected write and punch
// failures lose nothing.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "memory/FileCache.h"
#include "platform/testlib/ScopedEnv.h"
#include "support/MatrixFixture.h"
#include "support/TestEnvironment.h"

namespace vq::test {
namespace {

std::vector<uint8_t> Pattern(size_t size, uint32_t seed) {
  std::vector<uint8_t> v(size);
  for (size_t i = 0; i < size; ++i) v[i] = static_cast<uint8_t>(seed * 131 + i * 7 + (i >> 9));
  return v;
}

std::vector<uint8_t> ReadAll(CFileCache& cache, uint32_t id, size_t size) {
  std::vector<uint8_t> back(size);
  EXPECT_EQ(cache.ReadBlock(id, back.data(), 0, static_cast<uint32_t>(size)), size) << "block " << id;
  return back;
}

// A swap file in memory that refuses unaligned transfers (512-byte units), with
// faults on demand.
class SwapSpaceTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(cache.Initialize(true)); }
  MemoryEnvironment mem;
  FaultyEnvironment env{mem};
  CFileCache cache{env};
};

using SwapSpaceMatrixTest = MatrixTest;

// 1,000 rounds of replacing an element and saving it: every way an element
// drops its block leaves the file at most twice the element.
TEST_F(SwapSpaceMatrixTest, RoundsOfReplaceAndSaveKeepTheFileBounded) {
  enum class Replace { Put, Reallocate, Reshape };
  struct Case {
    Replace how;
    LONG x;
  };
  for (const Case& c : {Case{Replace::Put, 1000}, Case{Replace::Put, 1}, Case{Replace::Reallocate, 1000},
                        Case{Replace::Reshape, 1000}}) {
    SCOPED_TRACE(static_cast<int>(c.how) * 10000 + c.x);
    auto m = NewMatrix();
    ASSERT_EQ(m->Initialize2(1, 1, 1, 1, c.x, 1, dataFormatFloat64, matrixSingleObject), S_OK);
    CFileCache* swap = Impl(m.get())->FileCache();
    LONG x = c.x;
    for (int round = 0; round < 1000; ++round) {
      if (c.how == Replace::Put) {
        auto item = NewItem(c.x, 1);
        ASSERT_EQ(m->put_DataPtr(0, 0, 0, 0, item.get()), S_OK);
      } else if (c.how == Replace::Reallocate) {
        ASSERT_EQ(m->AllAllocate(c.x, 1, dataFormatFloat64), S_OK);
      } else {
        x = round % 2 == 0 ? c.x + 500 : c.x;  // the client gives its item another size
        ASSERT_EQ(Get(m.get(), 0, 0, 0, 0)->Allocate(x, 1, dataFormatFloat64), S_OK);
      }
      auto item = Get(m.get(), 0, 0, 0, 0);
      VQDataBuffer b{};
      ASSERT_EQ(item->GetDataBuffer(&b), S_OK);
      for (LONG k = 0; k < x; ++k) b.pDouble[k] = Expected(static_cast<uint32_t>(round), static_cast<size_t>(k));
      item = nullptr;
      ASSERT_EQ(m->AllSaveToDisk(), S_OK);
    }
    const uint64_t unit = swap->SectorSize();
    const uint64_t largest = (static_cast<uint64_t>(c.x + 500) * 8 + unit - 1) / unit * unit;
    EXPECT_LE(swap->EndOffset(), 2 * largest);
    EXPECT_LE(swap->AllocatedBytes(), 2 * largest);
    EXPECT_EQ(swap->BlockCount(), 1u);
    auto item = Get(m.get(), 0, 0, 0, 0, false);
    VQDataBuffer b{};
    ASSERT_EQ(item->GetDataBuffer(&b), S_OK);
    EXPECT_EQ(b.pDouble[b.XSize - 1], Expected(999, static_cast<size_t>(b.XSize - 1)));
  }
}

// The same rounds of put and save on the system's swap file: what the file
// system keeps allocated for it (st_blocks) stays within twice the element,
// since freed blocks are reused or punched out.
TEST_F(SwapSpaceMatrixTest, RoundsOfPutAndSaveKeepTheRealFilesAllocationBounded) {
  std::string folder = "/var/tmp/vqspaceXXXXXX";
  ASSERT_NE(mkdtemp(folder.data()), nullptr);
  struct Remove {
    ~Remove() { std::filesystem::remove_all(path); }
    std::string path;
  } remove{folder};
  ScopedEnv swapDir("VQ_SWAP_DIR", folder.c_str());
  auto m = NewMatrix(&SystemEnvironment());
  constexpr LONG kValues = 1000;
  ASSERT_EQ(m->Initialize2(1, 1, 1, 1, kValues, 1, dataFormatFloat64, matrixSingleObject), S_OK);
  for (int round = 0; round < 1000; ++round) {
    auto item = NewItem(kValues, 1);
    VQDataBuffer b{};
    ASSERT_EQ(item->GetDataBuffer(&b), S_OK);
    b.pDouble[0] = round;
    ASSERT_EQ(m->put_DataPtr(0, 0, 0, 0, item.get()), S_OK);
    ASSERT_EQ(m->AllSaveToDisk(), S_OK);
  }
  struct stat file {};
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
    if (std::filesystem::read_symlink(entry.path(), ec).string().starts_with(folder)) {
      ASSERT_EQ(stat(entry.path().c_str(), &file), 0);
    }
  }
  ASSERT_GT(file.st_blksize, 0) << "the matrix's swap file is open in VQ_SWAP_DIR";
  const uint64_t unit = std::max<uint64_t>(Impl(m.get())->FileCache()->SectorSize(), file.st_blksize);
  const uint64_t element = (kValues * sizeof(double) + unit - 1) / unit * unit;
  EXPECT_LE(static_cast<uint64_t>(file.st_blocks) * 512, 2 * element);
}

// Blocks below half a unit take slots of shared units: 4,096 one-value blocks
// fill 64 units instead of 4,096, read back whole and in part, and their
// units go back to the file when their last slot is freed.
TEST_F(SwapSpaceTest, TinyBlocksShareUnitsAndReadBackBitExact) {
  struct Block {
    uint32_t id;
    std::vector<uint8_t> bytes;
  };
  std::vector<Block> blocks;
  for (uint32_t i = 0; i < 4096; ++i) {
    auto bytes = Pattern(i % 3 == 0 ? 4 : 8, i);
    const uint32_t id = cache.WriteBlock(bytes.data(), static_cast<uint32_t>(bytes.size()));
    ASSERT_NE(id, 0u);
    blocks.push_back({id, std::move(bytes)});
  }
  EXPECT_EQ(cache.EndOffset(), 64u * 512);
  for (size_t i = 0; i < blocks.size(); i += 2) {  // every other block goes, its neighbours change
    ASSERT_TRUE(cache.FreeBlock(blocks[i].id));
    blocks[i + 1].bytes = Pattern(blocks[i + 1].bytes.size(), 7000 + static_cast<uint32_t>(i));
    ASSERT_TRUE(cache.RewriteBlock(blocks[i + 1].id, blocks[i + 1].bytes.data(),
                                   static_cast<uint32_t>(blocks[i + 1].bytes.size())));
  }
  std::vector<Block> larger;  // 100-byte blocks take 128-byte slots, 300-byte ones a unit each
  for (uint32_t i = 0; i < 64; ++i) {
    auto bytes = Pattern(i % 2 == 0 ? 100 : 300, 9000 + i);
    larger.push_back({cache.WriteBlock(bytes.data(), static_cast<uint32_t>(bytes.size())), std::move(bytes)});
    ASSERT_NE(larger.back().id, 0u);
  }
  for (size_t i = 1; i < blocks.size(); i += 2) {
    const Block& b = blocks[i];
    ASSERT_EQ(ReadAll(cache, b.id, b.bytes.size()), b.bytes) << i;
    uint8_t tail[8];
    ASSERT_EQ(cache.ReadBlock(b.id, tail, 1, static_cast<uint32_t>(b.bytes.size() - 1)), b.bytes.size() - 1);
    EXPECT_EQ(std::memcmp(tail, b.bytes.data() + 1, b.bytes.size() - 1), 0);
  }
  for (const Block& b : larger) EXPECT_EQ(ReadAll(cache, b.id, b.bytes.size()), b.bytes);
  for (size_t i = 1; i < blocks.size(); i += 2) ASSERT_TRUE(cache.FreeBlock(blocks[i].id));
  for (const Block& b : larger) ASSERT_TRUE(cache.FreeBlock(b.id));
  EXPECT_EQ(cache.EndOffset(), 0u);
  EXPECT_EQ(cache.AllocatedBytes(), 0u);
}

// Freed space is written again without being punched first (a file system
// writes punched space at half the speed), yet the file never keeps more
// free space than the live blocks hold, and gives it all back with them.
TEST_F(SwapSpaceTest, FreedSpaceIsReusedUnpunchedWithinTheLiveSize) {
  const auto a = Pattern(64 * 1024, 1), b = Pattern(64 * 1024, 2), big = Pattern(256 * 1024, 3);
  const uint32_t idA = cache.WriteBlock(a.data(), 64 * 1024), idB = cache.WriteBlock(b.data(), 64 * 1024);
  ASSERT_NE(idA, 0u);
  ASSERT_NE(idB, 0u);
  const uint64_t offsetA = cache.BlockOffset(idA);
  ASSERT_TRUE(cache.FreeBlock(idA));
  const uint32_t idC = cache.WriteBlock(b.data(), 64 * 1024);
  EXPECT_EQ(cache.BlockOffset(idC), offsetA);
  EXPECT_EQ(env.punches.load(), 0);
  // More freed than stays live: the excess is punched, the file shrinks.
  const uint32_t idBig = cache.WriteBlock(big.data(), 256 * 1024);
  ASSERT_NE(idBig, 0u);
  ASSERT_TRUE(cache.FreeBlock(idBig));
  EXPECT_LE(cache.KeptFreeBytes(), cache.AllocatedBytes());
  EXPECT_GT(env.punches.load(), 0);
  EXPECT_EQ(ReadAll(cache, idB, b.size()), b);
  EXPECT_EQ(ReadAll(cache, idC, b.size()), b);
  ASSERT_TRUE(cache.FreeBlock(idB));
  ASSERT_TRUE(cache.FreeBlock(idC));
  EXPECT_EQ(cache.KeptFreeBytes(), 0u);
  EXPECT_EQ(cache.EndOffset(), 0u);
}

// A large element whose size is not whole units: from aligned memory only the
// tail bounces (one unit); from unaligned memory the bounce buffer is one
// chunk, never the element.
TEST_F(SwapSpaceTest, BounceBuffersStayBoundedForLargeUnalignedElements) {
  constexpr uint32_t kSize = (5u << 20) + 100;
  struct Case {
    size_t shift;  // of the caller's buffer from a page boundary
    size_t bound;
  };
  for (const Case& c : {Case{0, 512}, Case{8, CFileCache::kBounceChunk}}) {
    SCOPED_TRACE(c.shift);
    void* raw = std::aligned_alloc(4096, (kSize + 8191) / 4096 * 4096);
    ASSERT_NE(raw, nullptr);
    uint8_t* p = static_cast<uint8_t*>(raw) + c.shift;
    const auto values = Pattern(kSize, 3);
    std::memcpy(p, values.data(), kSize);
    env.largestAllocation = 0;
    const uint32_t id = cache.WriteBlock(p, kSize);
    ASSERT_NE(id, 0u);
    std::memset(p, 0, kSize);
    ASSERT_EQ(cache.ReadBlock(id, p, 0, kSize), kSize);
    EXPECT_EQ(std::memcmp(p, values.data(), kSize), 0);
    EXPECT_LE(env.largestAllocation.load(), c.bound);
    ASSERT_EQ(cache.ReadBlock(id, p, 3, kSize - 3), kSize - 3);  // an unaligned window
    EXPECT_EQ(std::memcmp(p, values.data() + 3, kSize - 3), 0);
    EXPECT_LE(env.largestAllocation.load(), CFileCache::kBounceChunk);
    EXPECT_TRUE(cache.FreeBlock(id));
    std::free(raw);
  }
}

// Model: random writes, rewrites, frees and reads of blocks from one byte to
// a few units, with writes (failed or torn) and punches failing at random, on
// the in-memory file and on a real one.
// A failed write adds no block; a failed rewrite may spoil its own block only;
// a failed punch loses nothing; no two live blocks overlap; and once every
// block is freed, the file holds nothing.
TEST_F(SwapSpaceTest, ModelOfBlocksUnderWriteAndPunchFaults) {
  const char* stepsText = std::getenv("VQ_MODEL_STEPS");
  const int steps = stepsText != nullptr ? std::atoi(stepsText) : 600;
  FaultyEnvironment real;  // the system's file: real units, real holes
  for (uint32_t seed = 1; seed <= 4; ++seed) {
    SCOPED_TRACE(seed);
    FaultyEnvironment& faults = seed % 2 == 1 ? env : real;
    CFileCache file(faults);
    ASSERT_TRUE(file.Initialize(true));
    std::mt19937 rng(seed);
    auto pick = [&](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
    struct Model {
      std::vector<uint8_t> bytes;
      bool known;  // false after a failed rewrite, until the next good one
    };
    std::map<uint32_t, Model> model;
    auto randomSize = [&] {
      const uint32_t sizes[] = {1 + pick(16), 1 + pick(256), 200 + pick(400), 512 * (1 + pick(4)), 1 + pick(3000)};
      return sizes[pick(5)];
    };
    auto anyBlock = [&] {
      auto it = model.begin();
      std::advance(it, pick(static_cast<uint32_t>(model.size())));
      return it;
    };
    auto injectWriteFault = [&] {
      const uint32_t r = pick(10);
      if (r == 0) faults.failNextWrites = 1;
      if (r == 1) faults.shortWrites = 1;
      return r <= 1;
    };
    for (int step = 0; step < steps; ++step) {
      SCOPED_TRACE(step);
      const uint32_t op = model.empty() ? 0 : pick(4);
      if (op == 0 || (op == 1 && model.size() < 20)) {
        const bool fault = injectWriteFault();
        auto bytes = Pattern(randomSize(), static_cast<uint32_t>(step));
        const uint32_t id = file.WriteBlock(bytes.data(), static_cast<uint32_t>(bytes.size()));
        faults.failNextWrites = 0;
        ASSERT_EQ(id == 0, fault);
        if (id != 0) model[id] = {std::move(bytes), true};
      } else if (op == 1) {
        if (pick(5) == 0) faults.failNextPunches = 1;
        auto it = anyBlock();
        ASSERT_TRUE(file.FreeBlock(it->first));
        faults.failNextPunches = 0;
        model.erase(it);
      } else if (op == 2) {
        auto it = anyBlock();
        const bool fault = injectWriteFault();
        auto bytes = Pattern(it->second.bytes.size(), static_cast<uint32_t>(step) + 50000);
        const bool written = file.RewriteBlock(it->first, bytes.data(), static_cast<uint32_t>(bytes.size()));
        faults.failNextWrites = 0;
        ASSERT_EQ(written, !fault);
        it->second = {written ? std::move(bytes) : it->second.bytes, written};
      }
      ASSERT_EQ(file.BlockCount(), model.size());
      std::map<uint64_t, uint64_t> extents;
      for (const auto& [id, block] : model) {
        extents[file.BlockOffset(id)] = block.bytes.size();
        if (block.known) {
          ASSERT_EQ(ReadAll(file, id, block.bytes.size()), block.bytes) << "block " << id;
        }
      }
      uint64_t previousEnd = 0;
      for (const auto& [offset, size] : extents) {
        ASSERT_GE(offset, previousEnd);
        previousEnd = offset + size;
      }
      ASSERT_LE(previousEnd, file.EndOffset());
      ASSERT_LE(file.KeptFreeBytes(), file.AllocatedBytes());
    }
    for (const auto& entry : model) ASSERT_TRUE(file.FreeBlock(entry.first));
    EXPECT_EQ(file.EndOffset(), 0u);
    EXPECT_EQ(file.AllocatedBytes(), 0u);
  }
}

}  // namespace
}  // namespace vq::test

namespace vq::test {
namespace {

// A bit flipped in the file fails every read whose checksum chunks cover it,
// whole or partial, shared or not, and is counted; reads of other chunks of
// the block still succeed with the right bytes.
TEST_F(SwapSpaceTest, FlippedBitFailsEveryReadThatCoversIt) {
  constexpr uint32_t kChunk = CFileCache::kChecksumChunk;
  struct Case {
    uint32_t size, flipAt, offset, length;
    bool ok;
  };
  const Case cases[] = {
      {100, 7, 0, 100, false},                                       // shared unit, whole
      {100, 7, 50, 10, false},                                       // shared unit, part not touching the byte
      {3 * kChunk + 500, kChunk + 3, 0, 3 * kChunk + 500, false},    // whole block
      {3 * kChunk + 500, kChunk + 3, kChunk + 100, 20, false},       // part of the flipped chunk
      {3 * kChunk + 500, kChunk + 3, kChunk - 10, 20, false},        // part across into it
      {3 * kChunk + 500, kChunk + 3, 0, kChunk, true},               // the chunk before
      {3 * kChunk + 500, kChunk + 3, 2 * kChunk + 1, kChunk, true},  // the chunks after, to the end
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.size) + " flip " + std::to_string(c.flipAt) + " read " + std::to_string(c.offset));
    const auto data = Pattern(c.size, c.flipAt);
    const uint32_t id = cache.WriteBlock(data.data(), c.size);
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(mem.FlipBit(cache.BlockOffset(id) + c.flipAt));
    const uint64_t before = vq::SwapTransfers().checksumFailures;
    std::vector<uint8_t> back(c.length);
    EXPECT_EQ(cache.ReadBlock(id, back.data(), c.offset, c.length), c.ok ? c.length : 0u);
    EXPECT_EQ(vq::SwapTransfers().checksumFailures - before, c.ok ? 0u : 1u);
    if (c.ok) {
      EXPECT_TRUE(std::equal(back.begin(), back.end(), data.begin() + c.offset));
    }
    EXPECT_TRUE(cache.FreeBlock(id));
  }
}

}  // namespace
}  // namespace vq::test
