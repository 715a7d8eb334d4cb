// Swapping: the memory check on the client's and the worker's thread, bulk
// save with held elements, a failed memory reading, a stress run of the
// worker against a client, and a real memory cgroup, on both storage kinds.
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>
#include <thread>
#include <utility>

#include "memory/MemoryBudget.h"
#include "platform/testlib/ScopedEnv.h"
#include "storage/DataBase.h"
#include "support/MatrixFixture.h"
#include "support/MemoryCgroup.h"
#include "support/ProcessInfo.h"
#include "support/TraceCapture.h"

namespace vq::test {
namespace {

using SwapTest = MatrixTest;

using KindSwapTest = KindTest;
INSTANTIATE_TEST_SUITE_P(BothKinds, KindSwapTest, kStorageKinds, KindName);

// Counts storage objects whose values are out of memory.
uint32_t SwappedOut(IVQDataMatrix* m) {
  CVQDataMatrix* impl = static_cast<CVQDataMatrix*>(m);
  uint32_t n = 0;
  for (uint32_t i = 0; i < impl->DataCount(); ++i) {
    CDataBase* s = impl->StorageAt(i);
    if (s != nullptr && s->IsOnDisk() && !s->IsInMemory()) ++n;
  }
  return n;
}

// Waits until the memory watcher has nothing left to pop and its last save
// is over (the data lock, taken by get_IsAllDataValid, orders it before the
// flags are read), or gives up after about two seconds.
void WaitForTheWatcher(IVQDataMatrix* m, uint32_t swapped) {
  CVQDataMatrix* impl = static_cast<CVQDataMatrix*>(m);
  for (int i = 0; i < 200; ++i) {
    if (impl->Priority().Length() == 0) {
      LONG valid = 0;
      m->get_IsAllDataValid(&valid);
      if (SwappedOut(m) >= swapped) return;
    }
    Sleep(10);
  }
}

TEST_P(KindSwapTest, LowMemorySwapsOnTheClientsThreadAndValuesComeBack) {
  auto m = NewMatrix();
  // 24 elements of 1 MiB: 24 storage objects, or 3 of at most 10 elements.
  ASSERT_EQ(m->Initialize2(4, 3, 2, 1, 65536, 2, dataFormatFloat64, GetParam()), S_OK);
  const uint32_t objects = Impl(m.get())->DataCount();
  ASSERT_EQ(objects, GetParam() == matrixSingleObject ? 24u : 3u);
  Fill(m.get());
  EXPECT_FALSE(Impl(m.get())->CheckMemory()) << "plenty of memory swaps nothing";
  EXPECT_EQ(SwappedOut(m.get()), 0u);
  m_MemEnv.available = kLow;
  // The access that brings one element in pays for swapping the others out;
  // the object it holds stays (and the watcher has nothing else to save).
  {
    auto e = Get(m.get(), 0, 0, 0, 0, false);
    EXPECT_EQ(SwappedOut(m.get()), objects - 1);
  }
  Verify(m.get());
  m_MemEnv.available = kPlenty;
  Fill(m.get(), 0.5);  // written for writing: the next swap rewrites them
  m_MemEnv.available = kLow;
  Verify(m.get(), 0.5);
}

// Every format on both kinds leaves memory and comes back bit for bit:
// model_test.cpp (its seeds walk the formats; save all, then check).

TEST_P(KindSwapTest, LifoPicksTheMostRecentlyUsed) {
  auto m = NewMatrix();
  ASSERT_EQ(m->Initialize2(1, 1, 1, 3, 64, 1, dataFormatFloat64, GetParam()), S_OK);  // 3 objects
  ASSERT_EQ(m->SetElementPriority(elementPriorityLifo), S_OK);
  { auto a = Get(m.get(), 0, 0, 0, 2); }
  { auto b = Get(m.get(), 0, 0, 0, 0); }
  CPriorityManager& queue = Impl(m.get())->Priority();
  uint32_t picked = 99;
  ASSERT_TRUE(queue.PopPriority(&picked));
  EXPECT_EQ(picked, 0u);  // used last, swapped first
  queue.PushPriority(0);
  // A held object is passed over.
  auto held = Get(m.get(), 0, 0, 0, 0, false);
  ASSERT_TRUE(queue.PopPriority(&picked));
  EXPECT_EQ(picked, 2u);
  ASSERT_TRUE(queue.PopPriority(&picked));
  EXPECT_EQ(picked, 1u);
  EXPECT_FALSE(queue.PopPriority(&picked));
}

TEST_P(KindSwapTest, HeldElementsAreNeverSaved) {
  auto m = NewMatrix(1, 1, 1, 3, 64, 1, dataFormatFloat64, GetParam());
  Fill(m.get());
  auto held = Get(m.get(), 0, 0, 0, 0);
  TraceCapture trace;
  ASSERT_EQ(m->AllSaveToDisk(), S_OK);
  EXPECT_TRUE(trace.Contains("SaveToDisk(0) failed"));
  EXPECT_TRUE(trace.Contains("1 elements left in priority queue"));
  EXPECT_TRUE(Impl(m.get())->StorageAt(0)->IsInMemory());
  EXPECT_FALSE(Impl(m.get())->StorageAt(1)->IsInMemory());
  // The memory check skips it too, in either order.
  m_MemEnv.available = kLow;
  EXPECT_FALSE(Impl(m.get())->CheckMemory());
  VQDataBuffer b = Buffer(held);
  EXPECT_EQ(b.pDouble[5], Expected(0, 5));
  held = nullptr;
  Impl(m.get())->CheckMemoryNow();
  WaitForTheWatcher(m.get(), 3);
  EXPECT_EQ(SwappedOut(m.get()), 3u);
  Verify(m.get());
}

TEST_F(SwapTest, MemoryLowIsTracedOncePerStretch) {
  auto m = NewMatrix();
  ASSERT_EQ(m->Initialize(0, 1, 1, 1, 1), S_OK);
  TraceCapture trace;
  CVQDataMatrix::s_ReportMemoryLow = true;
  // Between the thresholds (130 MiB) the trace is not re-armed.
  const std::pair<uint64_t, size_t> steps[] = {{kLow, 1}, {kLow, 1},    {130ull << 20, 1},
                                               {kLow, 1}, {kPlenty, 1}, {kLow, 2}};
  for (const auto& [available, lines] : steps) {
    m_MemEnv.available = available;
    Impl(m.get())->CheckMemory();
    EXPECT_EQ(trace.Count("Memory low"), lines) << (available >> 20) << " MiB";
  }
  EXPECT_EQ(trace.Count("Memory low: 100 MB"), 2u);
}

TEST_P(KindSwapTest, WorkerThreadSwapsWhileTheClientWaits) {
  auto m = NewMatrix(2, 1, 1, 8, 1024, 1, dataFormatFloat64, GetParam());
  Fill(m.get());
  m_MemEnv.available = kLow;
  const uint32_t objects = Impl(m.get())->DataCount();  // 16, or 8 of two elements
  WaitForTheWatcher(m.get(), objects);
  EXPECT_EQ(SwappedOut(m.get()), objects);
  m_MemEnv.available = kPlenty;
  Verify(m.get());
}

// The worker's watermarks and its hysteresis between them, as a table: the
// reading, whether it was reclaiming, and what it does next.
TEST(ReclaimDecisionTest, WatermarksAndHysteresis) {
  constexpr uint64_t kMiB = 1ull << 20;
  const auto small = CVQDataMatrix::ReclaimWatermarks(kMiB, 0);
  EXPECT_EQ(small.low, CVQDataMatrix::kLowMemory + 32 * kMiB) << "at least 32 MiB above the threshold";
  EXPECT_EQ(small.high, small.low + 32 * kMiB);
  const auto large = CVQDataMatrix::ReclaimWatermarks(10 * kMiB, 0);
  EXPECT_EQ(large.low, CVQDataMatrix::kLowMemory + 80 * kMiB) << "eight of the largest objects";
  EXPECT_EQ(large.high, large.low + 80 * kMiB);
  EXPECT_GT(CVQDataMatrix::ReclaimWatermarks(UINT64_MAX, 0).high, CVQDataMatrix::kLowMemory) << "no overflow";
  // A budget caps the margin at a quarter of its room above the threshold.
  const struct {
    uint64_t budget, margin;
  } budgets[] = {{CVQDataMatrix::kLowMemory + 128 * kMiB, 32 * kMiB},
                 {CVQDataMatrix::kLowMemory + 1024 * kMiB, 80 * kMiB},
                 {CVQDataMatrix::kLowMemory + 4 * kMiB, kMiB},
                 {CVQDataMatrix::kLowMemory / 2, 0}};
  for (const auto& b : budgets) {
    const auto marks = CVQDataMatrix::ReclaimWatermarks(10 * kMiB, b.budget);
    EXPECT_EQ(marks.low, CVQDataMatrix::kLowMemory + b.margin) << b.budget / kMiB << " MiB budget";
    EXPECT_EQ(marks.high, marks.low + b.margin) << b.budget / kMiB << " MiB budget";
  }

  struct Case {
    uint64_t available;
    bool reclaiming, reclaimingAfter;
    DWORD waitMs;
  };
  const Case cases[] = {
      {small.high + kMiB, false, false, CVQDataMatrix::kPollMs},
      {small.high + kMiB, true, false, CVQDataMatrix::kPollMs},  // back above high: stops
      {small.high, true, false, CVQDataMatrix::kPollMs},
      {small.low + kMiB, false, false, CVQDataMatrix::kFastPollMs},  // between: waits, looks often
      {small.low + kMiB, true, true, CVQDataMatrix::kFastPollMs},     // between: keeps on
      {small.low - 1, false, true, CVQDataMatrix::kFastPollMs},       // below low: starts
      {CVQDataMatrix::kLowMemory - 1, false, true, CVQDataMatrix::kFastPollMs},
      {0, true, true, CVQDataMatrix::kFastPollMs},
  };
  for (const Case& c : cases) {
    const auto d = CVQDataMatrix::DecideReclaim(c.available, c.reclaiming, small);
    EXPECT_EQ(d.reclaiming, c.reclaimingAfter) << c.available / kMiB << " MiB, reclaiming " << c.reclaiming;
    EXPECT_EQ(d.waitMs, c.waitMs) << c.available / kMiB << " MiB, reclaiming " << c.reclaiming;
  }
}

// Saves traced by the thread that made them ("... in thread <id>").
size_t SavesBy(const TraceCapture& trace, DWORD thread) {
  return trace.Count("to disk in thread " + std::to_string(thread));
}

// Between the threshold and the low watermark the worker saves in the
// background and the client's thread saves nothing; a held element stays.
TEST_P(KindSwapTest, WorkerReclaimsAboveTheThresholdAndTheClientDoesNot) {
  auto m = NewMatrix(2, 1, 1, 8, 1024, 1, dataFormatFloat64, GetParam());
  Fill(m.get());
  const uint32_t objects = Impl(m.get())->DataCount();
  auto held = Get(m.get(), 0, 0, 0, 0, false);
  TraceCapture trace;
  m_MemEnv.available = CVQDataMatrix::kLowMemory + (16ull << 20);
  Impl(m.get())->CheckMemoryNow();  // the client's check: above the threshold
  for (LONG d4 = 1; d4 < 8; ++d4) Get(m.get(), 0, 0, 0, d4, false);
  // The held object stays queued, so WaitForTheWatcher's empty queue never
  // comes: wait for the others to be popped; the data lock
  // (get_IsAllDataValid) then orders the last save before the flags are read.
  for (int i = 0; i < 200 && Impl(m.get())->Priority().Length() > 1; ++i) Sleep(10);
  LONG valid = 0;
  m->get_IsAllDataValid(&valid);
  EXPECT_EQ(SwappedOut(m.get()), objects - 1);
  EXPECT_TRUE(Impl(m.get())->StorageAt(0)->IsInMemory()) << "held";
  EXPECT_EQ(SavesBy(trace, GetCurrentThreadId()), 0u);
  EXPECT_GE(SavesBy(trace, Impl(m.get())->WorkerThreadId()), objects - 1);
  held = nullptr;
  m_MemEnv.available = kPlenty;
  Verify(m.get());
}

// The worker starts below the low watermark and stops only above the high
// one: between them what it does depends on where memory came from. Steps
// the test takes itself (ReclaimStep) run under the same lock as the
// worker's, so the two never disagree on the state.
TEST_P(KindSwapTest, WorkerKeepsReclaimingUntilTheHighWatermark) {
  auto m = NewMatrix(2, 1, 1, 8, 1024, 1, dataFormatFloat64, GetParam());
  Fill(m.get());
  CVQDataMatrix* impl = Impl(m.get());
  const uint32_t objects = impl->DataCount();
  const auto marks = CVQDataMatrix::ReclaimWatermarks(1ull << 20, 0);
  const uint64_t between = marks.low + (marks.high - marks.low) / 2;
  TraceCapture trace;

  m_MemEnv.available = between;  // from above: not reclaiming
  EXPECT_EQ(impl->ReclaimStep(), CVQDataMatrix::kFastPollMs);
  EXPECT_FALSE(impl->Reclaiming());
  EXPECT_EQ(SwappedOut(m.get()), 0u);

  m_MemEnv.available = marks.low - 1;  // below low: the worker saves everything it can
  WaitForTheWatcher(m.get(), objects);
  EXPECT_EQ(SwappedOut(m.get()), objects);
  EXPECT_TRUE(impl->Reclaiming());

  m_MemEnv.available = between;  // from below: still reclaiming, so reloaded objects go again
  Verify(m.get());
  WaitForTheWatcher(m.get(), objects);
  EXPECT_EQ(SwappedOut(m.get()), objects);
  EXPECT_TRUE(impl->Reclaiming());

  m_MemEnv.available = marks.high;  // above high: stops
  EXPECT_EQ(impl->ReclaimStep(), CVQDataMatrix::kPollMs);
  EXPECT_FALSE(impl->Reclaiming());
  m_MemEnv.available = between;
  Verify(m.get());
  EXPECT_EQ(impl->ReclaimStep(), CVQDataMatrix::kFastPollMs);
  EXPECT_EQ(SwappedOut(m.get()), 0u);
  EXPECT_EQ(SavesBy(trace, GetCurrentThreadId()), 0u) << "the client's check stays below the threshold";
  m_MemEnv.available = kPlenty;
}

// The client's check wakes the worker below the low watermark of the objects
// as they are now, not as they were at the worker's last step: elements
// made larger since raise the watermark.
TEST_P(KindSwapTest, ClientWakesTheWorkerByTheWatermarkOfTheObjectsAsTheyAreNow) {
  auto m = NewMatrix(2, 1, 1, 8, 1024, 1, dataFormatFloat64, GetParam());
  Fill(m.get());
  CVQDataMatrix* impl = Impl(m.get());
  impl->ReclaimStep();  // plenty of memory: the worker's step sees small objects
  ASSERT_EQ(m->AllAllocate(1 << 20, 1, dataFormatFloat64), S_OK);
  const auto before = CVQDataMatrix::ReclaimWatermarks(8 * 1024, 0);
  const auto after = CVQDataMatrix::ReclaimWatermarks(8ull << 20, 0);
  ASSERT_LT(before.low, after.low - (1ull << 20));
  m_MemEnv.available = after.low - (1ull << 20);
  const uint32_t wakes = impl->WakeCount();
  impl->CheckMemoryNow();
  EXPECT_EQ(impl->WakeCount(), wakes + 1);
  m_MemEnv.available = kPlenty;
}

// An element access in memory acts on the last reading that found memory
// plenty until it has served the environment's AccessesPerMemoryReading; a
// reading that finds it short (the client's or the worker's) stops that, and
// an access that reads values back takes a reading of its own. The worker's
// readings serve the client's accesses too, so with it running the counts
// are upper bounds where a reading stands.
TEST_F(SwapTest, AccessesTakeAReadingWhenTheLastOneStopsServing) {
  auto m = NewMatrix(2, 1, 1, 4, 64, 1, dataFormatFloat64, matrixSingleObject);
  Fill(m.get());
  CVQDataMatrix* impl = Impl(m.get());
  m_MemEnv.countReadingsOf = GetCurrentThreadId();
  auto readingsFor = [&](LONG accesses) {
    const uint64_t before = m_MemEnv.readings.load();
    for (LONG k = 0; k < accesses; ++k) EXPECT_TRUE(Get(m.get(), k % 2, 0, 0, k % 4, false));
    return m_MemEnv.readings.load() - before;
  };
  EXPECT_EQ(readingsFor(8), 8u) << "one access per reading";
  m_MemEnv.accessesPerReading = 4;
  impl->CheckMemoryNow();
  EXPECT_LE(readingsFor(12), 3u);
  // Below the low watermark, above the threshold: the client wakes the
  // worker and saves nothing itself, at every access.
  m_MemEnv.available = CVQDataMatrix::kLowMemory + (8ull << 20);
  impl->ReclaimStep();
  EXPECT_EQ(readingsFor(6), 6u);
  m_MemEnv.available = kPlenty;
  m_MemEnv.accessesPerReading = 1000;
  impl->CheckMemoryNow();
  EXPECT_EQ(readingsFor(6), 0u);
  ASSERT_EQ(m->AllSaveToDisk(), S_OK);
  EXPECT_EQ(readingsFor(1), 1u) << "reading values back allocates";
  m_MemEnv.countReadingsOf = 0;
  Verify(m.get());
}

// Without a memory reading the check does nothing. Failures of the swap file
// and of large allocations: model_test.cpp (operations under faults).
TEST_F(SwapTest, NoMemoryReadingSwapsNothing) {
  auto m = NewMatrix(2, 1, 1, 2, 300, 1, dataFormatFloat64, matrixSingleObject);
  Fill(m.get());
  m_Env.failMemoryStatus = true;
  m_MemEnv.available = kLow;
  EXPECT_FALSE(Impl(m.get())->CheckMemory());
  Impl(m.get())->CheckMemoryNow();
  EXPECT_EQ(SwappedOut(m.get()), 0u);
  m_Env.failMemoryStatus = false;
}

// The worker swaps everything it can while the client takes, writes and
// releases items: a held item is never saved or freed under the client.
TEST_P(KindSwapTest, StressWorkerAgainstClient) {
  m_MemEnv.available = kLow;
  auto m = NewMatrix(6, 1, 1, 1, 2048, 1, dataFormatFloat64, GetParam());
  Fill(m.get());
  for (int round = 1; round <= 40; ++round) {
    for (LONG d1 = 0; d1 < 6; ++d1) {
      auto item = Get(m.get(), d1, 0, 0, 0, true);
      ASSERT_TRUE(item);
      VQDataBuffer b = Buffer(item);
      ASSERT_NE(b.pDouble, nullptr);
      ASSERT_EQ(b.XSize, 2048);
      for (LONG k = 0; k < b.XSize; k += 97) {
        ASSERT_EQ(b.pDouble[k], Expected(static_cast<uint32_t>(d1), static_cast<size_t>(k), round - 1));
        b.pDouble[k] += 1.0;
      }
      std::this_thread::yield();
      for (LONG k = 0; k < b.XSize; k += 97) ASSERT_EQ(b.pDouble[k], Expected(d1, k, round));
    }
  }
}

// A real memory limit: a child process in a memory cgroup fills a matrix
// with four times its limit and reads it back bit-exact without being killed.
// The child's work; returns its exit code (0: all values came back).
int FillAndVerifyInChild(matrixType type, LONG elements = 256) {
  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 10;
  int rc = 0;
  {
    vq::ComPtr<IVQDataMatrix> m;
    if (FAILED(CoCreateInstance(CLSID_VQDataMatrix, nullptr, CLSCTX_INPROC_SERVER, IID_IVQDataMatrix, m.put_void())))
      return 11;
    const LONG values = 262144;  // 2 MiB per element: 256 of them are 512 MiB
    if (m->Initialize2(elements, 1, 1, 1, values, 1, dataFormatFloat64, type) != S_OK) return 12;
    for (LONG i = 0; i < elements && rc == 0; ++i) {
      vq::ComPtr<IUnknown> u;
      if (m->get_DataPtr(i, 0, 0, 0, u.put()) != S_OK) rc = 13;
      VQDataBuffer b{};
      if (rc == 0 && FAILED(u.query<IVQData>()->GetDataBuffer(&b))) rc = 14;
      for (LONG k = 0; rc == 0 && k < values; ++k) b.pDouble[k] = i * 1e6 + k;
    }
    for (LONG i = 0; i < elements && rc == 0; ++i) {
      vq::ComPtr<IUnknown> u;
      if (m->get_ConstDataPtr(i, 0, 0, 0, 0, u.put()) != S_OK) rc = 15;
      VQDataBuffer b{};
      if (rc == 0 && FAILED(u.query<IVQData>()->GetDataBuffer(&b))) rc = 16;
      for (LONG k = 0; rc == 0 && k < values; ++k)
        if (b.pDouble[k] != i * 1e6 + k) rc = 17;
    }
  }
  CoUninitialize();
  return rc;
}

TEST_P(KindSwapTest, MatrixLargerThanItsMemoryCgroup) {
  // The sanitizers' shadow memory and quarantine count against the limit too.
  if (kSanitized) GTEST_SKIP() << "not meaningful under a sanitizer";
  std::string skip;
  const int status = RunUnderMemoryLimit(
      384ull << 20, [] { return FillAndVerifyInChild(GetParam()); }, &skip);
  if (!skip.empty()) GTEST_SKIP() << skip;
  ASSERT_TRUE(WIFEXITED(status)) << "child killed by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// A tmpfs mounted for one test (mount(2): root only), unmounted and removed
// when the object goes, also when the test stops half-way. Why is empty when
// it is mounted, else says what refused it.
class ScopedTmpfs {
 public:
  explicit ScopedTmpfs(uint64_t bytes) {
    std::string dir = "/tmp/vqtmpfsXXXXXX";
    if (geteuid() != 0) {
      why = "not root: mounting a tmpfs needs CAP_SYS_ADMIN";
    } else if (mkdtemp(dir.data()) == nullptr) {
      why = "no mount point: " + std::string(strerror(errno));
    } else {
      m_Dir = dir;
      const std::string options = "size=" + std::to_string(bytes) + ",mode=0700";
      if (mount("vqtest", dir.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0) {
        m_Mounted = true;
      } else {
        why = "mount refused: " + std::string(strerror(errno));
      }
    }
  }
  ~ScopedTmpfs() {
    if (m_Mounted) umount2(m_Dir.c_str(), MNT_DETACH);
    if (!m_Dir.empty()) rmdir(m_Dir.c_str());
  }
  ScopedTmpfs(const ScopedTmpfs&) = delete;
  ScopedTmpfs& operator=(const ScopedTmpfs&) = delete;
  const std::string& Path() const { return m_Dir; }
  std::string why;

 private:
  std::string m_Dir;
  bool m_Mounted = false;
};

// TMPDIR on a freshly mounted tmpfs, as distributions that mount /tmp so
// have it: a child in a 400 MiB memory cgroup fills a 768 MiB matrix and
// reads it back bit-exact, because the swap file goes to a disk-backed
// folder (memory/SwapFolder.h). The same child with the swap file forced onto
// the tmpfs (VQ_SWAP_DIR) shows what that choice prevents: tmpfs pages are
// charged to the cgroup of the process that writes them and cannot leave
// memory without a swap device, so every swap-out moves values from one part
// of the cgroup's memory to another. The sanitizers' shadow memory and
// quarantine would count against the 400 MiB too, so they skip.
TEST(SwapFolderInCgroup, TmpfsTmpdirKeepsTheBudgetBecauseTheSwapFileGoesToDisk) {
  if (kSanitized) GTEST_SKIP() << "not meaningful under a sanitizer";
  constexpr uint64_t kLimit = 400ull << 20;
  constexpr LONG kElements = 384;  // 2 MiB each: 768 MiB
  ScopedTmpfs tmpfs(1ull << 30);
  if (!tmpfs.why.empty()) GTEST_SKIP() << tmpfs.why;
  ScopedEnv tmpDir("TMPDIR", tmpfs.Path().c_str());
  struct Case {
    bool swapFileOnTmpfs;
    const char* what;
  };
  for (const Case& c : {Case{false, "the swap folder's choice"}, Case{true, "VQ_SWAP_DIR on the tmpfs"}}) {
    SCOPED_TRACE(c.what);
    ScopedEnv swapDir("VQ_SWAP_DIR", c.swapFileOnTmpfs ? tmpfs.Path().c_str() : nullptr);
    std::string skip;
    CgroupOutcome outcome;
    const int status = RunUnderMemoryLimit(
        kLimit, [] { return FillAndVerifyInChild(matrixSingleObject, kElements); }, &skip, &outcome);
    if (!skip.empty()) GTEST_SKIP() << skip;
    const bool killed = WIFSIGNALED(status);
    const std::string told = (testing::Message() << "status " << status << ", peak " << (outcome.peakBytes >> 20)
                                                 << " MiB, OOM kills " << outcome.oomKills)
                                 .GetString();
    RecordProperty(c.swapFileOnTmpfs ? "swap_file_on_tmpfs" : "swap_folder_chosen", told);
    if (!c.swapFileOnTmpfs) {
      ASSERT_FALSE(killed) << told;
      EXPECT_EQ(WEXITSTATUS(status), 0) << told;
      EXPECT_LE(outcome.peakBytes, kLimit) << told;
      continue;
    }
    // Where the limit is enforced (here: cgroup v1, no swap device) the OOM
    // killer ends the child when the cgroup reaches its limit.
    EXPECT_TRUE(killed && WTERMSIG(status) == SIGKILL) << told;
    EXPECT_NE(outcome.oomKills, 0) << told;  // -1: not told
  }
}

// One low reading swaps out only what it takes to get above the threshold:
// after each save the check reads memory afresh instead of acting on the
// reading it had before (which the status cache keeps for 10 ms).
TEST_F(SwapTest, ALowReadingSwapsOutOnlyWhatBringsMemoryBack) {
  if (kSanitized) GTEST_SKIP() << "not meaningful under a sanitizer";
  auto m = NewMatrix(&vq::SystemEnvironment());
  // 64 elements of 1 MiB, one storage object each, all in memory.
  ASSERT_EQ(m->Initialize2(64, 1, 1, 1, 131072, 1, dataFormatFloat64, matrixSingleObject), S_OK);
  Fill(m.get());
  // A budget 16 MiB short of the threshold: about 16 objects must go.
  const uint64_t resident = StatusBytes("VmRSS:");
  vq::SetMemoryBudget(resident + CVQDataMatrix::kLowMemory - (16ull << 20));
  struct Reset {
    ~Reset() { vq::SetMemoryBudget(0); }
  } reset;
  vq::MemoryFreed(vq::SystemEnvironment());
  TraceCapture trace;
  Impl(m.get())->CheckMemoryNow();
  // Only this thread's saves count: the worker may meanwhile reclaim towards
  // its watermarks.
  const size_t swapped = trace.Count("to disk in thread " + std::to_string(GetCurrentThreadId()) + " ");
  EXPECT_GE(swapped, 12u);
  EXPECT_LE(swapped, 24u) << "a stale reading would have swapped out every object";
  vq::SetMemoryBudget(0);
  Verify(m.get());
}

// The memory budget: a child process with a budget fills a matrix of
// 512 MiB and reads it back bit-exact while its resident size stays near the
// budget, so the storage objects must have gone to the swap file.
TEST_P(KindSwapTest, MatrixLargerThanTheMemoryBudget) {
  if (kSanitized) GTEST_SKIP() << "not meaningful under a sanitizer";
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    const uint64_t resident = StatusBytes("VmRSS:");
    const uint64_t budget = resident + CVQDataMatrix::kLowMemory + (64ull << 20);
    vq::SetMemoryBudget(budget);
    int rc = FillAndVerifyInChild(GetParam());
    // Swapping starts below kLowMemory of headroom; allow one refresh
    // interval's worth of filling (a few elements) beyond the budget.
    if (rc == 0 && StatusBytes("VmHWM:") > budget + (32ull << 20)) rc = 20;
    _exit(rc);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status)) << "child killed by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  EXPECT_EQ(WEXITSTATUS(status), 0) << "20: the resident size went past the budget";
}

}  // namespace
}  // namespace vq::test
