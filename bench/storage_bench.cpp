// Element access and swapping, each next to its limit on the same machine:
//
//   - element access in memory (a client walking a 64 x 64 matrix, each
//     element handed out read-only and released again) against the same
//     walk over a std::vector of the same data items: take a counted
//     reference, read one value, release it. That is what the matrix hands a
//     client too (a counted data item), minus the element lookup, the lock,
//     the swap queue and the memory check;
//   - the same access at random positions (a fixed random order of the
//     4096 elements) against AddRef and Release of the items of a std::vector
//     in the same order;
//   - the memory check when memory is not low (CheckMemoryNow), one reading,
//     which an access in memory pays once per 64 accesses while memory is
//     plenty;
//   - swap-out (AllSaveToDisk of elements that were all handed out for
//     writing) and swap-in (touching every element of a saved matrix) against
//     direct (O_DIRECT) sequential writes and reads of the same bytes in the
//     swap file's folder, measured in every round of the figure: once in
//     blocks of the size the swap file transfers (one element, or one 10 MiB
//     buffer of packed elements), once in 10 MiB blocks, and once in blocks
//     of the transfer size each from or into memory of its own: for writes
//     a buffer per block, filled beforehand (a saved object's values lie in
//     memory of their own), for reads a freshly mapped one (where swapped-in
//     values land).
//
// Counters of the swap benchmarks: bytes_per_second (over the manual time),
// direct_same_block, direct_10MiB, direct_same_block_separate (writes) or
// direct_same_block_fresh (reads) (bytes per second of the direct
// transfers) and block_bytes.
#include <algorithm>
#include <map>
#include <memory>
#include <tuple>
#include <vector>

#include "bench/BenchSupport.h"
#include "matrix/VQDataMatrix.h"
#include "memory/FileCache.h"

namespace {

using vqbench::kMiB;

// The walks: 64 x 64 elements.
constexpr LONG kSide = 64;
constexpr LONG kWalkElements = kSide * kSide;

// Filled matrices shared by the benchmarks of one shape (the benchmark
// library calls a function several times while it settles the iteration
// count). Only the most recent shape is kept.
IVQDataMatrix* WalkMatrix(matrixType type, LONG values) {
  static auto* cache = new std::pair<std::tuple<int, LONG>, vq::ComPtr<IVQDataMatrix>>();
  const auto key = std::make_tuple(static_cast<int>(type), values);
  if (cache->first != key || !cache->second) {
    cache->second = nullptr;
    auto m = vqbench::NewMatrix(kSide, kSide, values, type);
    if (m && vqbench::Fill(m.get(), kWalkElements)) cache->second = m;
    cache->first = key;
  }
  return cache->second.get();
}

// --- element access -------------------------------------------------------------

// The limit: a std::vector of counted data items; element i is a counted
// reference taken, one value read, the reference released.
void BM_VectorWalk(benchmark::State& state) {
  const LONG values = static_cast<LONG>(state.range(0));
  std::vector<vq::ComPtr<IVQData>> items;
  for (LONG e = 0; e < kWalkElements; ++e) {
    items.push_back(vqbench::NewItem(values, e));
    if (!items.back()) return state.SkipWithError("item");
  }
  size_t i = 0;
  double sum = 0;
  for (auto _ : state) {
    vq::ComPtr<IVQData> item = items[i];
    VQDataBuffer b{};
    item->GetDataBuffer(&b);
    sum += b.pDouble[0];
    benchmark::DoNotOptimize(sum);
    i = (i + 1) % items.size();
  }
}
BENCHMARK(BM_VectorWalk)->ArgName("values")->Arg(64)->Arg(4096);

// Only for reading the figures: indexing a std::vector of value vectors and
// reading one value, the floor of any element access.
void BM_PlainVectorWalk(benchmark::State& state) {
  const size_t values = static_cast<size_t>(state.range(0));
  std::vector<std::vector<double>> items(kWalkElements, std::vector<double>(values, 1.0));
  size_t i = 0;
  double sum = 0;
  for (auto _ : state) {
    sum += items[i][0];
    benchmark::DoNotOptimize(sum);
    i = (i + 1) % items.size();
  }
}
BENCHMARK(BM_PlainVectorWalk)->ArgName("values")->Arg(64)->Arg(4096);

// get_ConstDataPtr + Release of the elements in turn.
void BM_AccessWalk(benchmark::State& state) {
  IVQDataMatrix* m = WalkMatrix(static_cast<matrixType>(state.range(0)), static_cast<LONG>(state.range(1)));
  if (m == nullptr) return state.SkipWithError("matrix");
  LONG i = 0;
  for (auto _ : state) {
    IUnknown* item = nullptr;
    m->get_ConstDataPtr(i % kSide, i / kSide, 0, 0, 0, &item);
    benchmark::DoNotOptimize(item);
    item->Release();
    i = (i + 1) % kWalkElements;
  }
}
BENCHMARK(BM_AccessWalk)->ArgNames({"multi", "values"})->ArgsProduct({{0, 1}, {64, 4096}});

// As a client reads a value: get_ConstDataPtr, QueryInterface for IVQData,
// GetDataBuffer, one value, both references released.
void BM_AccessReadWalk(benchmark::State& state) {
  IVQDataMatrix* m = WalkMatrix(static_cast<matrixType>(state.range(0)), static_cast<LONG>(state.range(1)));
  if (m == nullptr) return state.SkipWithError("matrix");
  LONG i = 0;
  double sum = 0;
  for (auto _ : state) {
    vq::ComPtr<IUnknown> unknown;
    m->get_ConstDataPtr(i % kSide, i / kSide, 0, 0, 0, unknown.put());
    auto item = unknown.query<IVQData>();
    VQDataBuffer b{};
    item->GetDataBuffer(&b);
    sum += b.pDouble[0];
    benchmark::DoNotOptimize(sum);
    i = (i + 1) % kWalkElements;
  }
}
BENCHMARK(BM_AccessReadWalk)->ArgNames({"multi", "values"})->ArgsProduct({{0, 1}, {64, 4096}});

// --- element access at random positions ---------------------------------------

// One fixed random order of the walk's elements, shared by the figure and its
// limit, so both touch the same items in the same order.
const std::vector<LONG>& RandomOrder() {
  static const std::vector<LONG> order = [] {
    std::vector<LONG> v(kWalkElements);
    for (LONG e = 0; e < kWalkElements; ++e) v[static_cast<size_t>(e)] = e;
    uint64_t x = 0x9E3779B97F4A7C15ull;  // a fixed xorshift sequence: the same order in every run
    for (size_t k = v.size() - 1; k > 0; --k) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      std::swap(v[k], v[static_cast<size_t>(x % (k + 1))]);
    }
    return v;
  }();
  return order;
}

// The limit of the random access: the std::vector of counted data items,
// AddRef and Release of the item at each position in the random order.
void BM_VectorRandom(benchmark::State& state) {
  const LONG values = static_cast<LONG>(state.range(0));
  std::vector<vq::ComPtr<IVQData>> items;
  for (LONG e = 0; e < kWalkElements; ++e) {
    items.push_back(vqbench::NewItem(values, e));
    if (!items.back()) return state.SkipWithError("item");
  }
  const std::vector<LONG>& order = RandomOrder();
  size_t i = 0;
  for (auto _ : state) {
    IVQData* item = items[static_cast<size_t>(order[i])].get();
    item->AddRef();
    benchmark::DoNotOptimize(item);
    item->Release();
    i = (i + 1) % order.size();
  }
}
BENCHMARK(BM_VectorRandom)->ArgName("values")->Arg(64);

// get_ConstDataPtr + Release at the positions of the random order.
void BM_AccessRandom(benchmark::State& state) {
  IVQDataMatrix* m = WalkMatrix(static_cast<matrixType>(state.range(0)), static_cast<LONG>(state.range(1)));
  if (m == nullptr) return state.SkipWithError("matrix");
  const std::vector<LONG>& order = RandomOrder();
  size_t i = 0;
  for (auto _ : state) {
    const LONG e = order[i];
    IUnknown* item = nullptr;
    m->get_ConstDataPtr(e % kSide, e / kSide, 0, 0, 0, &item);
    benchmark::DoNotOptimize(item);
    item->Release();
    i = (i + 1) % order.size();
  }
}
BENCHMARK(BM_AccessRandom)->ArgNames({"multi", "values"})->ArgsProduct({{0, 1}, {64}});

// The memory check when memory is not low (the real memory status, cached).
void BM_CheckMemoryNow(benchmark::State& state) {
  IVQDataMatrix* m = WalkMatrix(matrixSingleObject, 64);
  if (m == nullptr) return state.SkipWithError("matrix");
  auto* impl = static_cast<CVQDataMatrix*>(m);
  for (auto _ : state) impl->CheckMemoryNow();
}
BENCHMARK(BM_CheckMemoryNow);

// --- swapping ---------------------------------------------------------------------

// 128 MiB of elements of `elementBytes` each.
constexpr uint64_t kSwapBytes = 128 * kMiB;

struct SwapMatrix {
  vq::ComPtr<IVQDataMatrix> m;
  LONG elements = 0;
  uint64_t blockBytes = 0;  // one swap-file transfer
};

SwapMatrix NewSwapMatrix(matrixType type, uint64_t elementBytes) {
  SwapMatrix s;
  s.elements = static_cast<LONG>(kSwapBytes / elementBytes);
  s.m = vqbench::NewMatrix(s.elements, 1, static_cast<LONG>(elementBytes / 8), type);
  if (s.m) {
    const auto* impl = static_cast<const CVQDataMatrix*>(s.m.get());
    s.blockBytes = type == matrixSingleObject ? elementBytes : elementBytes * impl->ElementsPerData();
  }
  return s;
}

// The limits, measured once per round of the figure (before it in even
// rounds, after it in odd ones) so that both see the same state of a shared
// disk: one direct pass over the same bytes in blocks of the swap file's
// transfer size, one in 10 MiB blocks and one in blocks of the transfer size
// from a filled buffer per block (writes) or into freshly mapped buffers
// (reads), as the swap file transfers.
class DirectLimits {
 public:
  DirectLimits(bool write, uint64_t blockBytes)
      : m_Write(write), m_Same(blockBytes), m_Large(10 * kMiB), m_SameFile(true), m_LargeFile(true) {
    m_Ok = m_SameFile.IsOpen() && m_LargeFile.IsOpen() && m_Buffer.data() != nullptr &&
           vqbench::SequentialPass(m_SameFile.Fd(), true, m_Buffer.data(), m_Same, kSwapBytes) >= 0 &&
           vqbench::SequentialPass(m_LargeFile.Fd(), true, m_Buffer.data(), m_Large, kSwapBytes) >= 0;
  }
  // Call before the figure's round and after it; measures in one of the two.
  void Round(bool before) {
    if (before != (m_Rounds % 2 == 0)) return;
    const double same = vqbench::SequentialPass(m_SameFile.Fd(), m_Write, m_Buffer.data(), m_Same, kSwapBytes);
    const double large = vqbench::SequentialPass(m_LargeFile.Fd(), m_Write, m_Buffer.data(), m_Large, kSwapBytes);
    const double fresh = m_Write ? vqbench::SeparateWritePass(m_SameFile.Fd(), m_Same, kSwapBytes)
                                 : vqbench::FreshReadPass(m_SameFile.Fd(), m_Same, kSwapBytes);
    m_Ok = m_Ok && same > 0 && large > 0 && fresh > 0;
    m_SameSeconds += same;
    m_LargeSeconds += large;
    m_FreshSeconds += fresh;
    ++m_Rounds;
  }
  void Report(benchmark::State& state, const SwapMatrix& s) const {
    state.SetBytesProcessed(static_cast<int64_t>(kSwapBytes) * static_cast<int64_t>(state.iterations()));
    if (!m_Ok || m_Rounds == 0) return state.SkipWithError("direct I/O refused or failed in the swap folder");
    const double bytes = static_cast<double>(kSwapBytes) * m_Rounds;
    state.counters["direct_same_block"] = bytes / m_SameSeconds;
    state.counters["direct_10MiB"] = bytes / m_LargeSeconds;
    state.counters[m_Write ? "direct_same_block_separate" : "direct_same_block_fresh"] = bytes / m_FreshSeconds;
    state.counters["block_bytes"] = static_cast<double>(s.blockBytes);
    state.counters["swap_file_direct"] = static_cast<CVQDataMatrix*>(s.m.get())->FileCache()->IsDirect() ? 1 : 0;
  }

 private:
  bool m_Write;
  uint64_t m_Same, m_Large;
  vqbench::ScratchFile m_SameFile, m_LargeFile;
  vqbench::AlignedBuffer m_Buffer{10 * kMiB};
  bool m_Ok = false;
  double m_SameSeconds = 0, m_LargeSeconds = 0, m_FreshSeconds = 0;
  int m_Rounds = 0;
};

// AllSaveToDisk of a matrix whose elements were all handed out for writing.
// Arguments: kind, element size in KiB.
void BM_SwapOut(benchmark::State& state) {
  const auto type = static_cast<matrixType>(state.range(0));
  SwapMatrix s = NewSwapMatrix(type, static_cast<uint64_t>(state.range(1)) * 1024);
  if (!s.m) return state.SkipWithError("matrix");
  // The first save lays the blocks out; the measured ones rewrite them.
  if (!vqbench::Fill(s.m.get(), s.elements) || s.m->AllSaveToDisk() != S_OK) {
    return state.SkipWithError("first save");
  }
  DirectLimits limits(true, s.blockBytes);
  double salt = 1;
  for (auto _ : state) {
    if (!vqbench::Fill(s.m.get(), s.elements, true, salt++)) return state.SkipWithError("dirty");
    limits.Round(true);
    const auto start = std::chrono::steady_clock::now();
    s.m->AllSaveToDisk();
    state.SetIterationTime(vqbench::Since(start));
    limits.Round(false);
  }
  limits.Report(state, s);
}
BENCHMARK(BM_SwapOut)
    ->ArgNames({"multi", "KiB"})
    ->ArgsProduct({{0, 1}, {64, 1024}})
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(5);

// Every element of a saved matrix touched in order (get_ConstDataPtr +
// Release), which reads it back; the matrix is saved again, untimed, before
// the next round (unchanged elements are dropped without a write).
void BM_SwapIn(benchmark::State& state) {
  const auto type = static_cast<matrixType>(state.range(0));
  SwapMatrix s = NewSwapMatrix(type, static_cast<uint64_t>(state.range(1)) * 1024);
  if (!s.m) return state.SkipWithError("matrix");
  if (!vqbench::Fill(s.m.get(), s.elements)) return state.SkipWithError("fill");
  DirectLimits limits(false, s.blockBytes);
  double check = 0;
  for (auto _ : state) {
    if (s.m->AllSaveToDisk() != S_OK) return state.SkipWithError("save");
    limits.Round(true);
    const auto start = std::chrono::steady_clock::now();
    for (LONG e = 0; e < s.elements; ++e) {
      IUnknown* item = nullptr;
      if (s.m->get_ConstDataPtr(e, 0, 0, 0, 0, &item) != S_OK || item == nullptr) {
        return state.SkipWithError("read back");
      }
      item->Release();
    }
    state.SetIterationTime(vqbench::Since(start));
    limits.Round(false);
    vq::ComPtr<IUnknown> last;
    s.m->get_ConstDataPtr(s.elements - 1, 0, 0, 0, 0, last.put());
    VQDataBuffer b{};
    last.query<IVQData>()->GetDataBuffer(&b);
    check += b.pDouble[1];
  }
  if (check != static_cast<double>(state.iterations()) * vqbench::ValueOf(s.elements - 1, 1)) {
    return state.SkipWithError("values read back differ");
  }
  limits.Report(state, s);
}
BENCHMARK(BM_SwapIn)
    ->ArgNames({"multi", "KiB"})
    ->ArgsProduct({{0, 1}, {64, 1024}})
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(5);

}  // namespace
