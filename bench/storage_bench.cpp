// The two storage kinds compared: element access (get_ConstDataPtr and
// Release of elements in turn) and swap-out throughput (AllSaveToDisk of
// elements that were handed out for writing), the latter against the direct
// (O_DIRECT) write bandwidth of the swap file's folder measured in the same
// run. Also the cost of an in-memory get_ConstDataPtr + Release of one
// element and of a memory check when memory is not low.
//
// Counters: bytes_per_second for throughput; direct_fraction = swap-out
// throughput / direct write bandwidth for the same block size (the goal is at
// least 0.8 for 10 MiB blocks).
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "VQDataMatrixLib.h"
#include "matrix/VQDataMatrix.h"
#include "memory/FileCache.h"

namespace {

constexpr uint64_t kMiB = 1ull << 20;

// Tracing off whatever the user's settings, and one apartment for the run.
void Setup() {
  static bool done = [] {
    char pattern[] = "/tmp/vqstoragebench-XXXXXX";
    if (mkdtemp(pattern) != nullptr) setenv("VQ_CONFIG_DIR", pattern, 1);
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    return true;
  }();
  (void)done;
}

vq::ComPtr<IVQDataMatrix> NewMatrix(LONG elements, LONG values, matrixType type) {
  vq::ComPtr<IVQDataMatrix> m;
  if (FAILED(CoCreateInstance(CLSID_VQDataMatrix, nullptr, CLSCTX_INPROC_SERVER, IID_IVQDataMatrix, m.put_void())) ||
      m->Initialize2(elements, 1, 1, 1, values, 1, dataFormatFloat64, type) != S_OK) {
    return nullptr;
  }
  return m;
}

// Hands every element out for writing and changes one value, so that the
// next save has to write everything.
bool Dirty(IVQDataMatrix* m, LONG elements, double salt) {
  for (LONG i = 0; i < elements; ++i) {
    vq::ComPtr<IUnknown> u;
    if (m->get_DataPtr(i, 0, 0, 0, u.put()) != S_OK) return false;
    auto item = u.query<IVQData>();
    VQDataBuffer b{};
    if (!item || FAILED(item->GetDataBuffer(&b)) || b.pDouble == nullptr) return false;
    b.pDouble[0] = salt + i;
  }
  return true;
}

// Bytes per second of rewriting `blocks` blocks of `blockBytes` in place
// with O_DIRECT, in the folder the swap file goes to; the best of five
// rounds after one that lays the file out. 0 when direct I/O is refused.
double DirectWriteBandwidth(uint64_t blockBytes, int blocks) {
  const char* tmp = getenv("TMPDIR");
  std::string path = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/vqdirectbenchXXXXXX";
  std::vector<char> name(path.begin(), path.end());
  name.push_back('\0');
  int fd = mkstemp(name.data());
  if (fd < 0) return 0;
  unlink(name.data());
  const int flags = fcntl(fd, F_GETFL);
  void* buffer = nullptr;
  double best = 0;
  if (flags >= 0 && fcntl(fd, F_SETFL, flags | O_DIRECT) == 0 && posix_memalign(&buffer, 4096, blockBytes) == 0) {
    std::memset(buffer, 0x5a, blockBytes);
    for (int round = 0; round < 6; ++round) {
      const auto start = std::chrono::steady_clock::now();
      bool ok = true;
      for (int b = 0; b < blocks && ok; ++b) {
        ok = pwrite(fd, buffer, blockBytes, static_cast<off_t>(b * blockBytes)) == static_cast<ssize_t>(blockBytes);
      }
      const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      if (!ok) {
        best = 0;
        break;
      }
      if (round > 0) best = std::max(best, static_cast<double>(blocks * blockBytes) / seconds);
    }
  }
  free(buffer);
  close(fd);
  return best;
}

// --- issue figures -----------------------------------------------------------

// One in-memory element handed out read-only and released again, as a
// client walking a matrix does. Arguments: kind, values per element.
void BM_ConstDataPtrRelease(benchmark::State& state) {
  Setup();
  const auto type = static_cast<matrixType>(state.range(0));
  const LONG values = static_cast<LONG>(state.range(1));
  auto m = NewMatrix(1, values, type);
  if (!m) return state.SkipWithError("matrix");
  for (auto _ : state) {
    IUnknown* item = nullptr;
    m->get_ConstDataPtr(0, 0, 0, 0, 0, &item);
    benchmark::DoNotOptimize(item);
    item->Release();
  }
}
BENCHMARK(BM_ConstDataPtrRelease)->ArgNames({"multi", "values"})->Args({0, 1024})->Args({1, 1024});

// The memory check when memory is not low (the real memory status).
void BM_CheckMemoryNow(benchmark::State& state) {
  Setup();
  auto m = NewMatrix(4, 1024, matrixSingleObject);
  if (!m) return state.SkipWithError("matrix");
  auto* impl = static_cast<CVQDataMatrix*>(m.get());
  for (auto _ : state) impl->CheckMemoryNow();
}
BENCHMARK(BM_CheckMemoryNow);

// --- element access ------------------------------------------------------------

// Elements read in turn (each released before the next), 64 elements.
void BM_ElementWalk(benchmark::State& state) {
  Setup();
  const auto type = static_cast<matrixType>(state.range(0));
  const LONG values = static_cast<LONG>(state.range(1));
  constexpr LONG kElements = 64;
  auto m = NewMatrix(kElements, values, type);
  if (!m) return state.SkipWithError("matrix");
  LONG i = 0;
  for (auto _ : state) {
    IUnknown* item = nullptr;
    m->get_ConstDataPtr(i, 0, 0, 0, 0, &item);
    benchmark::DoNotOptimize(item);
    item->Release();
    i = (i + 1) % kElements;
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * values * 8);
}
BENCHMARK(BM_ElementWalk)
    ->ArgNames({"multi", "values"})
    ->Args({0, 64})
    ->Args({1, 64})
    ->Args({0, 4096})
    ->Args({1, 4096})
    ->Args({0, 131072})
    ->Args({1, 131072});

// --- swap-out --------------------------------------------------------------------

// Direct write bandwidth for blocks of the given MiB (8 blocks).
void BM_DirectWrite(benchmark::State& state) {
  const uint64_t block = static_cast<uint64_t>(state.range(0)) * kMiB;
  double rate = 0;
  for (auto _ : state) rate = DirectWriteBandwidth(block, 8);
  if (rate == 0) return state.SkipWithError("O_DIRECT refused here");
  state.counters["bytes_per_second"] = rate;
}
BENCHMARK(BM_DirectWrite)->ArgName("MiB")->Arg(1)->Arg(10)->Iterations(1)->Unit(benchmark::kMillisecond);

// AllSaveToDisk of an 80 MiB matrix whose elements were all handed out for
// writing. Arguments: kind, element size in MiB (multi-object storage packs
// 1 MiB elements ten to a 10 MiB block).
void BM_SwapOut(benchmark::State& state) {
  Setup();
  const auto type = static_cast<matrixType>(state.range(0));
  const uint64_t elementBytes = static_cast<uint64_t>(state.range(1)) * kMiB;
  const LONG elements = static_cast<LONG>(80 * kMiB / elementBytes);
  auto m = NewMatrix(elements, static_cast<LONG>(elementBytes / 8), type);
  if (!m) return state.SkipWithError("matrix");
  auto* impl = static_cast<CVQDataMatrix*>(m.get());
  const uint64_t blockBytes = type == matrixSingleObject ? elementBytes : std::max<uint64_t>(elementBytes, 10 * kMiB);
  // The first save lays the blocks out; the measured ones rewrite them.
  if (!Dirty(m.get(), elements, 0) || m->AllSaveToDisk() != S_OK) return state.SkipWithError("first save");
  double salt = 1;
  double seconds = 0;
  for (auto _ : state) {
    if (!Dirty(m.get(), elements, salt++)) return state.SkipWithError("dirty");
    const auto start = std::chrono::steady_clock::now();
    m->AllSaveToDisk();
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.SetIterationTime(took);
    seconds += took;
  }
  const double rate = static_cast<double>(elements) * static_cast<double>(elementBytes) *
                      static_cast<double>(state.iterations()) / seconds;
  const double direct = DirectWriteBandwidth(blockBytes, static_cast<int>(80 * kMiB / blockBytes));
  state.counters["bytes_per_second"] = rate;
  state.counters["direct_bytes_per_second"] = direct;
  state.counters["direct_fraction"] = direct > 0 ? rate / direct : 0;
  state.counters["block_MiB"] = static_cast<double>(blockBytes / kMiB);
  state.counters["swap_file_direct"] = impl->FileCache()->IsDirect() ? 1 : 0;
}
BENCHMARK(BM_SwapOut)
    ->ArgNames({"multi", "MiB"})
    ->Args({0, 1})
    ->Args({1, 1})
    ->Args({0, 10})
    ->Args({1, 10})
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(8);

}  // namespace
