// Slice throughput over in-memory elements, next to two limits of the same
// machine measured in the same run:
//   - chain: the rate of one in-order chain of double additions (what bounds
//     one element's bit-exact sum);
//   - bandwidth: single-thread read bandwidth, summing with eight independent
//     accumulators over a block far larger than the caches.
// Each slice benchmark reports values/s, "of_chain" and "of_bandwidth" (its
// rate as a fraction of each limit), and "ns_per_element" (the whole call's
// time divided by the elements of the plane, which for a one-value range is
// the per-element overhead: fetch, lock, swap queue, memory check). All
// figures are per CPU second of the benchmark thread.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <ctime>
#include <cstdio>
#include <vector>

#include "VQDataMatrixLib.h"
#include "VQPlatform.h"

namespace {

struct Apartment {
  Apartment() { CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
  ~Apartment() { CoUninitialize(); }
};

// CPU time of the calling thread, the clock the benchmark's own rates use,
// so that the fractions hold on a loaded machine too.
double ThreadSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

template <class Body>
double SecondsOf(Body&& body) {
  const double start = ThreadSeconds();
  body();
  return ThreadSeconds() - start;
}

// Values per second of one dependent chain over an L1-resident block.
double ChainRate() {
  static const double rate = [] {
    std::vector<double> v(1024, 1.0);
    const int rounds = 20000;
    double sum = 0.0;
    const double seconds = SecondsOf([&] {
      for (int r = 0; r < rounds; ++r) {
        for (double x : v) sum += x;
        benchmark::DoNotOptimize(sum);
      }
    });
    return static_cast<double>(rounds) * static_cast<double>(v.size()) / seconds;
  }();
  return rate;
}

// Values (8 bytes) per second read with eight independent accumulators from
// a 256 MiB block.
double BandwidthRate() {
  static const double rate = [] {
    std::vector<double> v(size_t{32} << 20, 1.0);
    const int rounds = 4;
    double best = 0.0;
    for (int r = 0; r < rounds; ++r) {
      double a[8] = {};
      const double seconds = SecondsOf([&] {
        for (size_t k = 0; k + 8 <= v.size(); k += 8)
          for (int w = 0; w < 8; ++w) a[w] += v[k + static_cast<size_t>(w)];
        benchmark::DoNotOptimize(a);
      });
      best = std::max(best, static_cast<double>(v.size()) / seconds);
    }
    return best;
  }();
  return rate;
}

void BM_Chain(benchmark::State& state) {
  std::vector<double> v(static_cast<size_t>(state.range(0)), 1.0);
  for (auto _ : state) {
    double sum = 0.0;
    for (double x : v) sum += x;
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Chain)->Arg(128)->Arg(1024);

void BM_Bandwidth(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(BandwidthRate());
  state.counters["values_per_s"] = BandwidthRate();
  state.counters["chain_values_per_s"] = ChainRate();
}
BENCHMARK(BM_Bandwidth)->Iterations(1);

// D1-D2 slice over a 16 x 16 plane of format-1 elements of one record,
// summing `range` values of each.
void BM_D1D2Slice(benchmark::State& state) {
  Apartment apartment;
  const LONG range = static_cast<LONG>(state.range(0));
  const LONG n1 = 16, n2 = 16;
  vq::ComPtr<IVQDataMatrix> m;
  HRESULT hr = CoCreateInstance(CLSID_VQDataMatrix, nullptr, CLSCTX_INPROC_SERVER, IID_IVQDataMatrix, m.put_void());
  if (SUCCEEDED(hr)) hr = m->Initialize2(n1, n2, 1, 1, range, 1, dataFormatFloat64, matrixSingleObject);
  if (hr != S_OK) {
    char text[64];
    std::snprintf(text, sizeof text, "matrix: 0x%08x", static_cast<unsigned>(hr));
    state.SkipWithError(text);
    return;
  }
  for (LONG e = 0; e < n1 * n2; ++e) {
    vq::ComPtr<IUnknown> unknown;
    m->get_DataPtr(e, 0, 0, 0, unknown.put());
    auto item = unknown.query<IVQData>();
    VQDataBuffer b{};
    item->GetDataBuffer(&b);
    for (LONG k = 0; k < range; ++k) b.pDouble[k] = e + k * 0.5;
  }
  vq::ComPtr<IVQData> result;
  CoCreateInstance(CLSID_VQData, nullptr, CLSCTX_INPROC_SERVER, IID_IVQData, result.put_void());
  for (auto _ : state) {
    if (m->GetD1D2Slice(0.0, range - 1.0, 0, 0, 0, matrixDirectionByRow, result.get()) != S_OK) {
      state.SkipWithError("slice");
      return;
    }
  }
  const double values = static_cast<double>(state.iterations()) * n1 * n2 * range;
  state.SetItemsProcessed(static_cast<int64_t>(values));
  state.SetBytesProcessed(static_cast<int64_t>(values * sizeof(double)));
  state.counters["of_chain"] = benchmark::Counter(values / ChainRate(), benchmark::Counter::kIsRate);
  state.counters["of_bandwidth"] = benchmark::Counter(values / BandwidthRate(), benchmark::Counter::kIsRate);
  state.counters["ns_per_element"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * n1 * n2 * 1e-9,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
// 1 value (overhead), 16 values, 1 KiB, 8 KiB, 64 KiB of doubles per element.
BENCHMARK(BM_D1D2Slice)->Arg(1)->Arg(16)->Arg(128)->Arg(1024)->Arg(8192);

}  // namespace
