// The workloads of storage_bench, slice_bench and stream_bench done with
// HDF5 (C API), the peer a user would otherwise pick for a large array of
// spectra kept in a file: a 5-D dataset of doubles [d4][d3][d2][d1][x] (one
// record per element) in a file in the temporary folder.
//
// Layouts (first argument of every benchmark):
//   0 chunked, one chunk per element, the default chunk cache (1 MiB, 521
//     slots);
//   1 chunked, one chunk per element, a chunk cache sized to hold the plane
//     (or the whole matrix) read, with a prime number of slots at least ten
//     times its chunks and w0 = 1;
//   2 contiguous (HDF5's default layout: no chunks, no chunk cache).
//
// Workloads, each shaped as its counterpart in the library's programs:
//   - BM_H5ElementWalk: one element of a 64 x 64 matrix read after the other
//     (a hyperslab of one element into a buffer, one value used), as
//     BM_AccessReadWalk; limit BM_VectorWalk;
//   - BM_H5PlaneSlice: an x-range of every element of a 32 x 32 plane of
//     8192 values read as one hyperslab and summed per element in x order,
//     as BM_PlaneSlice; limit BM_Bandwidth;
//   - BM_H5PlaneSpectrum: the whole plane read into one buffer, as
//     BM_PlaneSpectrum; limit BM_PlaneMemcpy;
//   - BM_H5WholeWrite / BM_H5WholeRead: a 64 MiB matrix of 256 elements of
//     256 KiB written from and read into one buffer, from creating or opening
//     the file to closing it, with or without fsync, from a warm or a cold
//     page cache, as BM_WholeFileWrite / BM_WholeFileRead; limits
//     BM_FileWrite / BM_FileRead.
// The file of the walks and slices is written before the timed loop and sits
// in the page cache, as the library's matrices sit in memory. In-memory
// workloads report CPU time, file workloads real time, as their
// counterparts.
#include <hdf5.h>

#include <map>
#include <memory>
#include <numeric>
#include <tuple>
#include <vector>

#include "bench/BenchSupport.h"

namespace {

using vqbench::kMiB;

enum Layout { kDefaultCache = 0, kTunedCache = 1, kContiguous = 2 };

// The smallest prime at or above n.
size_t PrimeAtLeast(size_t n) {
  for (;; ++n) {
    bool prime = n > 1;
    for (size_t d = 2; prime && d * d <= n; ++d) prime = n % d != 0;
    if (prime) return n;
  }
}

// Closes an HDF5 identifier with the given function when it goes.
class Handle {
 public:
  Handle(hid_t id, herr_t (*close)(hid_t)) : m_Id(id), m_Close(close) {}
  ~Handle() {
    if (m_Id >= 0) m_Close(m_Id);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  hid_t get() const { return m_Id; }
  bool ok() const { return m_Id >= 0; }

 private:
  hid_t m_Id;
  herr_t (*m_Close)(hid_t);
};

// The dataset creation and access properties of a layout for elements of
// `values` doubles, `cachedElements` of which the tuned cache holds.
struct Properties {
  Properties(Layout layout, hsize_t values, size_t cachedElements)
      : dcpl(H5Pcreate(H5P_DATASET_CREATE), H5Pclose), dapl(H5Pcreate(H5P_DATASET_ACCESS), H5Pclose) {
    if (layout != kContiguous) {
      const hsize_t chunk[5] = {1, 1, 1, 1, values};
      H5Pset_chunk(dcpl.get(), 5, chunk);
    }
    if (layout == kTunedCache) {
      const size_t bytes = cachedElements * values * sizeof(double);
      H5Pset_chunk_cache(dapl.get(), PrimeAtLeast(10 * cachedElements), bytes + bytes / 16, 1.0);
    }
  }
  Handle dcpl, dapl;
};

// A file holding one d1 x d2 dataset of `values` doubles per element, filled
// as vqbench::Fill fills a matrix, open for reading.
class PlaneFile {
 public:
  PlaneFile(Layout layout, hsize_t d1, hsize_t d2, hsize_t values) {
    const hsize_t dims[5] = {1, 1, d2, d1, values};
    {
      Properties p(layout, values, static_cast<size_t>(d1 * d2));
      Handle file(H5Fcreate(m_File.Path().c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT), H5Fclose);
      Handle space(H5Screate_simple(5, dims, nullptr), H5Sclose);
      Handle set(H5Dcreate2(file.get(), "matrix", H5T_NATIVE_DOUBLE, space.get(), H5P_DEFAULT, p.dcpl.get(),
                            H5P_DEFAULT),
                 H5Dclose);
      std::vector<double> all(static_cast<size_t>(d1 * d2 * values));
      for (size_t e = 0; e < d1 * d2; ++e)
        for (size_t k = 0; k < values; ++k)
          all[e * values + k] = vqbench::ValueOf(static_cast<LONG>(e), static_cast<LONG>(k));
      if (!set.ok() || H5Dwrite(set.get(), H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, H5P_DEFAULT, all.data()) < 0) {
        return;
      }
    }
    Properties p(layout, values, static_cast<size_t>(d1 * d2));
    m_Handle = std::make_unique<Handle>(H5Fopen(m_File.Path().c_str(), H5F_ACC_RDONLY, H5P_DEFAULT), H5Fclose);
    // The open file needs no name; without one nothing is left behind by the
    // cached file, which lives until the process ends.
    unlink(m_File.Path().c_str());
    m_Set = std::make_unique<Handle>(H5Dopen2(m_Handle->get(), "matrix", p.dapl.get()), H5Dclose);
    m_Space = std::make_unique<Handle>(H5Dget_space(m_Set->get()), H5Sclose);
  }
  bool ok() const { return m_Space && m_Space->ok() && m_Set->ok(); }
  hid_t Set() const { return m_Set->get(); }
  hid_t Space() const { return m_Space->get(); }

 private:
  vqbench::ScratchFile m_File;
  std::unique_ptr<Handle> m_Handle, m_Set, m_Space;
};

// The most recent plane file, kept while benchmarks of its shape run.
PlaneFile* CachedPlane(Layout layout, hsize_t d1, hsize_t d2, hsize_t values) {
  static auto* cache = new std::pair<std::tuple<int, hsize_t, hsize_t, hsize_t>, std::unique_ptr<PlaneFile>>();
  const auto key = std::make_tuple(static_cast<int>(layout), d1, d2, values);
  if (cache->first != key || !cache->second) {
    cache->second.reset();
    cache->second = std::make_unique<PlaneFile>(layout, d1, d2, values);
    cache->first = key;
  }
  return cache->second->ok() ? cache->second.get() : nullptr;
}

// --- element access --------------------------------------------------------------

// Arguments: layout, values per element (64 x 64 elements).
void BM_H5ElementWalk(benchmark::State& state) {
  constexpr hsize_t kSide = 64;
  const auto layout = static_cast<Layout>(state.range(0));
  const hsize_t values = static_cast<hsize_t>(state.range(1));
  PlaneFile* plane = CachedPlane(layout, kSide, kSide, values);
  if (plane == nullptr) return state.SkipWithError("file");
  // A memory space of the selection's shape lets HDF5 map it chunk by chunk
  // instead of value by value.
  const hsize_t count[5] = {1, 1, 1, 1, values};
  Handle memory(H5Screate_simple(5, count, nullptr), H5Sclose);
  std::vector<double> buffer(values);
  hsize_t i = 0;
  double sum = 0;
  for (auto _ : state) {
    const hsize_t start[5] = {0, 0, i / kSide, i % kSide, 0};
    H5Sselect_hyperslab(plane->Space(), H5S_SELECT_SET, start, nullptr, count, nullptr);
    if (H5Dread(plane->Set(), H5T_NATIVE_DOUBLE, memory.get(), plane->Space(), H5P_DEFAULT, buffer.data()) < 0) {
      return state.SkipWithError("read");
    }
    sum += buffer[0];
    benchmark::DoNotOptimize(sum);
    i = (i + 1) % (kSide * kSide);
  }
}
BENCHMARK(BM_H5ElementWalk)->ArgNames({"layout", "values"})->ArgsProduct({{0, 1, 2}, {64, 4096}});

// --- plane slices ----------------------------------------------------------------

// Arguments: layout, range (32 x 32 elements of 8192 values).
void BM_H5PlaneSlice(benchmark::State& state) {
  constexpr hsize_t kSide = 32, kValues = 8192, kElements = kSide * kSide;
  const auto layout = static_cast<Layout>(state.range(0));
  const hsize_t range = static_cast<hsize_t>(state.range(1));
  PlaneFile* plane = CachedPlane(layout, kSide, kSide, kValues);
  if (plane == nullptr) return state.SkipWithError("file");
  const hsize_t memoryCount = kElements * range;
  const hsize_t start[5] = {0, 0, 0, 0, 0};
  const hsize_t count[5] = {1, 1, kSide, kSide, range};
  Handle memory(H5Screate_simple(5, count, nullptr), H5Sclose);
  std::vector<double> buffer(memoryCount), sums(kElements);
  for (auto _ : state) {
    H5Sselect_hyperslab(plane->Space(), H5S_SELECT_SET, start, nullptr, count, nullptr);
    if (H5Dread(plane->Set(), H5T_NATIVE_DOUBLE, memory.get(), plane->Space(), H5P_DEFAULT, buffer.data()) < 0) {
      return state.SkipWithError("read");
    }
    // The sum per element in x order, as the library's slice gives it.
    for (hsize_t e = 0; e < kElements; ++e) {
      const double* v = buffer.data() + e * range;
      sums[e] = std::accumulate(v, v + range, 0.0);
    }
    benchmark::DoNotOptimize(sums.data());
  }
  if (sums[1] != std::accumulate(buffer.data() + range, buffer.data() + 2 * range, 0.0) ||
      buffer[range] != vqbench::ValueOf(1, 0)) {
    return state.SkipWithError("values");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * memoryCount * sizeof(double)));
  state.counters["ns_per_element"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * kElements * 1e-9,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_H5PlaneSlice)->ArgNames({"layout", "range"})->ArgsProduct({{0, 1, 2}, {1, 16, 256, 4096, 8192}});

// The whole plane read into one buffer, as the spectrum slice copies it into
// one item. Argument: layout.
void BM_H5PlaneSpectrum(benchmark::State& state) {
  constexpr hsize_t kSide = 32, kValues = 8192;
  PlaneFile* plane = CachedPlane(static_cast<Layout>(state.range(0)), kSide, kSide, kValues);
  if (plane == nullptr) return state.SkipWithError("file");
  std::vector<double> buffer(kSide * kSide * kValues);
  for (auto _ : state) {
    if (H5Dread(plane->Set(), H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, H5P_DEFAULT, buffer.data()) < 0) {
      return state.SkipWithError("read");
    }
    benchmark::ClobberMemory();
  }
  if (buffer[kValues + 5] != vqbench::ValueOf(1, 5)) return state.SkipWithError("values");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * buffer.size() * sizeof(double)));
}
BENCHMARK(BM_H5PlaneSpectrum)->ArgName("layout")->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

// --- whole matrices -----------------------------------------------------------------

constexpr hsize_t kWholeElements = 256, kWholeValues = 32768;
constexpr size_t kWholeBytes = kWholeElements * kWholeValues * sizeof(double);

std::vector<double> WholeValues() {
  std::vector<double> all(kWholeElements * kWholeValues);
  for (size_t e = 0; e < kWholeElements; ++e)
    for (size_t k = 0; k < kWholeValues; ++k)
      all[e * kWholeValues + k] = vqbench::ValueOf(static_cast<LONG>(e), static_cast<LONG>(k));
  return all;
}

bool WriteWhole(const std::string& path, Layout layout, const std::vector<double>& all) {
  const hsize_t dims[5] = {1, 1, 1, kWholeElements, kWholeValues};
  Properties p(layout, kWholeValues, kWholeElements);
  Handle file(H5Fcreate(path.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT), H5Fclose);
  Handle space(H5Screate_simple(5, dims, nullptr), H5Sclose);
  Handle set(H5Dcreate2(file.get(), "matrix", H5T_NATIVE_DOUBLE, space.get(), H5P_DEFAULT, p.dcpl.get(),
                        p.dapl.get()),
             H5Dclose);
  return set.ok() && H5Dwrite(set.get(), H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, H5P_DEFAULT, all.data()) >= 0;
}

// Arguments: layout, fsync after the close.
void BM_H5WholeWrite(benchmark::State& state) {
  const auto layout = static_cast<Layout>(state.range(0));
  const bool sync = state.range(1) != 0;
  vqbench::ScratchFile file;
  const std::vector<double> all = WholeValues();
  for (auto _ : state) {
    if (!WriteWhole(file.Path(), layout, all)) return state.SkipWithError("write");
    if (sync && !vqbench::SyncPath(file.Path())) return state.SkipWithError("fsync");
  }
  state.SetBytesProcessed(static_cast<int64_t>(kWholeBytes) * static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_H5WholeWrite)
    ->ArgNames({"layout", "fsync"})
    ->ArgsProduct({{0, 1, 2}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Arguments: layout, cold page cache.
void BM_H5WholeRead(benchmark::State& state) {
  const auto layout = static_cast<Layout>(state.range(0));
  const bool cold = state.range(1) != 0;
  vqbench::ScratchFile file;
  std::vector<double> all = WholeValues();
  if (!WriteWhole(file.Path(), layout, all)) return state.SkipWithError("write");
  std::fill(all.begin(), all.end(), 0.0);
  for (auto _ : state) {
    if (cold && !vqbench::DropFromCacheUntimed(state, file.Path())) return;
    Properties p(layout, kWholeValues, kWholeElements);
    Handle f(H5Fopen(file.Path().c_str(), H5F_ACC_RDONLY, H5P_DEFAULT), H5Fclose);
    Handle set(H5Dopen2(f.get(), "matrix", p.dapl.get()), H5Dclose);
    if (!set.ok() || H5Dread(set.get(), H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, H5P_DEFAULT, all.data()) < 0) {
      return state.SkipWithError("read");
    }
  }
  if (all[kWholeBytes / sizeof(double) - 1] != vqbench::ValueOf(kWholeElements - 1, kWholeValues - 1)) {
    return state.SkipWithError("values");
  }
  state.SetBytesProcessed(static_cast<int64_t>(kWholeBytes) * static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_H5WholeRead)
    ->ArgNames({"layout", "cold"})
    ->ArgsProduct({{0, 1, 2}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
