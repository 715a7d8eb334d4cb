// A paced acquisition: a measurement front end puts one new 1 MiB spectrum
// at a time into a matrix three times larger than the memory it may keep
// resident, at a steady pace, and what matters is how long each put makes
// the front end wait, not the total.
//
// One put is: create a data item, fill its values, put_DataPtr it into the
// next element, release it. The same work without the matrix (create, fill,
// release) runs first in the same process at the same pace; every figure is
// reported against it.
//
// The budget (vq::SetMemoryBudget, process-wide, hence a program of its own)
// is the resident size before the matrix plus 256 MiB, a third of the
// 768 MiB matrix. The pace is half a direct write bandwidth of the swap
// file's folder, measured with 1 MiB blocks just before, so that a put that
// waits long waits for the matrix's own scheduling of its saves, not for the
// disk. Two bandwidths, one run each (argument "fresh"): that of writes into
// space the file never had (1), which is what the acquisition's saves are,
// since the data swapped out only grows; and that of rewriting written space
// (0). Where the file system writes new space at about half the speed of a
// rewrite (as here), the second pace is about all the disk can take for this
// workload, and the saves cannot keep up with it for long.
//
// Counters (seconds): put_p50, put_p99, put_p999 and the same of plain_*
// (without the matrix); over_10x and plain_over_10x, the puts that took more
// than ten times the median put without the matrix; direct_write and
// direct_write_fresh (bytes per second) and pace_seconds (one put's slot); written_bytes (to the swap file
// during the acquisition) and resident_max.
#include <algorithm>
#include <thread>
#include <vector>

#include "bench/BenchSupport.h"
#include "memory/FileCache.h"
#include "memory/MemoryBudget.h"

namespace {

using vqbench::kMiB;

using namespace vqbench::large;
constexpr uint64_t kBudgetBytes = 256 * kMiB;

using Clock = std::chrono::steady_clock;

// Runs `put(e)` for every element, one every `pace` seconds from the start
// (at once when behind), and returns each put's seconds; empty when a put
// failed.
template <typename Put>
std::vector<double> Paced(double pace, uint64_t* residentMax, Put put) {
  std::vector<double> seconds;
  seconds.reserve(kElements);
  const auto start = Clock::now();
  for (LONG e = 0; e < kElements; ++e) {
    std::this_thread::sleep_until(start + std::chrono::duration_cast<Clock::duration>(
                                              std::chrono::duration<double>(pace * static_cast<double>(e))));
    const auto t = Clock::now();
    if (!put(e)) return {};
    seconds.push_back(vqbench::Since(t));
    *residentMax = std::max(*residentMax, vqbench::ResidentBytes());
  }
  return seconds;
}

double Quantile(std::vector<double> v, double q) {
  std::sort(v.begin(), v.end());
  const size_t i = std::min(v.size() - 1, static_cast<size_t>(q * static_cast<double>(v.size())));
  return v[i];
}

double CountOver(const std::vector<double>& v, double limit) {
  return static_cast<double>(std::count_if(v.begin(), v.end(), [limit](double s) { return s > limit; }));
}

// Arguments: kind, pace (1: from the bandwidth of writes into new space, 0:
// from that of rewrites).
void BM_PacedAcquisition(benchmark::State& state) {
  vqbench::Setup();
  const auto type = static_cast<matrixType>(state.range(0));
  const double directWrite = vqbench::DirectBandwidth(true, kElementBytes, 256 * kMiB);
  const double directFresh = vqbench::DirectFreshWriteBandwidth(kElementBytes, 256 * kMiB);
  if (directWrite <= 0 || directFresh <= 0) return state.SkipWithError("direct I/O refused in the swap folder");
  const double pace = static_cast<double>(kElementBytes) / ((state.range(1) != 0 ? directFresh : directWrite) / 2);

  for (auto _ : state) {
    uint64_t plainResident = 0;
    const std::vector<double> plain =
        Paced(pace, &plainResident, [](LONG e) { return !!vqbench::NewItem(kValues, e); });
    if (plain.empty()) return state.SkipWithError("data item");

    auto m = vqbench::NewMatrix(kD1, kD2, kValues, type);
    if (!m) return state.SkipWithError("matrix");
    const uint64_t before = vqbench::ResidentBytes();
    vq::SetMemoryBudget(before + kBudgetBytes);
    const vq::SwapTransferCounts swapped0 = vq::SwapTransfers();
    uint64_t residentMax = 0;
    const auto start = Clock::now();
    const std::vector<double> puts = Paced(pace, &residentMax, [&m](LONG e) {
      auto item = vqbench::NewItem(kValues, e);
      return item && m->put_DataPtr(e % kD1, e / kD1, 0, 0, item.get()) == S_OK;
    });
    state.SetIterationTime(vqbench::Since(start));
    const vq::SwapTransferCounts swapped1 = vq::SwapTransfers();
    m = nullptr;
    vq::SetMemoryBudget(0);
    if (puts.empty()) return state.SkipWithError("put");

    const double plainMedian = Quantile(plain, 0.5);
    state.counters["plain_p50"] = plainMedian;
    state.counters["plain_p99"] = Quantile(plain, 0.99);
    state.counters["plain_p999"] = Quantile(plain, 0.999);
    state.counters["plain_over_10x"] = CountOver(plain, 10 * plainMedian);
    state.counters["put_p50"] = Quantile(puts, 0.5);
    state.counters["put_p99"] = Quantile(puts, 0.99);
    state.counters["put_p999"] = Quantile(puts, 0.999);
    state.counters["over_10x"] = CountOver(puts, 10 * plainMedian);
    state.counters["puts"] = static_cast<double>(puts.size());
    state.counters["written_bytes"] = static_cast<double>(swapped1.bytesWritten - swapped0.bytesWritten);
    state.counters["resident_max"] = static_cast<double>(residentMax - std::min(residentMax, before));
  }
  state.SetBytesProcessed(static_cast<int64_t>(kDataBytes) * static_cast<int64_t>(state.iterations()));
  state.counters["direct_write"] = directWrite;
  state.counters["direct_write_fresh"] = directFresh;
  state.counters["pace_seconds"] = pace;
  state.counters["data_bytes"] = static_cast<double>(kDataBytes);
  state.counters["budget"] = static_cast<double>(kBudgetBytes);
}
BENCHMARK(BM_PacedAcquisition)
    ->ArgNames({"multi", "fresh"})
    ->ArgsProduct({{0, 1}, {1, 0}})
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(1);

}  // namespace
