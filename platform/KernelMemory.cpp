// Memory status, virtual memory and local heap blocks.
//
// Memory status. "Available physical memory" is the smaller of MemAvailable
// (/proc/meminfo) and the headroom of the process's memory cgroup: limit minus
// usage at the level of the cgroup hierarchy (own cgroup or an ancestor) that
// has the least. The matrix asks on every element access, so the reading is
// cached in relaxed atomics and refreshed when kMemoryStatusRefreshMs have
// passed on the coarse monotonic clock (a few nanoseconds to read): about 12
// ns per query. One caller at a time refreshes (a try-lock); the others
// meanwhile use the previous reading, which is about one interval old. Fields
// may come from two neighbouring readings; each field is still a real reading.
// Which cgroup levels carry a limit (the walk over /proc/self/cgroup and the
// hierarchy, about 40 us here) is looked up once a second and at once in a
// forked child, so a process moved to another cgroup sees the new limit within
// a second; limit and usage of those levels are read at every refresh.
//
// This is the system's reading only: the process's memory budget is the
// matrix library's policy (memory/MemoryBudget.h), applied on top of it.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "VQKernel.h"

namespace {

// Reads a small file into buf (terminated); false when it cannot be read.
bool ReadSmallFile(const char* path, char* buf, size_t size) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  size_t used = 0;
  while (used + 1 < size) {
    const ssize_t n = read(fd, buf + used, size - 1 - used);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    used += static_cast<size_t>(n);
  }
  close(fd);
  buf[used] = '\0';
  return used > 0;
}

// Parses a decimal number at the start of text (after blanks); false when
// there is none.
bool ParseU64(const char* text, uint64_t* value) {
  while (*text == ' ' || *text == '\t') ++text;
  if (*text < '0' || *text > '9') return false;
  uint64_t v = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    const uint64_t digit = static_cast<uint64_t>(*text - '0');
    if (v > (UINT64_MAX - digit) / 10) return false;
    v = v * 10 + digit;
  }
  *value = v;
  return true;
}

bool ReadU64File(const char* path, uint64_t* value) {
  char buf[64];
  return ReadSmallFile(path, buf, sizeof buf) && ParseU64(buf, value);
}

// A meminfo line "Name:   1234 kB" -> bytes.
bool MemInfoField(const char* text, const char* name, uint64_t* bytes) {
  const size_t len = strlen(name);
  for (const char* line = text; line && *line;) {
    if (strncmp(line, name, len) == 0 && line[len] == ':') {
      uint64_t kib = 0;
      if (!ParseU64(line + len + 1, &kib) || kib > UINT64_MAX / 1024) return false;
      *bytes = kib * 1024;
      return true;
    }
    line = strchr(line, '\n');
    if (line) ++line;
  }
  return false;
}

// A v1 limit this large (the kernel reports about 2^63 rounded to a page) means
// no limit.
constexpr uint64_t kNoLimitV1 = uint64_t{1} << 62;

// Limit and usage of one cgroup directory; false when it has no limit.
bool LevelLimit(const char* dir, int version, uint64_t* limit, uint64_t* usage) {
  char path[4200];
  if (version == 1) {
    if (snprintf(path, sizeof path, "%s/memory.limit_in_bytes", dir) >= static_cast<int>(sizeof path))
      return false;
    if (!ReadU64File(path, limit) || *limit >= kNoLimitV1) return false;
    snprintf(path, sizeof path, "%s/memory.usage_in_bytes", dir);
  } else {
    if (snprintf(path, sizeof path, "%s/memory.max", dir) >= static_cast<int>(sizeof path)) return false;
    char buf[64];
    if (!ReadSmallFile(path, buf, sizeof buf) || strncmp(buf, "max", 3) == 0) return false;
    if (!ParseU64(buf, limit)) return false;
    snprintf(path, sizeof path, "%s/memory.current", dir);
  }
  return ReadU64File(path, usage);
}

bool IsDirectory(const char* path) {
  struct stat st {};
  return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// A cgroup level that has a memory limit.
struct LimitedLevel {
  char dir[4096];
  int version;
};
constexpr int kMaxLimitedLevels = 8;

// The cgroup levels with a memory limit that the process is under.
struct LimitedLevels {
  int count = 0;
  LimitedLevel level[kMaxLimitedLevels];
};

// Adds the levels with a limit from root + relative up to root. A relative
// path that does not exist under root (a cgroup namespace shows the process's
// own cgroup as the mount's root) starts at root itself.
void CollectLevels(const char* root, const char* relative, int version, LimitedLevels* out) {
  char dir[4096];
  const size_t rootLen = strlen(root);
  if (snprintf(dir, sizeof dir, "%s%s", root, relative) >= static_cast<int>(sizeof dir)) return;
  size_t len = strlen(dir);
  while (len > rootLen && dir[len - 1] == '/') dir[--len] = '\0';
  if (!IsDirectory(dir)) {
    dir[rootLen] = '\0';
    len = rootLen;
  }
  for (;;) {
    uint64_t limit = 0, usage = 0;
    if (out->count < kMaxLimitedLevels && LevelLimit(dir, version, &limit, &usage)) {
      LimitedLevel& level = out->level[out->count++];
      memcpy(level.dir, dir, len + 1);
      level.version = version;
    }
    if (len <= rootLen) break;
    char* slash = strrchr(dir, '/');
    if (!slash || static_cast<size_t>(slash - dir) < rootLen) break;
    *slash = '\0';
    len = static_cast<size_t>(slash - dir);
  }
}

// Reads /proc/self/cgroup (or a stand-in) and collects the limited levels of
// the memory controller, v1 and v2.
bool CollectLimitedLevels(const char* procSelfCgroup, const char* v1Root, const char* v2Root,
                          LimitedLevels* out) {
  char buf[8192];
  out->count = 0;
  if (!ReadSmallFile(procSelfCgroup, buf, sizeof buf)) return false;
  // Lines are "id:controllers:path". v1 names the memory controller in a
  // comma-separated list; v2 is the line with id 0 and no controllers.
  for (char* line = buf; line && *line;) {
    char* next = strchr(line, '\n');
    if (next) *next++ = '\0';
    char* c1 = strchr(line, ':');
    char* c2 = c1 ? strchr(c1 + 1, ':') : nullptr;
    if (c2) {
      *c2 = '\0';
      const char* controllers = c1 + 1;
      const char* path = c2 + 1;
      if (strncmp(line, "0:", 2) == 0 && *controllers == '\0') {
        CollectLevels(v2Root, path, 2, out);
      } else {
        for (const char* p = controllers; *p;) {
          const char* comma = strchr(p, ',');
          const size_t n = comma ? static_cast<size_t>(comma - p) : strlen(p);
          if (n == 6 && strncmp(p, "memory", 6) == 0) CollectLevels(v1Root, path, 1, out);
          if (!comma) break;
          p = comma + 1;
        }
      }
    }
    line = next;
  }
  return out->count > 0;
}

// The level with the least headroom now; false when none can be read.
bool TightestLevel(const LimitedLevels& levels, vq::CgroupMemoryLimit* out) {
  bool found = false;
  uint64_t best = 0;
  for (int i = 0; i < levels.count; ++i) {
    uint64_t limit = 0, usage = 0;
    if (!LevelLimit(levels.level[i].dir, levels.level[i].version, &limit, &usage)) continue;
    const uint64_t headroom = limit > usage ? limit - usage : 0;
    if (!found || headroom < best) {
      found = true;
      best = headroom;
      out->limit = limit;
      out->usage = usage;
      out->version = levels.level[i].version;
    }
  }
  return found;
}

uint64_t UsedVirtualBytes() {
  char buf[128];
  uint64_t pages = 0;
  if (ReadSmallFile("/proc/self/statm", buf, sizeof buf) && ParseU64(buf, &pages))
    return pages * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  return 0;
}

// A 64-bit process has 128 TiB of user address space, as on Windows.
constexpr uint64_t kTotalVirtual = uint64_t{1} << 47;

// Fills status from the readings.
void Compose(const vq::MemInfo& info, const vq::CgroupMemoryLimit* cg, uint64_t usedVirtual,
             MEMORYSTATUSEX* status) {
  uint64_t totalPhys = info.memTotal;
  uint64_t availPhys = info.memAvailable;
  auto limitTo = [&](uint64_t limit, uint64_t usage) {
    const uint64_t headroom = limit > usage ? limit - usage : 0;
    if (limit < totalPhys) totalPhys = limit;
    if (headroom < availPhys) availPhys = headroom;
  };
  if (cg) limitTo(cg->limit, cg->usage);
  status->dwLength = sizeof(MEMORYSTATUSEX);
  status->ullTotalPhys = totalPhys;
  status->ullAvailPhys = availPhys;
  status->dwMemoryLoad =
      totalPhys ? static_cast<DWORD>((totalPhys - (availPhys < totalPhys ? availPhys : totalPhys)) * 100 /
                                     totalPhys)
                : 0;
  status->ullTotalPageFile = info.memTotal + info.swapTotal;
  status->ullAvailPageFile = info.memAvailable + info.swapFree;
  status->ullTotalVirtual = kTotalVirtual;
  status->ullAvailVirtual = usedVirtual < kTotalVirtual ? kTotalVirtual - usedVirtual : 0;
  status->ullAvailExtendedVirtual = 0;
}

}  // namespace

namespace vq {

bool ReadMemInfo(MemInfo* info, const char* path) {
  char buf[8192];
  if (!info || !ReadSmallFile(path, buf, sizeof buf)) return false;
  MemInfo result;
  if (!MemInfoField(buf, "MemTotal", &result.memTotal) ||
      !MemInfoField(buf, "MemAvailable", &result.memAvailable))
    return false;
  MemInfoField(buf, "SwapTotal", &result.swapTotal);
  MemInfoField(buf, "SwapFree", &result.swapFree);
  *info = result;
  return true;
}

bool ReadMemAvailable(uint64_t* bytes) {
  MemInfo info;
  if (!bytes || !ReadMemInfo(&info)) return false;
  *bytes = info.memAvailable;
  return true;
}

bool ReadCgroupMemoryLimit(CgroupMemoryLimit* out, const char* procSelfCgroup, const char* v1Root,
                           const char* v2Root) {
  if (!out) return false;
  auto levels = std::make_unique<LimitedLevels>();
  return CollectLimitedLevels(procSelfCgroup, v1Root, v2Root, levels.get()) && TightestLevel(*levels, out);
}

bool ParseMemorySize(const char* text, uint64_t* bytes) {
  if (text == nullptr || bytes == nullptr) return false;
  while (*text == ' ' || *text == '\t') ++text;
  uint64_t value = 0;
  if (!ParseU64(text, &value)) return false;
  while (*text >= '0' && *text <= '9') ++text;
  unsigned shift = 0;
  switch (*text) {
    case 'k': case 'K': shift = 10; break;
    case 'm': case 'M': shift = 20; break;
    case 'g': case 'G': shift = 30; break;
    case 't': case 'T': shift = 40; break;
    default: break;
  }
  if (shift != 0) {
    ++text;
    if (*text == 'i') ++text;  // KiB, MiB, ...
    if (*text == 'B' || *text == 'b') ++text;
  } else if (*text == 'B' || *text == 'b') {
    ++text;
  }
  while (*text == ' ' || *text == '\t') ++text;
  if (*text != '\0') return false;
  if (shift != 0 && value > (UINT64_MAX >> shift)) return false;
  *bytes = value << shift;
  return true;
}

bool ReadMemoryStatusUncached(MEMORYSTATUSEX* status) {
  MemInfo info;
  if (!status || !ReadMemInfo(&info)) return false;
  CgroupMemoryLimit cg;
  const bool limited = ReadCgroupMemoryLimit(&cg);
  Compose(info, limited ? &cg : nullptr, UsedVirtualBytes(), status);
  return true;
}

}  // namespace vq

namespace {

// Which cgroup levels limit the process, and its virtual size, change rarely;
// they are looked up again after this long (or at once in a forked child).
constexpr uint64_t kMembershipRefreshMs = 1000;

struct MemoryStatusCache {
  std::atomic<uint64_t> nextRefreshMs{0};
  std::atomic<bool> valid{false};
  std::atomic<uint32_t> memoryLoad{0};
  std::atomic<uint64_t> totalPhys{0}, availPhys{0}, totalPageFile{0}, availPageFile{0}, totalVirtual{0},
      availVirtual{0};

  // Held by the one caller that refreshes; the others keep the old reading
  // (except the very first reading, which everyone waits for).
  vq::Mutex refreshLock;
  pid_t pid VQ_GUARDED_BY(refreshLock) = 0;
  uint64_t nextMembershipMs VQ_GUARDED_BY(refreshLock) = 0;
  uint64_t usedVirtual VQ_GUARDED_BY(refreshLock) = 0;
  LimitedLevels levels VQ_GUARDED_BY(refreshLock);
};

MemoryStatusCache& Cache() {
  static MemoryStatusCache* cache = new MemoryStatusCache;  // never destroyed
  return *cache;
}

uint64_t CoarseNowMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

void Store(MemoryStatusCache& c, const MEMORYSTATUSEX& s) {
  c.memoryLoad.store(s.dwMemoryLoad, std::memory_order_relaxed);
  c.totalPhys.store(s.ullTotalPhys, std::memory_order_relaxed);
  c.availPhys.store(s.ullAvailPhys, std::memory_order_relaxed);
  c.totalPageFile.store(s.ullTotalPageFile, std::memory_order_relaxed);
  c.availPageFile.store(s.ullAvailPageFile, std::memory_order_relaxed);
  c.totalVirtual.store(s.ullTotalVirtual, std::memory_order_relaxed);
  c.availVirtual.store(s.ullAvailVirtual, std::memory_order_relaxed);
  c.valid.store(true, std::memory_order_release);
}

// Reads meminfo and the limited levels' files (about 10 us plus 15 us per
// limited level here); the membership walk runs only once a second.
void Refresh(MemoryStatusCache& c, uint64_t now) VQ_REQUIRES(c.refreshLock) {
  const pid_t pid = getpid();
  if (pid != c.pid || now >= c.nextMembershipMs) {
    CollectLimitedLevels("/proc/self/cgroup", "/sys/fs/cgroup/memory", "/sys/fs/cgroup", &c.levels);
    c.usedVirtual = UsedVirtualBytes();
    c.pid = pid;
    c.nextMembershipMs = now + kMembershipRefreshMs;
  }
  vq::MemInfo info;
  if (vq::ReadMemInfo(&info)) {
    vq::CgroupMemoryLimit cg;
    const bool limited = TightestLevel(c.levels, &cg);
    MEMORYSTATUSEX s{};
    Compose(info, limited ? &cg : nullptr, c.usedVirtual, &s);
    Store(c, s);
  }
  c.nextRefreshMs.store(now + vq::kMemoryStatusRefreshMs, std::memory_order_relaxed);
}

bool CachedStatus(MEMORYSTATUSEX* out) {
  MemoryStatusCache& c = Cache();
  const uint64_t now = CoarseNowMs();
  if (!c.valid.load(std::memory_order_acquire)) {
    vq::MutexLock lock(c.refreshLock);
    if (!c.valid.load(std::memory_order_acquire)) Refresh(c, now);
    if (!c.valid.load(std::memory_order_acquire)) return false;
  } else if (now >= c.nextRefreshMs.load(std::memory_order_relaxed)) {
    if (c.refreshLock.try_lock()) {
      if (now >= c.nextRefreshMs.load(std::memory_order_relaxed)) Refresh(c, now);
      c.refreshLock.unlock();
    }
  }
  out->dwLength = sizeof(MEMORYSTATUSEX);
  out->dwMemoryLoad = c.memoryLoad.load(std::memory_order_relaxed);
  out->ullTotalPhys = c.totalPhys.load(std::memory_order_relaxed);
  out->ullAvailPhys = c.availPhys.load(std::memory_order_relaxed);
  out->ullTotalPageFile = c.totalPageFile.load(std::memory_order_relaxed);
  out->ullAvailPageFile = c.availPageFile.load(std::memory_order_relaxed);
  out->ullTotalVirtual = c.totalVirtual.load(std::memory_order_relaxed);
  out->ullAvailVirtual = c.availVirtual.load(std::memory_order_relaxed);
  out->ullAvailExtendedVirtual = 0;
  return true;
}

}  // namespace

namespace vq {

void InvalidateMemoryStatus() { Cache().nextRefreshMs.store(0, std::memory_order_relaxed); }

}  // namespace vq

EXTERN_C BOOL GlobalMemoryStatusEx(LPMEMORYSTATUSEX status) {
  if (!status || status->dwLength != sizeof(MEMORYSTATUSEX)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  MEMORYSTATUSEX s{};
  if (!CachedStatus(&s)) {
    SetLastError(ERROR_GEN_FAILURE);
    return FALSE;
  }
  *status = s;
  return TRUE;
}

EXTERN_C void GlobalMemoryStatus(LPMEMORYSTATUS status) {
  if (!status) return;
  MEMORYSTATUSEX s{};
  if (!CachedStatus(&s)) s = MEMORYSTATUSEX{};  // no reading: report nothing available
  status->dwLength = sizeof(MEMORYSTATUS);
  status->dwMemoryLoad = s.dwMemoryLoad;
  status->dwTotalPhys = s.ullTotalPhys;
  status->dwAvailPhys = s.ullAvailPhys;
  status->dwTotalPageFile = s.ullTotalPageFile;
  status->dwAvailPageFile = s.ullAvailPageFile;
  status->dwTotalVirtual = s.ullTotalVirtual;
  status->dwAvailVirtual = s.ullAvailVirtual;
}

// ---------------------------------------------------------------------------
// Virtual memory. Regions are recorded with their size so that MEM_RELEASE,
// which passes no size, can unmap the whole reservation.
// ---------------------------------------------------------------------------
namespace {

struct RegionTable {
  vq::Mutex lock;
  std::map<uintptr_t, size_t> regions VQ_GUARDED_BY(lock);  // base -> size in bytes (page multiple)
};

RegionTable& Regions() {
  static RegionTable* table = new RegionTable;  // never destroyed
  return *table;
}

bool ProtFromPage(DWORD protect, int* prot) {
  switch (protect) {
    case PAGE_NOACCESS: *prot = PROT_NONE; return true;
    case PAGE_READONLY: *prot = PROT_READ; return true;
    case PAGE_READWRITE: *prot = PROT_READ | PROT_WRITE; return true;
    default: return false;
  }
}

size_t PageSize() { return static_cast<size_t>(sysconf(_SC_PAGESIZE)); }

// The recorded region holding [address, address + size), or false.
bool FindRegion(RegionTable& t, uintptr_t address, size_t size, uintptr_t* base, size_t* length) VQ_REQUIRES(t.lock) {
  auto it = t.regions.upper_bound(address);
  if (it == t.regions.begin()) return false;
  --it;
  if (address - it->first >= it->second || size > it->second - (address - it->first)) return false;
  *base = it->first;
  *length = it->second;
  return true;
}

}  // namespace

EXTERN_C LPVOID VirtualAlloc(LPVOID address, SIZE_T size, DWORD allocationType, DWORD protect) {
  int prot = 0;
  if (size == 0 || !ProtFromPage(protect, &prot) ||
      (allocationType & ~(MEM_COMMIT | MEM_RESERVE)) != 0 || allocationType == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const size_t page = PageSize();
  RegionTable& t = Regions();
  // MEM_COMMIT of a new region (no address) reserves it too, as on Windows.
  if (allocationType == MEM_COMMIT && !address) allocationType |= MEM_RESERVE;
  if (allocationType & MEM_RESERVE) {
    if (address) {  // placing a reservation at a chosen address is not supported
      SetLastError(ERROR_INVALID_ADDRESS);
      return nullptr;
    }
    if (size > SIZE_MAX - page) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
    const size_t length = (size + page - 1) / page * page;
    const int initial = (allocationType & MEM_COMMIT) ? prot : PROT_NONE;
    void* p = mmap(nullptr, length, initial, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) {
      SetLastError(vq::Win32ErrorFromErrno(errno));
      return nullptr;
    }
    try {
      vq::MutexLock lock(t.lock);
      t.regions[reinterpret_cast<uintptr_t>(p)] = length;
    } catch (...) {
      munmap(p, length);
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
    return p;
  }
  // MEM_COMMIT alone: make pages of a reserved region accessible.
  const uintptr_t start = reinterpret_cast<uintptr_t>(address) / page * page;
  const uintptr_t end = reinterpret_cast<uintptr_t>(address) + size;
  vq::MutexLock lock(t.lock);
  uintptr_t base = 0;
  size_t length = 0;
  if (!address || end < start || !FindRegion(t, start, end - start, &base, &length)) {
    SetLastError(ERROR_INVALID_ADDRESS);
    return nullptr;
  }
  const size_t span = (end - start + page - 1) / page * page;
  if (mprotect(reinterpret_cast<void*>(start), span, prot) != 0) {
    SetLastError(vq::Win32ErrorFromErrno(errno));
    return nullptr;
  }
  return reinterpret_cast<void*>(start);
}

EXTERN_C BOOL VirtualFree(LPVOID address, SIZE_T size, DWORD freeType) {
  RegionTable& t = Regions();
  const uintptr_t where = reinterpret_cast<uintptr_t>(address);
  if (freeType == MEM_RELEASE) {
    if (size != 0) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    vq::MutexLock lock(t.lock);
    auto it = t.regions.find(where);
    if (it == t.regions.end()) {
      SetLastError(ERROR_INVALID_ADDRESS);
      return FALSE;
    }
    munmap(address, it->second);
    t.regions.erase(it);
    return TRUE;
  }
  if (freeType == MEM_DECOMMIT) {
    const size_t page = PageSize();
    vq::MutexLock lock(t.lock);
    uintptr_t base = 0;
    size_t length = 0;
    const uintptr_t start = where / page * page;
    if (!address || !FindRegion(t, start, 1, &base, &length)) {
      SetLastError(ERROR_INVALID_ADDRESS);
      return FALSE;
    }
    // Size 0 decommits from address to the end of the region.
    size_t span = size == 0 ? length - (start - base) : (where + size - start + page - 1) / page * page;
    if (span > length - (start - base)) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    // Fresh anonymous pages replace the old ones, so a later commit sees zeros.
    if (mmap(reinterpret_cast<void*>(start), span, PROT_NONE,
             MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED, -1, 0) == MAP_FAILED) {
      SetLastError(vq::Win32ErrorFromErrno(errno));
      return FALSE;
    }
    return TRUE;
  }
  SetLastError(ERROR_INVALID_PARAMETER);
  return FALSE;
}

// ---------------------------------------------------------------------------
// Local heap blocks.
// ---------------------------------------------------------------------------
EXTERN_C HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) {
  if (flags & ~LMEM_ZEROINIT) {  // movable blocks are not supported
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  void* p = (flags & LMEM_ZEROINIT) ? calloc(bytes ? bytes : 1, 1) : malloc(bytes ? bytes : 1);
  if (!p) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return p;
}

EXTERN_C HLOCAL LocalFree(HLOCAL block) {
  free(block);
  return nullptr;
}
