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
//
// The plane benchmarks compare with the same limits over a plane of 32 x 32
// elements of 8192 doubles (64 MiB, twice the last-level cache here), both
// storage kinds: BM_PlaneSlice sums an x-range of every element (bytes/s of
// the values summed, against BM_ReadBandwidth: the read bandwidth as a
// benchmark of its own, run next to the slices and repeated with them), and
// BM_PlaneSpectrum copies every element's record into one result item
// (against BM_PlaneMemcpy, memcpy of the same 64 MiB into a buffer that is
// already mapped). BM_PlaneChain is the whole-range slices' limit: one
// in-order chain of additions over the same bytes.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <cstdio>
#include <vector>

#include "bench/BenchSupport.h"
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
  state.counters["bytes_per_s"] = BandwidthRate() * sizeof(double);
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

// --- planes of 64 MiB ------------------------------------------------------------

constexpr LONG kPlaneSide = 32;
constexpr LONG kPlaneElements = kPlaneSide * kPlaneSide;
constexpr LONG kPlaneValues = 8192;
constexpr size_t kPlaneBytes = size_t{kPlaneElements} * kPlaneValues * sizeof(double);

// A filled plane matrix of the kind, made once per kind and kept.
IVQDataMatrix* PlaneMatrix(matrixType type) {
  static vq::ComPtr<IVQDataMatrix>* matrices = new vq::ComPtr<IVQDataMatrix>[2];
  vq::ComPtr<IVQDataMatrix>& m = matrices[type == matrixSingleObject ? 0 : 1];
  if (!m) {
    auto made = vqbench::NewMatrix(kPlaneSide, kPlaneSide, kPlaneValues, type);
    if (made && vqbench::Fill(made.get(), kPlaneElements)) m = made;
  }
  return m.get();
}

vq::ComPtr<IVQData> NewResult() {
  vq::ComPtr<IVQData> result;
  CoCreateInstance(CLSID_VQData, nullptr, CLSCTX_INPROC_SERVER, IID_IVQData, result.put_void());
  return result;
}

// One pass of eight independent sums over 256 MiB per iteration, as
// BandwidthRate measures once.
void BM_ReadBandwidth(benchmark::State& state) {
  std::vector<double> v(size_t{32} << 20, 1.0);
  for (auto _ : state) {
    double a[8] = {};
    for (size_t k = 0; k + 8 <= v.size(); k += 8)
      for (int w = 0; w < 8; ++w) a[w] += v[k + static_cast<size_t>(w)];
    benchmark::DoNotOptimize(a);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * v.size() * sizeof(double)));
}
BENCHMARK(BM_ReadBandwidth)->Unit(benchmark::kMillisecond);

// D1-D2 slice of an x-range starting at value 0. Arguments: kind, range.
void BM_PlaneSlice(benchmark::State& state) {
  IVQDataMatrix* m = PlaneMatrix(static_cast<matrixType>(state.range(0)));
  const LONG range = static_cast<LONG>(state.range(1));
  auto result = NewResult();
  if (m == nullptr || !result) return state.SkipWithError("matrix");
  for (auto _ : state) {
    if (m->GetD1D2Slice(0.0, range - 1.0, 0, 0, 0, matrixDirectionByRow, result.get()) != S_OK) {
      return state.SkipWithError("slice");
    }
  }
  VQDataBuffer b{};
  result->GetDataBuffer(&b);
  // Element (1, 0) holds 1e-3 + k; the slice sums in x order.
  double expected = 0;
  for (LONG k = 0; k < range; ++k) expected += vqbench::ValueOf(1, k);
  if (b.pDouble == nullptr || b.XSize * b.ZSize != kPlaneElements || b.pDouble[1] != expected) {
    return state.SkipWithError("slice values");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kPlaneElements * range * 8);
  state.counters["ns_per_element"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * kPlaneElements * 1e-9,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_PlaneSlice)->ArgNames({"multi", "range"})->ArgsProduct({{0, 1}, {1, 16, 256, 4096, 8192}});

// D1-D2 spectrum slice: record 0 of every element into one item. Argument:
// kind.
void BM_PlaneSpectrum(benchmark::State& state) {
  IVQDataMatrix* m = PlaneMatrix(static_cast<matrixType>(state.range(0)));
  auto result = NewResult();
  if (m == nullptr || !result) return state.SkipWithError("matrix");
  for (auto _ : state) {
    if (m->GetD1D2SliceSpectrum(0, 0, 0, matrixDirectionByRow, result.get()) != S_OK) {
      return state.SkipWithError("spectrum slice");
    }
  }
  VQDataBuffer b{};
  result->GetDataBuffer(&b);
  if (b.pDouble == nullptr || b.XSize != kPlaneValues || b.ZSize != kPlaneElements ||
      b.pDouble[kPlaneValues + 5] != vqbench::ValueOf(1, 5)) {
    return state.SkipWithError("spectrum values");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kPlaneBytes));
}
BENCHMARK(BM_PlaneSpectrum)->ArgName("multi")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// The limit of a whole-range slice: one in-order chain of double additions
// over the same bytes (the range of every element of a plane laid out as the
// packed kind keeps it, element after element), so the figure shows what the
// walk costs beyond the one chain that bounds each bit-exact sum. Argument:
// range.
void BM_PlaneChain(benchmark::State& state) {
  const size_t range = static_cast<size_t>(state.range(0));
  std::vector<double> plane(size_t{kPlaneElements} * kPlaneValues);
  for (size_t k = 0; k < plane.size(); ++k) plane[k] = static_cast<double>(k % 1024) * 0.5;
  for (auto _ : state) {
    double sum = 0.0;
    for (size_t e = 0; e < size_t{kPlaneElements}; ++e) {
      const double* values = plane.data() + e * kPlaneValues;
      for (size_t k = 0; k < range; ++k) sum += values[k];
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kPlaneElements * static_cast<int64_t>(range) * 8);
}
BENCHMARK(BM_PlaneChain)->ArgName("range")->Arg(4096)->Arg(8192);

// The spectrum slice's limit: memcpy of the plane's bytes.
void BM_PlaneMemcpy(benchmark::State& state) {
  std::vector<char> from(kPlaneBytes, 1), to(kPlaneBytes, 2);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), kPlaneBytes);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kPlaneBytes));
}
BENCHMARK(BM_PlaneMemcpy)->Unit(benchmark::kMillisecond);

}  // namespace
