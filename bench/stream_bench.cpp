// Write and Read of a whole matrix to and from a memory stream, next to the
// memcpy bandwidth of the same machine measured in the same run.
//
// Each matrix benchmark reports its bytes per second and "of_memcpy", the
// fraction of the memcpy bandwidth (BM_Memcpy's figure, measured once on first
// use over the same number of bytes) that it reaches.
//
// The whole-matrix benchmarks (a 64 MiB matrix of 256 elements of 256 KiB,
// both storage kinds) write and read through a memory stream and through a
// file stream in the temporary folder, against memcpy of the same bytes
// (BM_WholeMemcpy) and buffered sequential write() and read() of as many
// bytes in 8 MiB pieces (BM_FileWrite, BM_FileRead). File writes are timed
// from creating the file to closing it, without and with an fsync before the
// close; file reads from a warm page cache and from a cold one (the file
// flushed and dropped from the cache before the timed read). A matrix Read
// includes making the new matrix, whose buffers are fresh memory; the plain
// read fills one buffer that stays mapped. All wall time. The warm Reads also
// measure their own limit just before they run, in the same process (memcpy
// of 64 MiB for the memory stream, read() of the same file for the file
// stream), and report their throughput over it ("of_limit") and the read
// system calls a Read makes ("read_calls", /proc/self/io): the figures that
// say whether a Read runs at memory speed, without a second program's run.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "VQDataMatrixLib.h"
#include "VQPlatform.h"
#include "bench/BenchSupport.h"

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

// --- whole matrices of 64 MiB ----------------------------------------------------------

using vqbench::kMiB;
constexpr LONG kWholeElements = 256;
constexpr LONG kWholeValues = 32768;  // 256 KiB
constexpr size_t kWholeBytes = size_t{kWholeElements} * kWholeValues * sizeof(double);
constexpr size_t kPiece = 8 * kMiB;

// A filled matrix of the kind, made once per kind and kept.
IVQDataMatrix* WholeMatrix(matrixType type) {
  static vq::ComPtr<IVQDataMatrix>* matrices = new vq::ComPtr<IVQDataMatrix>[2];
  vq::ComPtr<IVQDataMatrix>& m = matrices[type == matrixSingleObject ? 0 : 1];
  if (!m) {
    auto made = vqbench::NewMatrix(kWholeElements, 1, kWholeValues, type);
    if (made && vqbench::Fill(made.get(), kWholeElements)) m = made;
  }
  return m.get();
}

// True when element e of m holds what Fill wrote (first and last value).
bool Holds(IVQDataMatrix* m, LONG e) {
  vq::ComPtr<IUnknown> unknown;
  if (m->get_ConstDataPtr(e, 0, 0, 0, 0, unknown.put()) != S_OK || !unknown) return false;
  auto item = unknown.query<IVQData>();
  VQDataBuffer b{};
  return item && SUCCEEDED(item->GetDataBuffer(&b)) && b.pDouble != nullptr && b.XSize == kWholeValues &&
         b.pDouble[0] == vqbench::ValueOf(e, 0) && b.pDouble[kWholeValues - 1] == vqbench::ValueOf(e, kWholeValues - 1);
}

vq::ComPtr<IVQDataMatrix> NewEmptyMatrix() {
  vq::ComPtr<IVQDataMatrix> r;
  CoCreateInstance(CLSID_VQDataMatrix, nullptr, CLSCTX_INPROC_SERVER, IID_IVQDataMatrix, r.put_void());
  return r;
}

void ReportWhole(benchmark::State& state, uint64_t bytes) {
  state.SetBytesProcessed(static_cast<int64_t>(bytes) * static_cast<int64_t>(state.iterations()));
}

// Read system calls of this process so far (read, pread and their kin), from
// /proc/self/io; 0 where the kernel does not count them.
uint64_t ReadCalls() {
  FILE* f = std::fopen("/proc/self/io", "r");
  if (f == nullptr) return 0;
  unsigned long long calls = 0;
  char line[128];
  while (std::fgets(line, sizeof line, f) != nullptr) {
    if (std::sscanf(line, "syscr: %llu", &calls) == 1) break;
  }
  std::fclose(f);
  return calls;
}

// Bytes per second of `limit` over about 200 ms of rounds: the limit a Read
// is compared with, measured in its own benchmark's process just before it
// and averaged as the Reads are, so that both see the same load.
template <class Limit>
double LimitBandwidth(size_t bytes, Limit limit) {
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  int rounds = 0;
  do {
    if (!limit()) return 0;
    ++rounds;
  } while (Clock::now() - start < std::chrono::milliseconds(200));
  return static_cast<double>(bytes) * rounds / Since(start);
}

// The counters of a whole-matrix Read: its throughput over the time of the
// Reads alone as a fraction of the limit's ("of_limit"), and the read system
// calls per Read.
void ReportRead(benchmark::State& state, uint64_t bytes, double readSeconds, double limit, uint64_t calls) {
  ReportWhole(state, bytes);
  const double n = static_cast<double>(state.iterations());
  if (readSeconds > 0 && limit > 0) state.counters["of_limit"] = static_cast<double>(bytes) * n / readSeconds / limit;
  if (n > 0) state.counters["read_calls"] = static_cast<double>(calls) / n;
}

void BM_WholeMemcpy(benchmark::State& state) {
  std::vector<char> from(kWholeBytes, 1), to(kWholeBytes, 2);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), kWholeBytes);
    benchmark::ClobberMemory();
  }
  ReportWhole(state, kWholeBytes);
}
BENCHMARK(BM_WholeMemcpy)->Unit(benchmark::kMillisecond)->UseRealTime();

// Write of the whole matrix to a memory stream (rewound, so its capacity is
// reused). Argument: kind.
void BM_WholeMemoryWrite(benchmark::State& state) {
  vqbench::Setup();
  IVQDataMatrix* m = WholeMatrix(static_cast<matrixType>(state.range(0)));
  vq::ComPtr<IStream> s;
  CreateStreamOnHGlobal(nullptr, TRUE, s.put());
  if (m == nullptr || !s) return state.SkipWithError("matrix");
  for (auto _ : state) {
    Rewind(s.get());
    if (m->Write(s.get()) != S_OK) return state.SkipWithError("Write failed");
  }
  ReportWhole(state, StreamSize(s.get()));
}
BENCHMARK(BM_WholeMemoryWrite)->ArgName("multi")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// Read of the whole matrix from a memory stream into a new matrix, released
// after the read (untimed). Argument: kind.
void BM_WholeMemoryRead(benchmark::State& state) {
  vqbench::Setup();
  IVQDataMatrix* m = WholeMatrix(static_cast<matrixType>(state.range(0)));
  vq::ComPtr<IStream> s;
  CreateStreamOnHGlobal(nullptr, TRUE, s.put());
  if (m == nullptr || !s || m->Write(s.get()) != S_OK) return state.SkipWithError("no stream");
  std::vector<char> from(kWholeBytes, 1), to(kWholeBytes, 2);
  const double limit = LimitBandwidth(kWholeBytes, [&] {
    std::memcpy(to.data(), from.data(), kWholeBytes);
    benchmark::ClobberMemory();
    return true;
  });
  double seconds = 0;
  const uint64_t calls = ReadCalls();
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    auto r = NewEmptyMatrix();
    Rewind(s.get());
    if (!r || r->Read(s.get()) != S_OK) return state.SkipWithError("Read failed");
    seconds += Since(start);
    state.PauseTiming();
    const bool ok = Holds(r.get(), kWholeElements - 1);
    r = nullptr;
    state.ResumeTiming();
    if (!ok) return state.SkipWithError("values read differ");
  }
  ReportRead(state, StreamSize(s.get()), seconds, limit, ReadCalls() - calls);
}
BENCHMARK(BM_WholeMemoryRead)->ArgName("multi")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// Buffered sequential write of the matrix's bytes in 8 MiB pieces to a new
// file. Argument: fsync before the close.
void BM_FileWrite(benchmark::State& state) {
  const bool sync = state.range(0) != 0;
  vqbench::ScratchFile file;
  std::vector<char> piece(kPiece, 0x5a);
  if (!file.IsOpen()) return state.SkipWithError("file");
  for (auto _ : state) {
    const int fd = open(file.Path().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    bool ok = fd >= 0;
    for (size_t done = 0; ok && done < kWholeBytes; done += kPiece) {
      ok = write(fd, piece.data(), kPiece) == static_cast<ssize_t>(kPiece);
    }
    if (ok && sync) ok = fsync(fd) == 0;
    if (fd >= 0) close(fd);
    if (!ok) return state.SkipWithError("write");
  }
  ReportWhole(state, kWholeBytes);
}
BENCHMARK(BM_FileWrite)->ArgName("fsync")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// Buffered sequential read of a file of the matrix's bytes in 8 MiB pieces.
// Argument: cold (the file dropped from the page cache first, untimed).
void BM_FileRead(benchmark::State& state) {
  const bool cold = state.range(0) != 0;
  vqbench::ScratchFile file;
  std::vector<char> piece(kPiece, 0x5a);
  bool ok = file.IsOpen();
  for (size_t done = 0; ok && done < kWholeBytes; done += kPiece) {
    ok = write(file.Fd(), piece.data(), kPiece) == static_cast<ssize_t>(kPiece);
  }
  if (!ok) return state.SkipWithError("file");
  for (auto _ : state) {
    if (cold) {
      state.PauseTiming();
      ok = vqbench::DropFromCache(file.Path());
      state.ResumeTiming();
    }
    const int fd = open(file.Path().c_str(), O_RDONLY);
    ok = ok && fd >= 0;
    for (size_t done = 0; ok && done < kWholeBytes; done += kPiece) {
      ok = read(fd, piece.data(), kPiece) == static_cast<ssize_t>(kPiece);
    }
    if (fd >= 0) close(fd);
    if (!ok) return state.SkipWithError("read");
  }
  ReportWhole(state, kWholeBytes);
}
BENCHMARK(BM_FileRead)->ArgName("cold")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// Write of the whole matrix to a new file stream, from opening it to
// releasing it. Arguments: kind, fsync after the release.
void BM_WholeFileWrite(benchmark::State& state) {
  vqbench::Setup();
  IVQDataMatrix* m = WholeMatrix(static_cast<matrixType>(state.range(0)));
  const bool sync = state.range(1) != 0;
  vqbench::ScratchFile file;
  if (m == nullptr || !file.IsOpen()) return state.SkipWithError("matrix");
  uint64_t bytes = 0;
  for (auto _ : state) {
    vq::ComPtr<IStream> s;
    if (SHCreateStreamOnFileA(file.Path().c_str(), STGM_CREATE | STGM_WRITE, s.put()) != S_OK) {
      return state.SkipWithError("file stream");
    }
    if (m->Write(s.get()) != S_OK) return state.SkipWithError("Write failed");
    bytes = StreamSize(s.get());
    s = nullptr;
    if (sync && !vqbench::SyncPath(file.Path())) return state.SkipWithError("fsync");
  }
  ReportWhole(state, bytes);
}
BENCHMARK(BM_WholeFileWrite)
    ->ArgNames({"multi", "fsync"})
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Read of the whole matrix from a file stream into a new matrix, from
// opening the stream to releasing it. Arguments: kind, cold (as BM_FileRead).
void BM_WholeFileRead(benchmark::State& state) {
  vqbench::Setup();
  IVQDataMatrix* m = WholeMatrix(static_cast<matrixType>(state.range(0)));
  const bool cold = state.range(1) != 0;
  vqbench::ScratchFile file;
  uint64_t bytes = 0;
  {
    vq::ComPtr<IStream> s;
    if (m == nullptr || !file.IsOpen() ||
        SHCreateStreamOnFileA(file.Path().c_str(), STGM_CREATE | STGM_WRITE, s.put()) != S_OK ||
        m->Write(s.get()) != S_OK) {
      return state.SkipWithError("no file");
    }
    bytes = StreamSize(s.get());
  }
  // The limit reads the same file warm, as BM_FileRead does; a cold Read's
  // limit is BM_FileRead/cold:1, which needs the disk to itself.
  double limit = 0;
  if (!cold) {
    std::vector<char> piece(kPiece);
    limit = LimitBandwidth(bytes, [&] {
      const int fd = open(file.Path().c_str(), O_RDONLY);
      bool ok = fd >= 0;
      while (ok) {
        const ssize_t n = read(fd, piece.data(), kPiece);
        ok = n >= 0;
        if (n <= 0) break;
      }
      if (fd >= 0) close(fd);
      return ok;
    });
  }
  double seconds = 0;
  const uint64_t calls = ReadCalls();
  for (auto _ : state) {
    if (cold && !vqbench::DropFromCacheUntimed(state, file.Path())) return;
    const auto start = std::chrono::steady_clock::now();
    vq::ComPtr<IStream> s;
    if (SHCreateStreamOnFileA(file.Path().c_str(), STGM_READ, s.put()) != S_OK) {
      return state.SkipWithError("file stream");
    }
    auto r = NewEmptyMatrix();
    if (!r || r->Read(s.get()) != S_OK) return state.SkipWithError("Read failed");
    s = nullptr;
    seconds += Since(start);
    state.PauseTiming();
    const bool ok = Holds(r.get(), kWholeElements - 1);
    r = nullptr;
    state.ResumeTiming();
    if (!ok) return state.SkipWithError("values read differ");
  }
  ReportRead(state, bytes, seconds, limit, ReadCalls() - calls);
}
BENCHMARK(BM_WholeFileRead)
    ->ArgNames({"multi", "cold"})
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
