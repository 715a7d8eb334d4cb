// Swap failures a client can see: a failing swap file gives one trace line
// per episode, counted saves and a backoff on the environment's clock; a
// bit changed in the file fails the reload instead of giving wrong values.
#include "VQDataMatrixLib.h"
#include "memory/FileCache.h"
#include "storage/DataBase.h"
#include "support/MatrixFixture.h"
#include "support/TraceCapture.h"

namespace vq::test {
namespace {

using SwapFailureTest = MatrixTest;

class KindSwapFailureTest : public MatrixTest, public ::testing::WithParamInterface<matrixType> {};
INSTANTIATE_TEST_SUITE_P(BothKinds, KindSwapFailureTest, ::testing::Values(matrixSingleObject, matrixMultipleObjects),
                         [](const ::testing::TestParamInfo<matrixType>& kind) {
                           return kind.param == matrixSingleObject ? "Single" : "Multi";
                         });

VQSwapStatistics2 Statistics() {
  VQSwapStatistics2 s{};
  s.Size = sizeof(s);
  EXPECT_EQ(VQGetSwapStatistics2(&s), S_OK);
  return s;
}

// Five low-memory saves fail on a full disk, then one succeeds: one line
// starts the episode, one ends it with the count, and the counters agree.
TEST_F(SwapFailureTest, EpisodeOfFailedSavesIsTracedOnceAndCounted) {
  auto m = NewMatrix(1, 1, 1, 8, 64, 1, dataFormatFloat64, matrixSingleObject);
  Fill(m.get());
  TraceCapture trace(1, "DataMatrix");
  const VQSwapStatistics2 before = Statistics();
  m_Env.failWrites = true;
  m_MemEnv.available = kLow;
  for (int i = 0; i < 5; ++i) {
    if (i != 0) m_MemEnv.nowMs += CVQDataMatrix::kMaxRetryMs;  // past any backoff
    Impl(m.get())->CheckMemoryNow();
  }
  const VQSwapStatistics2 failing = Statistics();
  m_Env.failWrites = false;
  m_MemEnv.nowMs += CVQDataMatrix::kMaxRetryMs;
  Impl(m.get())->CheckMemoryNow();
  m_MemEnv.available = kPlenty;
  const VQSwapStatistics2 after = Statistics();
  EXPECT_EQ(trace.Count("Saving to the swap file failed"), 1u);
  EXPECT_EQ(trace.Count("works again; 5 saves had failed (2560 bytes stayed in memory)"), 1u);
  EXPECT_EQ(failing.FailedSaves - before.FailedSaves, 5u);
  EXPECT_EQ(failing.FailedLowMemorySaves - before.FailedLowMemorySaves, 5u);
  EXPECT_EQ(failing.BytesNotSwapped - before.BytesNotSwapped, 5u * 512);
  EXPECT_EQ(after.FailedSaves, failing.FailedSaves);
  EXPECT_EQ(after.BlocksWritten - failing.BlocksWritten, 8u);
  Verify(m.get());
}

// While the file fails, the memory check tries one save per backoff interval
// (100 ms doubling to 3.2 s on the environment's clock), however often it is
// asked; a successful save resets the interval.
TEST_F(SwapFailureTest, FailedSavesBackOffOnTheEnvironmentsClock) {
  auto m = NewMatrix(1, 1, 1, 8, 64, 1, dataFormatFloat64, matrixSingleObject);
  Fill(m.get());
  CFileCache* file = Impl(m.get())->FileCache();
  struct Step {
    uint64_t nowMs;
    bool disk;            // writes succeed (and every element is saved)
    bool attempt;         // a save reaches the file
    bool refill = false;  // the elements are written again first, so there is something to save
  };
  const Step steps[] = {
      {1000, false, true},   {1050, false, false},  {1099, false, false}, {1100, false, true},
      {1299, false, false},  {1300, false, true},   {1700, false, true},  {2499, false, false},
      {2500, false, true},   {4100, false, true},   {7299, false, false}, {7300, false, true},
      {10500, false, true},  {13699, false, false}, {13700, true, true},  {13700, false, true, true},
      {13799, false, false}, {13800, false, true},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.nowMs);
    // Counted before the clock moves: until then the worker thread's checks
    // are held back by the same backoff.
    const int writes = m_Env.writes;
    const uint64_t failed = file->FailedSaves();
    if (s.refill) {
      m_MemEnv.available = kPlenty;
      Fill(m.get());
    }
    m_Env.failWrites = !s.disk;
    m_MemEnv.available = kLow;
    m_MemEnv.nowMs = s.nowMs;
    Impl(m.get())->CheckMemoryNow();
    if (s.disk) {
      EXPECT_GT(m_Env.writes, writes);
      EXPECT_EQ(file->FailedSaves(), failed);
    } else {
      EXPECT_EQ(file->FailedSaves() - failed, s.attempt ? 1u : 0u) << "no retry loop on a failing disk";
    }
  }
  m_Env.failWrites = false;
  m_MemEnv.available = kPlenty;
}

// A bit flipped in a saved block fails the reload, whole or in part, with the
// access's failure and a counted checksum failure; never wrong values.
TEST_P(KindSwapFailureTest, FlippedBitFailsTheReload) {
  constexpr LONG kValues = 6000;  // 48,000 bytes: three checksum chunks
  struct Case {
    LONG first, last;  // -1: the whole element
    uint64_t flipAt;   // byte of the block
    bool ok;
  };
  const Case cases[] = {
      {-1, -1, 20000, false},
      {2600, 2600, 20000, false},                           // the value holding the byte
      {2100, 2200, 20000, false},                           // other values of the same chunk
      {100, 200, 40000, GetParam() == matrixSingleObject},  // another chunk: the packed kind reads the whole block
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.first) + ".." + std::to_string(c.last));
    auto m = NewMatrix(1, 1, 1, 2, kValues, 1, dataFormatFloat64, GetParam());
    Fill(m.get());
    ASSERT_EQ(m->AllSaveToDisk(), S_OK);
    CDataBase* storage = Impl(m.get())->StorageAt(0);
    ASSERT_TRUE(m_MemEnv.FlipBit(Impl(m.get())->FileCache()->BlockOffset(storage->BlockId()) + c.flipAt));
    const uint64_t before = Statistics().ChecksumFailures;
    vq::ComPtr<IUnknown> unknown;
    const HRESULT hr = c.first < 0 ? m->get_ConstDataPtr(0, 0, 0, 0, 0, unknown.put())
                                   : m->get_ConstDataSubsetPtr(0, 0, 0, 0, c.first, c.last, 0, unknown.put());
    EXPECT_EQ(Statistics().ChecksumFailures - before, c.ok ? 0u : 1u);
    if (!c.ok) {
      EXPECT_EQ(hr, E_FAIL);
      continue;
    }
    ASSERT_TRUE(SUCCEEDED(hr));
    VQDataBuffer b = Buffer(unknown.query<IVQData>());
    for (LONG k = 0; k <= c.last - c.first; ++k) EXPECT_EQ(b.pDouble[k], Expected(0, c.first + k));
  }
}

}  // namespace
}  // namespace vq::test
