// Write and Read of a whole matrix to and from a memory stream, next to the
// memcpy bandwidth of the same machine measured in the same run.
//
// Each matrix benchmark reports its bytes per second and "of_memcpy", the
// fraction of the memcpy bandwidth (BM_Memcpy's figure, measured once on first
// use over the same number of bytes) that it reaches.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "VQDataMatrixLib.h"
#include "VQPlatform.h"

namespace {

constexpr LONG kElements = 64;
constexpr LONG kValues = 16384;  // 128 KiB of doubles per element, 8 MiB in all

struct Apartment {
  Apartment() { CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
  ~Apartment() { CoUninitialize(); }
};

vq::ComPtr<IVQDataMatrix> FilledMatrix() {
  vq::ComPtr<IVQDataMatrix> m;
  CoCreateInstance(CLSID_VQDataMatrix, nullptr, CLSCTX_INPROC_SERVER, IID_IVQDataMatrix, m.put_void());
  if (!m || m->Initialize2(kElements, 1, 1, 1, kValues, 1, 1, matrixSingleObject) != S_OK) return nullptr;
  for (LONG i = 0; i < kElements; ++i) {
    vq::ComPtr<IUnknown> unknown;
    m->get_DataPtr(i, 0, 0, 0, unknown.put());
    auto item = unknown.query<IVQData>();
    VQDataBuffer b{};
    item->GetDataBuffer(&b);
    for (LONG k = 0; k < kValues; ++k) b.pDouble[k] = i * 1e5 + k;
  }
  return m;
}

uint64_t StreamSize(IStream* s) {
  STATSTG st{};
  s->Stat(&st, STATFLAG_NONAME);
  return st.cbSize.QuadPart;
}

void Rewind(IStream* s) {
  LARGE_INTEGER zero{};
  s->Seek(zero, STREAM_SEEK_SET, nullptr);
}

// Bytes per second of memcpy over `bytes`, measured once per process.
double MemcpyBandwidth(size_t bytes) {
  static const double bandwidth = [bytes] {
    std::vector<char> from(bytes, 1), to(bytes);
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    int rounds = 0;
    do {
      std::memcpy(to.data(), from.data(), bytes);
      benchmark::ClobberMemory();
      ++rounds;
    } while (Clock::now() - start < std::chrono::milliseconds(200));
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return static_cast<double>(bytes) * rounds / seconds;
  }();
  return bandwidth;
}

// Bytes per second over wall time, and the fraction of memcpy's bandwidth.
void Report(benchmark::State& state, uint64_t bytes, double seconds) {
  const double total = static_cast<double>(bytes) * static_cast<double>(state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(total));
  if (seconds > 0) state.counters["of_memcpy"] = total / seconds / MemcpyBandwidth(static_cast<size_t>(bytes));
}

double Since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void BM_Memcpy(benchmark::State& state) {
  const size_t bytes = static_cast<size_t>(kElements) * kValues * sizeof(double);
  std::vector<char> from(bytes, 1), to(bytes);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), bytes);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes) * state.iterations());
}
BENCHMARK(BM_Memcpy)->UseRealTime();

void BM_MatrixWrite(benchmark::State& state) {
  Apartment apartment;
  auto m = FilledMatrix();
  vq::ComPtr<IStream> s;
  CreateStreamOnHGlobal(nullptr, TRUE, s.put());
  if (!m || !s) {
    state.SkipWithError("no matrix");
    return;
  }
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    Rewind(s.get());
    if (m->Write(s.get()) != S_OK) state.SkipWithError("Write failed");
  }
  Report(state, StreamSize(s.get()), Since(start));
}
BENCHMARK(BM_MatrixWrite)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_MatrixRead(benchmark::State& state) {
  Apartment apartment;
  vq::ComPtr<IStream> s;
  CreateStreamOnHGlobal(nullptr, TRUE, s.put());
  {
    auto m = FilledMatrix();
    if (!m || !s || m->Write(s.get()) != S_OK) {
      state.SkipWithError("no stream");
      return;
    }
  }
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    // Every Read needs a fresh matrix; making and releasing it is part of
    // what a client pays.
    vq::ComPtr<IVQDataMatrix> r;
    CoCreateInstance(CLSID_VQDataMatrix, nullptr, CLSCTX_INPROC_SERVER, IID_IVQDataMatrix, r.put_void());
    Rewind(s.get());
    if (!r || r->Read(s.get()) != S_OK) state.SkipWithError("Read failed");
  }
  Report(state, StreamSize(s.get()), Since(start));
}
BENCHMARK(BM_MatrixRead)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
