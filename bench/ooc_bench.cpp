// An out-of-core sweep: a matrix six times the memory it may keep resident,
// read in order element by element, every value summed, against a model of
// what the sweep cannot avoid:
//
//   model time = bytes read back from the swap file / direct read bandwidth
//                + time of the same sweep over the same matrix in memory.
//
// The budget (vq::SetMemoryBudget, process-wide, hence a program of its own)
// is the resident size before the matrix plus the low-memory threshold plus
// 128 MiB, so that about 128 MiB of the 768 MiB matrix stay in memory. The
// bytes read back are counted by the matrix's environment, whose swap-file
// calls forward to the real ones; the direct read bandwidth is measured in the swap
// file's folder with the transfer size of the swap file (one 1 MiB element,
// or one 10 MiB buffer of packed elements), one pass over as many bytes as
// the matrix holds after every sweep, so that a disk shared with other work
// is measured in the same state. A second pass reads into freshly mapped
// buffers, as the swap file does, and gives a second model (model_fresh).
//
// Counters: bytes_per_second (of the sweeps); per sweep read_back_bytes,
// written_bytes, read_call_seconds and write_call_seconds (time inside the
// swap file's system calls); in_memory_seconds; direct_read and
// direct_read_fresh (bytes per second); model_seconds, model_fresh_seconds
// and of_model (model time / sweep time); resident_min and resident_max
// (during the sweeps); fill_seconds (filling the matrix under the budget,
// which swaps out as it goes), fill_written_bytes and fill_read_bytes.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>

#include "bench/BenchSupport.h"
#include "matrix/VQDataMatrix.h"
#include "memory/Environment.h"
#include "memory/MemoryBudget.h"

namespace {

using vqbench::kMiB;

using namespace vqbench::large;
constexpr uint64_t kResidentBytes = 128 * kMiB;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The real system, with the swap file's calls counting the bytes moved and
// the nanoseconds spent in them.
class CountingEnvironment : public vq::Environment, public vq::SwapFileOps {
 public:
  vq::SwapFileOps& SwapFile() override { return *this; }
  bool MemoryStatus(MEMORYSTATUSEX* status) override { return System().MemoryStatus(status); }
  void MemoryFreed() override { System().MemoryFreed(); }
  uint64_t ResidentBytes() override { return System().ResidentBytes(); }
  uint64_t NowMs() override { return System().NowMs(); }
  void* AllocateLarge(size_t bytes) override { return System().AllocateLarge(bytes); }
  void FreeLarge(void* buffer, size_t bytes) override { System().FreeLarge(buffer, bytes); }

  ssize_t WriteAt(int fd, const void* data, size_t size, uint64_t offset, int* error) override {
    const auto start = std::chrono::steady_clock::now();
    const ssize_t n = SwapFileOps::WriteAt(fd, data, size, offset, error);
    writeNs += Nanoseconds(start);
    if (n > 0) written += static_cast<uint64_t>(n);
    return n;
  }
  ssize_t ReadAt(int fd, void* data, size_t size, uint64_t offset, int* error) override {
    const auto start = std::chrono::steady_clock::now();
    const ssize_t n = SwapFileOps::ReadAt(fd, data, size, offset, error);
    readNs += Nanoseconds(start);
    if (n > 0) read += static_cast<uint64_t>(n);
    return n;
  }
  std::atomic<uint64_t> written{0}, read{0}, writeNs{0}, readNs{0};

 private:
  static vq::Environment& System() { return vq::SystemEnvironment(); }
  static uint64_t Nanoseconds(std::chrono::steady_clock::time_point start) {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start).count());
  }
};

// One sweep: every element handed out read-only in order and all its values
// summed. Returns the sum (NaN when an element could not be had); samples
// the resident size after each element when `resident` is given.
double Sweep(IVQDataMatrix* m, uint64_t* residentMin = nullptr, uint64_t* residentMax = nullptr) {
  double sum = 0;
  for (LONG e = 0; e < kElements; ++e) {
    vq::ComPtr<IUnknown> unknown;
    if (m->get_ConstDataPtr(e % kD1, e / kD1, 0, 0, 0, unknown.put()) != S_OK || !unknown) return kNaN;
    auto item = unknown.query<IVQData>();
    VQDataBuffer b{};
    if (!item || FAILED(item->GetDataBuffer(&b)) || b.pDouble == nullptr) return kNaN;
    double a[8] = {};
    for (LONG k = 0; k + 8 <= kValues; k += 8)
      for (int w = 0; w < 8; ++w) a[w] += b.pDouble[k + w];
    for (double x : a) sum += x;
    if (residentMin != nullptr) {
      const uint64_t r = vqbench::ResidentBytes();
      *residentMin = std::min(*residentMin, r);
      *residentMax = std::max(*residentMax, r);
    }
  }
  return sum;
}

double ExpectedSum() {
  // Fill gives element e the values e * 1e-3 + k, k = 0 .. kValues - 1.
  double sum = 0;
  for (LONG e = 0; e < kElements; ++e) sum += kValues * (e * 1e-3) + 0.5 * kValues * (kValues - 1.0);
  return sum;
}

bool Close(double a, double b) { return std::abs(a - b) <= 1e-9 * std::abs(b); }

// Arguments: kind.
void BM_OutOfCoreSweep(benchmark::State& state) {
  vqbench::Setup();
  const auto type = static_cast<matrixType>(state.range(0));
  const double expected = ExpectedSum();

  // The same sweep with everything in memory (no budget): best of three.
  double inMemory = 0;
  uint64_t blockBytes = kElementBytes;
  {
    auto m = vqbench::NewMatrix(kD1, kD2, kValues, type);
    if (!m || !vqbench::Fill(m.get(), kElements)) return state.SkipWithError("in-memory matrix");
    if (type == matrixMultipleObjects) blockBytes *= static_cast<CVQDataMatrix*>(m.get())->ElementsPerData();
    for (int r = 0; r < 3; ++r) {
      const auto start = std::chrono::steady_clock::now();
      const double sum = Sweep(m.get());
      const double seconds = vqbench::Since(start);
      if (!Close(sum, expected)) return state.SkipWithError("in-memory sum");
      inMemory = r == 0 ? seconds : std::min(inMemory, seconds);
    }
  }
  // The direct read limit: one pass after every sweep, over a file laid out
  // now (before the budget, whose accounting it must not disturb).
  constexpr uint64_t kDirectBytes = kDataBytes;
  vqbench::ScratchFile direct(true);
  vqbench::AlignedBuffer buffer(blockBytes);
  if (!direct.IsOpen() || buffer.data() == nullptr ||
      vqbench::SequentialPass(direct.Fd(), true, buffer.data(), blockBytes, kDirectBytes) < 0) {
    return state.SkipWithError("direct I/O refused in the swap folder");
  }
  double directSeconds = 0, freshSeconds = 0;

  // The matrix under the budget.
  CountingEnvironment ops;
  vq::ComPtr<IVQDataMatrix> m;
  if (FAILED(CoCreateInstance(CLSID_VQDataMatrix, nullptr, CLSCTX_INPROC_SERVER, IID_IVQDataMatrix, m.put_void())) ||
      static_cast<CVQDataMatrix*>(m.get())->UseEnvironment(ops) != S_OK ||
      m->Initialize2(kD1, kD2, 1, 1, kValues, 1, dataFormatFloat64, type) != S_OK) {
    return state.SkipWithError("matrix");
  }
  const uint64_t budget = vqbench::ResidentBytes() + CVQDataMatrix::kLowMemory + kResidentBytes;
  vq::SetMemoryBudget(budget);
  const auto fillStart = std::chrono::steady_clock::now();
  const bool filled = vqbench::Fill(m.get(), kElements);
  const double fillSeconds = vqbench::Since(fillStart);
  const uint64_t fillWritten = ops.written.load(), fillRead = ops.read.load();
  if (!filled) {
    vq::SetMemoryBudget(0);
    return state.SkipWithError("fill");
  }

  uint64_t residentMin = UINT64_MAX, residentMax = 0;
  const uint64_t read0 = ops.read.load(), written0 = ops.written.load();
  const uint64_t readNs0 = ops.readNs.load(), writeNs0 = ops.writeNs.load();
  bool ok = true;
  double swept = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    const double sum = Sweep(m.get(), &residentMin, &residentMax);
    const double seconds = vqbench::Since(start);
    state.SetIterationTime(seconds);
    swept += seconds;
    ok = ok && Close(sum, expected);
    const double pass = vqbench::SequentialPass(direct.Fd(), false, buffer.data(), blockBytes, kDirectBytes);
    const double fresh = vqbench::FreshReadPass(direct.Fd(), blockBytes, kDirectBytes);
    ok = ok && pass > 0 && fresh > 0;
    directSeconds += pass;
    freshSeconds += fresh;
  }
  vq::SetMemoryBudget(0);
  if (!ok) return state.SkipWithError("values read back differ, or a direct read failed");

  const double sweeps = static_cast<double>(state.iterations());
  const double readBack = static_cast<double>(ops.read.load() - read0) / sweeps;
  const double directRead = static_cast<double>(kDirectBytes) * sweeps / directSeconds;
  const double freshRead = static_cast<double>(kDirectBytes) * sweeps / freshSeconds;
  const double model = readBack / directRead + inMemory;
  state.SetBytesProcessed(static_cast<int64_t>(kDataBytes) * static_cast<int64_t>(state.iterations()));
  state.counters["in_memory_seconds"] = inMemory;
  state.counters["read_back_bytes"] = readBack;
  state.counters["written_bytes"] = static_cast<double>(ops.written.load() - written0) / sweeps;
  state.counters["direct_read"] = directRead;
  state.counters["direct_read_fresh"] = freshRead;
  state.counters["model_fresh_seconds"] = readBack / freshRead + inMemory;
  state.counters["read_call_seconds"] = static_cast<double>(ops.readNs.load() - readNs0) * 1e-9 / sweeps;
  state.counters["write_call_seconds"] = static_cast<double>(ops.writeNs.load() - writeNs0) * 1e-9 / sweeps;
  state.counters["block_bytes"] = static_cast<double>(blockBytes);
  state.counters["model_seconds"] = model;
  state.counters["of_model"] = model / (swept / sweeps);
  state.counters["budget"] = static_cast<double>(budget);
  state.counters["resident_min"] = static_cast<double>(residentMin);
  state.counters["resident_max"] = static_cast<double>(residentMax);
  state.counters["fill_seconds"] = fillSeconds;
  state.counters["fill_written_bytes"] = static_cast<double>(fillWritten);
  state.counters["fill_read_bytes"] = static_cast<double>(fillRead);
  state.counters["data_bytes"] = static_cast<double>(kDataBytes);
}
BENCHMARK(BM_OutOfCoreSweep)
    ->ArgName("multi")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(3);

}  // namespace
