// BenchSupport.h - what the benchmark programs share: one apartment with
// tracing off, matrices filled with known values, scratch files in the
// folder the swap file goes to, and the transfers that serve as limits
// (direct and buffered sequential file I/O, memory read bandwidth).
//
// Conventions of every program: a figure and the limit it is compared with
// are measured in the same process (scripts/perf_table.py pairs them up);
// benchmarks that wait for a disk use real time, the others the benchmark
// thread's CPU time. Header-only, so that each *_bench.cpp stays one program.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "VQDataMatrixLib.h"
#include "VQPlatform.h"

namespace vqbench {

constexpr uint64_t kMiB = 1ull << 20;

// The matrix of the out-of-core benchmarks: 768 MiB of 1 MiB spectra, 32 by 24.
namespace large {
constexpr uint64_t kElementBytes = kMiB;
constexpr uint64_t kDataBytes = 768 * kMiB;
constexpr LONG kD1 = 32;
constexpr LONG kD2 = static_cast<LONG>(kDataBytes / kElementBytes / kD1);
constexpr LONG kElements = kD1 * kD2;
constexpr LONG kValues = static_cast<LONG>(kElementBytes / sizeof(double));
}  // namespace large

// The scratch folder: $TMPDIR, else /tmp (scripts/bench.sh puts the swap file
// there too, through VQ_SWAP_DIR).
inline std::string TempFolder() {
  const char* tmp = getenv("TMPDIR");
  return tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
}

// Tracing off whatever the user's settings (a scratch settings folder, removed
// when the process exits), and one apartment for the benchmark thread,
// entered once per process.
inline void Setup() {
  static std::string folder;
  static const bool done = [] {
    std::string pattern = TempFolder() + "/vqbench-XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) {
      folder = pattern;
      setenv("VQ_CONFIG_DIR", folder.c_str(), 1);
      std::atexit([] { rmdir(folder.c_str()); });
    }
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    return true;
  }();
  (void)done;
}

inline double Since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// An initialised d1 x d2 matrix of `values` doubles per element (one record),
// or null.
inline vq::ComPtr<IVQDataMatrix> NewMatrix(LONG d1, LONG d2, LONG values, matrixType type) {
  Setup();
  vq::ComPtr<IVQDataMatrix> m;
  if (FAILED(CoCreateInstance(CLSID_VQDataMatrix, nullptr, CLSCTX_INPROC_SERVER, IID_IVQDataMatrix, m.put_void())) ||
      m->Initialize2(d1, d2, 1, 1, values, 1, dataFormatFloat64, type) != S_OK) {
    return nullptr;
  }
  return m;
}

// Value k of element e, as Fill writes it.
inline double ValueOf(LONG e, LONG k) { return e * 1e-3 + k; }

// Hands the first `elements` elements out for writing and gives every value
// ValueOf(e, k) (or only the first value when `firstOnly`, which is enough
// to make the next save write the element again).
inline bool Fill(IVQDataMatrix* m, LONG elements, bool firstOnly = false, double salt = 0) {
  for (LONG e = 0; e < elements; ++e) {
    vq::ComPtr<IUnknown> unknown;
    if (m->get_DataPtr(e, 0, 0, 0, unknown.put()) != S_OK || !unknown) return false;
    auto item = unknown.query<IVQData>();
    VQDataBuffer b{};
    if (!item || FAILED(item->GetDataBuffer(&b)) || b.pDouble == nullptr) return false;
    const LONG n = firstOnly ? 1 : b.XSize * b.ZSize;
    for (LONG k = 0; k < n; ++k) b.pDouble[k] = ValueOf(e, k) + salt;
  }
  return true;
}

// A new data item of `values` doubles filled like element e, or null.
inline vq::ComPtr<IVQData> NewItem(LONG values, LONG e) {
  Setup();
  vq::ComPtr<IVQData> item;
  VQDataBuffer b{};
  if (FAILED(CoCreateInstance(CLSID_VQData, nullptr, CLSCTX_INPROC_SERVER, IID_IVQData, item.put_void())) ||
      item->Allocate(values, 1, dataFormatFloat64) != S_OK || FAILED(item->GetDataBuffer(&b)) ||
      b.pDouble == nullptr) {
    return nullptr;
  }
  for (LONG k = 0; k < values; ++k) b.pDouble[k] = ValueOf(e, k);
  return item;
}

// --- files ----------------------------------------------------------------------

// A file in the temporary folder, removed when the object goes. With
// `direct` the descriptor is opened with O_DIRECT (IsOpen is false where the
// file system refuses it, as on tmpfs).
class ScratchFile {
 public:
  explicit ScratchFile(bool direct = false) {
    m_Path = TempFolder() + "/vqbenchfileXXXXXX";
    m_Fd = mkstemp(m_Path.data());
    if (m_Fd >= 0 && direct) {
      const int flags = fcntl(m_Fd, F_GETFL);
      if (flags < 0 || fcntl(m_Fd, F_SETFL, flags | O_DIRECT) != 0) {
        close(m_Fd);
        m_Fd = -1;
      }
    }
  }
  ~ScratchFile() {
    if (m_Fd >= 0) close(m_Fd);
    unlink(m_Path.c_str());
  }
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;

  bool IsOpen() const { return m_Fd >= 0; }
  int Fd() const { return m_Fd; }
  const std::string& Path() const { return m_Path; }
  std::wstring WidePath() const { return std::wstring(m_Path.begin(), m_Path.end()); }

 private:
  std::string m_Path;
  int m_Fd = -1;
};

// A page-aligned buffer (the alignment O_DIRECT wants), filled with a byte
// pattern so that no page is shared with the zero page.
class AlignedBuffer {
 public:
  explicit AlignedBuffer(size_t bytes) : m_Bytes(bytes) {
    if (posix_memalign(&m_Data, 4096, bytes) != 0) m_Data = nullptr;
    if (m_Data != nullptr) std::memset(m_Data, 0x5a, bytes);
  }
  ~AlignedBuffer() { free(m_Data); }
  AlignedBuffer(const AlignedBuffer&) = delete;
  AlignedBuffer& operator=(const AlignedBuffer&) = delete;
  char* data() const { return static_cast<char*>(m_Data); }
  size_t size() const { return m_Bytes; }

 private:
  void* m_Data = nullptr;
  size_t m_Bytes;
};

// Seconds of one sequential pass over `total` bytes in blocks of `block`
// bytes at offset 0 of an open file (pwrite or pread); a negative value when
// a transfer fails.
inline double SequentialPass(int fd, bool write, char* buffer, uint64_t block, uint64_t total) {
  const auto start = std::chrono::steady_clock::now();
  for (uint64_t offset = 0; offset < total; offset += block) {
    const size_t n = static_cast<size_t>(std::min(block, total - offset));
    const ssize_t done = write ? pwrite(fd, buffer, n, static_cast<off_t>(offset))
                               : pread(fd, buffer, n, static_cast<off_t>(offset));
    if (done != static_cast<ssize_t>(n)) return -1;
  }
  return Since(start);
}

// Seconds of one sequential pass of preads over `total` bytes in blocks of
// `block` bytes, each into a newly mapped buffer that is unmapped after the
// read, as a swapped-out object's values come back into fresh memory; the
// time includes mapping, faulting the pages in and unmapping. Negative when a
// read fails.
inline double FreshReadPass(int fd, uint64_t block, uint64_t total) {
  const auto start = std::chrono::steady_clock::now();
  for (uint64_t offset = 0; offset < total; offset += block) {
    const size_t n = static_cast<size_t>(std::min(block, total - offset));
    void* p = mmap(nullptr, n, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return -1;
    const ssize_t done = pread(fd, p, n, static_cast<off_t>(offset));
    munmap(p, n);
    if (done != static_cast<ssize_t>(n)) return -1;
  }
  return Since(start);
}

// Seconds of one sequential pass of pwrites over `total` bytes in blocks of
// `block` bytes, each from a buffer of its own, mapped and filled before the
// clock starts, as a saved object's values lie in memory of their own. The
// time is the writes' alone. Negative when a mapping or a write fails.
inline double SeparateWritePass(int fd, uint64_t block, uint64_t total) {
  std::vector<void*> buffers;
  bool ok = true;
  for (uint64_t offset = 0; ok && offset < total; offset += block) {
    const size_t n = static_cast<size_t>(std::min(block, total - offset));
    void* p = mmap(nullptr, n, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ok = p != MAP_FAILED;
    if (ok) {
      std::memset(p, static_cast<int>(offset / block) & 0xff, n);
      buffers.push_back(p);
    }
  }
  const auto start = std::chrono::steady_clock::now();
  for (size_t i = 0; ok && i < buffers.size(); ++i) {
    const uint64_t offset = i * block;
    const size_t n = static_cast<size_t>(std::min(block, total - offset));
    ok = pwrite(fd, buffers[i], n, static_cast<off_t>(offset)) == static_cast<ssize_t>(n);
  }
  const double seconds = Since(start);
  for (size_t i = 0; i < buffers.size(); ++i) munmap(buffers[i], static_cast<size_t>(std::min(block, total - i * block)));
  return ok ? seconds : -1;
}

// Bytes per second of direct (O_DIRECT) sequential transfers of `total`
// bytes in blocks of `block` bytes in the swap folder, best of `rounds`
// passes after one that lays the file out. 0 when direct I/O is refused.
inline double DirectBandwidth(bool write, uint64_t block, uint64_t total, int rounds = 3) {
  ScratchFile file(true);
  AlignedBuffer buffer(block);
  if (!file.IsOpen() || buffer.data() == nullptr) return 0;
  if (SequentialPass(file.Fd(), true, buffer.data(), block, total) < 0) return 0;
  double best = 0;
  for (int r = 0; r < rounds; ++r) {
    const double seconds = SequentialPass(file.Fd(), write, buffer.data(), block, total);
    if (seconds <= 0) return 0;
    best = std::max(best, static_cast<double>(total) / seconds);
  }
  return best;
}

// Bytes per second of direct sequential writes of `total` bytes in blocks of
// `block` bytes into space the file never had (a new file each pass, growing
// as it is written), best of `rounds` passes; 0 when direct I/O is refused.
// A file system may write such space at a fraction of the speed of a rewrite
// of written space (allocation; on a thinly provisioned virtual disk, the
// host's own): about half on the machines of docs/PERFORMANCE.md.
inline double DirectFreshWriteBandwidth(uint64_t block, uint64_t total, int rounds = 3) {
  AlignedBuffer buffer(block);
  if (buffer.data() == nullptr) return 0;
  double best = 0;
  for (int r = 0; r < rounds; ++r) {
    ScratchFile file(true);
    if (!file.IsOpen()) return 0;
    const double seconds = SequentialPass(file.Fd(), true, buffer.data(), block, total);
    if (seconds <= 0) return 0;
    best = std::max(best, static_cast<double>(total) / seconds);
  }
  return best;
}

// Flushes a file to the disk and drops its pages from the page cache, so that
// the next read comes from the disk. False when either step fails.
inline bool DropFromCache(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return false;
  const bool ok = fsync(fd) == 0 && posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED) == 0;
  close(fd);
  return ok;
}

// For a cold-cache round: drops the file's pages outside the timed part of
// the iteration. False (with the benchmark marked as skipped) when they
// cannot be dropped.
inline bool DropFromCacheUntimed(benchmark::State& state, const std::string& path) {
  state.PauseTiming();
  const bool dropped = DropFromCache(path);
  state.ResumeTiming();
  if (!dropped) state.SkipWithError("drop from cache");
  return dropped;
}

// fsync of a file by its path (after a writer that has no descriptor to
// offer, such as a file stream or another library, closed it).
inline bool SyncPath(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return false;
  const bool ok = fsync(fd) == 0;
  close(fd);
  return ok;
}

// --- process -----------------------------------------------------------------------

// Resident set size of the process in bytes (/proc/self/statm).
inline uint64_t ResidentBytes() {
  unsigned long long size = 0, resident = 0;
  FILE* f = std::fopen("/proc/self/statm", "r");
  if (f == nullptr) return 0;
  const int n = std::fscanf(f, "%llu %llu", &size, &resident);
  std::fclose(f);
  return n == 2 ? resident * static_cast<uint64_t>(sysconf(_SC_PAGESIZE)) : 0;
}

}  // namespace vqbench
