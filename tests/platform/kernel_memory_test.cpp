// Memory status (real reading, cgroup parsing, a real memory cgroup), the
// size parser and virtual memory.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "TempDir.h"
#include "VQKernel.h"
#include "support/MemoryCgroup.h"

namespace {

constexpr uint64_t kMiB = 1024 * 1024;

// Writes text to `relative` under dir, making the folders on the way.
void Write(const TempDir& dir, const std::string& relative, const std::string& text) {
  const std::filesystem::path full = std::filesystem::path(dir.Path()) / relative;
  std::filesystem::create_directories(full.parent_path());
  std::ofstream(full) << text;
}

// ---------------------------------------------------------------------------
// The real provider on this machine.
// ---------------------------------------------------------------------------
TEST(MemoryStatus, RealReadingIsPlausible) {
  vq::MemInfo info;
  ASSERT_TRUE(vq::ReadMemInfo(&info));
  EXPECT_GT(info.memTotal, 16 * kMiB);
  EXPECT_LE(info.memAvailable, info.memTotal);
  uint64_t available = 0;
  ASSERT_TRUE(vq::ReadMemAvailable(&available));
  EXPECT_LE(available, info.memTotal);

  MEMORYSTATUSEX ex{};
  ex.dwLength = sizeof ex;
  ASSERT_TRUE(GlobalMemoryStatusEx(&ex));
  EXPECT_GT(ex.ullTotalPhys, 0u);
  EXPECT_LE(ex.ullTotalPhys, info.memTotal);
  EXPECT_LE(ex.ullAvailPhys, ex.ullTotalPhys);
  EXPECT_LE(ex.dwMemoryLoad, 100u);
  EXPECT_GT(ex.ullTotalVirtual, ex.ullTotalPhys);

  vq::CgroupMemoryLimit cg;
  if (vq::ReadCgroupMemoryLimit(&cg)) {
    EXPECT_LE(ex.ullAvailPhys, cg.limit > cg.usage ? cg.limit - cg.usage : 0);
  }

  // The classic structure carries the same 64-bit figures, without a clamp.
  MEMORYSTATUS classic{};
  GlobalMemoryStatus(&classic);
  EXPECT_EQ(classic.dwLength, sizeof(MEMORYSTATUS));
  EXPECT_EQ(classic.dwTotalPhys, ex.ullTotalPhys);
  EXPECT_EQ(classic.dwTotalVirtual, ex.ullTotalVirtual);

  // A wrong length or no structure is refused.
  ex.dwLength = sizeof ex - 8;
  EXPECT_FALSE(GlobalMemoryStatusEx(&ex));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(GlobalMemoryStatusEx(nullptr));
  GlobalMemoryStatus(nullptr);  // no crash
}

TEST(MemoryStatus, CachedReadingIsSafeFromManyThreads) {
  std::vector<std::thread> threads;
  std::atomic<int> bad{0};
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        MEMORYSTATUS s{};
        GlobalMemoryStatus(&s);
        if (s.dwTotalPhys == 0 || s.dwAvailPhys > s.dwTotalPhys) ++bad;
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(bad.load(), 0);
}

TEST(MemorySize, SizesParseWithBinaryUnitsAndJunkIsRefused) {
  struct Case {
    const char* text;
    uint64_t bytes;
  };
  for (const Case& c : {Case{"1048576", 1048576}, Case{"512K", 512ull << 10}, Case{"64M", 64ull << 20},
                        Case{" 2G ", 2ull << 30}, Case{"1GiB", 1ull << 30}, Case{"3mb", 3ull << 20},
                        Case{"1T", 1ull << 40}, Case{"0", 0}}) {
    uint64_t bytes = 1;
    EXPECT_TRUE(vq::ParseMemorySize(c.text, &bytes)) << c.text;
    EXPECT_EQ(bytes, c.bytes) << c.text;
  }
  for (const char* bad : {"", "M", "-1", "12X", "1.5G", "64 M B", "99999999999999999999", "17179869184T"}) {
    uint64_t bytes = 7;
    EXPECT_FALSE(vq::ParseMemorySize(bad, &bytes)) << bad;
    EXPECT_EQ(bytes, 7u) << bad;
  }
  EXPECT_FALSE(vq::ParseMemorySize(nullptr, nullptr));
}

// ---------------------------------------------------------------------------
// cgroup parsing on fake trees.
// ---------------------------------------------------------------------------
// Each case is a fake tree: /proc/self/cgroup as "proc", the v1 memory mount
// under "v1", the v2 mount under "v2".
TEST(CgroupLimit, FakeTrees) {
  struct Case {
    const char* what;
    std::vector<std::pair<std::string, std::string>> files;
    bool limited;
    int version;
    uint64_t limit, usage;
  } const cases[] = {
      {"v1 takes the level with the least headroom (the parent: 200 left against 2000 in the child)",
       {{"proc", "5:cpu,cpuacct:/x\n4:memory:/a/b\n0::/\n"},
        {"v1/memory.limit_in_bytes", "9223372036854771712\n"},
        {"v1/memory.usage_in_bytes", "1000\n"},
        {"v1/a/memory.limit_in_bytes", "5000\n"},
        {"v1/a/memory.usage_in_bytes", "4800\n"},
        {"v1/a/b/memory.limit_in_bytes", "3000\n"},
        {"v1/a/b/memory.usage_in_bytes", "1000\n"}},
       true, 1, 5000, 4800},
      {"v1 without a limit",
       {{"proc", "4:memory:/a\n"},
        {"v1/a/memory.limit_in_bytes", "9223372036854771712\n"},
        {"v1/a/memory.usage_in_bytes", "1000\n"}},
       false, 0, 0, 0},
      {"v2 max means no limit",
       {{"proc", "0::/svc/app\n"}, {"v2/svc/app/memory.max", "max\n"}, {"v2/svc/app/memory.current", "100\n"}},
       false, 0, 0, 0},
      {"v2 parent over its limit: no headroom",
       {{"proc", "0::/svc/app\n"},
        {"v2/svc/app/memory.max", "max\n"},
        {"v2/svc/app/memory.current", "100\n"},
        {"v2/svc/memory.max", "268435456\n"},
        {"v2/svc/memory.current", "300000000\n"}},
       true, 2, 268435456, 300000000},
      // Inside a cgroup namespace the mount's root is the process's own cgroup.
      {"a path missing under the mount falls back to the mount root",
       {{"proc", "0::/not/here\n"}, {"v2/memory.max", "1048576\n"}, {"v2/memory.current", "4096\n"}},
       true, 2, 1048576, 4096},
      {"garbage files",
       {{"proc", std::string(20000, ':') + "\n4:memory\n::::\n"}, {"v1/memory.limit_in_bytes", "lots\n"}},
       false, 0, 0, 0},
  };
  for (const Case& c : cases) {
    TempDir d;
    for (const auto& [path, text] : c.files) Write(d, path, text);
    const std::string proc = d.Path() + "/proc", v1 = d.Path() + "/v1", v2 = d.Path() + "/v2";
    vq::CgroupMemoryLimit cg;
    ASSERT_EQ(vq::ReadCgroupMemoryLimit(&cg, proc.c_str(), v1.c_str(), v2.c_str()), c.limited) << c.what;
    if (!c.limited) continue;
    EXPECT_EQ(cg.version, c.version) << c.what;
    EXPECT_EQ(cg.limit, c.limit) << c.what;
    EXPECT_EQ(cg.usage, c.usage) << c.what;
  }
  vq::CgroupMemoryLimit cg;
  EXPECT_FALSE(vq::ReadCgroupMemoryLimit(&cg, "/nonexistent/cgroup", "/nonexistent/v1", "/nonexistent/v2"));
}

// ---------------------------------------------------------------------------
// A real memory cgroup: a child process moved into a limited child cgroup of
// ours must see the limit.
// ---------------------------------------------------------------------------
TEST(MemoryStatusInCgroup, ChildProcessSeesTheLimitOfItsCgroup) {
  constexpr uint64_t kLimit = 256 * kMiB;
  std::string skip;
  const int status = vq::test::RunUnderMemoryLimit(
      kLimit,
      [] {
        vq::CgroupMemoryLimit cg;
        if (!vq::ReadCgroupMemoryLimit(&cg) || cg.limit != kLimit) return 1;
        MEMORYSTATUSEX s{};
        s.dwLength = sizeof s;
        if (!vq::ReadMemoryStatusUncached(&s) || s.ullAvailPhys == 0 || s.ullAvailPhys > kLimit) return 2;
        // The cache copied from the parent is older than one refresh interval.
        Sleep(vq::kMemoryStatusRefreshMs * 5);
        return GlobalMemoryStatusEx(&s) && s.ullAvailPhys <= kLimit ? 0 : 3;
      },
      &skip);
  if (!skip.empty()) GTEST_SKIP() << skip;
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: limit not read, 2: uncached reading, 3: cached reading beyond it";
}

// ---------------------------------------------------------------------------
// Virtual memory.
// ---------------------------------------------------------------------------
TEST(VirtualMemory, CommittedMemoryIsZeroedPageAlignedAndReleasedWhole) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  auto* p = static_cast<unsigned char*>(VirtualAlloc(nullptr, 3 * page + 1, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % page, 0u);
  for (size_t i = 0; i < 4 * page; ++i) ASSERT_EQ(p[i], 0) << i;
  memset(p, 0xAB, 4 * page);
  SetLastError(0);
  EXPECT_FALSE(VirtualFree(p, page, MEM_RELEASE));  // a size with MEM_RELEASE is refused
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_TRUE(VirtualFree(p, 0, MEM_RELEASE));
  EXPECT_FALSE(VirtualFree(p, 0, MEM_RELEASE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ADDRESS));
}

TEST(VirtualMemory, ReserveCommitDecommitGivesFreshZeroPages) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  auto* base = static_cast<unsigned char*>(VirtualAlloc(nullptr, 4 * page, MEM_RESERVE, PAGE_READWRITE));
  ASSERT_NE(base, nullptr);
  auto* second = static_cast<unsigned char*>(VirtualAlloc(base + page + 10, 5, MEM_COMMIT, PAGE_READWRITE));
  EXPECT_EQ(second, base + page);
  second[0] = 7;
  EXPECT_TRUE(VirtualFree(second, page, MEM_DECOMMIT));
  ASSERT_EQ(VirtualAlloc(second, page, MEM_COMMIT, PAGE_READWRITE), second);
  EXPECT_EQ(second[0], 0);
  EXPECT_EQ(VirtualAlloc(base + 8 * page, page, MEM_COMMIT, PAGE_READWRITE), nullptr);  // outside
  EXPECT_TRUE(VirtualFree(base, 0, MEM_RELEASE));

  auto* committed = static_cast<unsigned char*>(VirtualAlloc(nullptr, 10, MEM_COMMIT, PAGE_READWRITE));
  ASSERT_NE(committed, nullptr);
  committed[9] = 1;
  EXPECT_TRUE(VirtualFree(committed, 0, MEM_RELEASE));
}

TEST(VirtualMemory, BadArgumentsAreRefused) {
  EXPECT_EQ(VirtualAlloc(nullptr, 0, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(VirtualAlloc(nullptr, 4096, MEM_RESERVE | MEM_COMMIT, 0x40 /*PAGE_EXECUTE_READWRITE*/), nullptr);
  EXPECT_EQ(VirtualAlloc(nullptr, ~size_t{0}, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE), nullptr);
  int local = 0;
  EXPECT_FALSE(VirtualFree(&local, 0, MEM_RELEASE));
}

}  // namespace
