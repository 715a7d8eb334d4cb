// The memory budget: the rule (budget - resident size) over an environment's
// reading, the cached resident size, the real resident size and the
// environment variable.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "memory/MemoryBudget.h"
#include "support/ProcessInfo.h"
#include "support/TestEnvironment.h"

namespace {

constexpr uint64_t kMiB = 1024 * 1024;

TEST(MemoryBudget, AvailableMemoryIsAtMostBudgetLessResidentSize) {
  ASSERT_EQ(vq::MemoryBudget(), 0u) << "off unless asked for";
  struct Reset {
    ~Reset() { vq::SetMemoryBudget(0); }
  } reset;
  vq::test::MemoryEnvironment env;
  env.available = 1024 * kMiB;
  env.resident = 300 * kMiB;
  const struct {
    uint64_t budget, available;
  } cases[] = {
      {0, 1024 * kMiB},            // off: the system's reading
      {364 * kMiB, 64 * kMiB},     // 64 MiB left of the budget
      {300 * kMiB, 0},             // all of it resident
      {100 * kMiB, 0},             // over the budget: nothing
      {4096 * kMiB, 1024 * kMiB},  // the system is tighter
  };
  for (const auto& c : cases) {
    vq::SetMemoryBudget(c.budget);
    uint64_t available = 1;
    ASSERT_TRUE(vq::AvailableMemory(env, &available));
    EXPECT_EQ(available, c.available) << c.budget / kMiB << " MiB";
  }

  // The resident size is read again once its reading is kResidentRefreshMs
  // old, or at once after a save freed memory.
  vq::SetMemoryBudget(364 * kMiB);
  uint64_t available = 0;
  env.resident = 350 * kMiB;
  ASSERT_TRUE(vq::AvailableMemory(env, &available));
  EXPECT_EQ(available, 64 * kMiB) << "the reading of a moment ago";
  env.nowMs += vq::kResidentRefreshMs;
  ASSERT_TRUE(vq::AvailableMemory(env, &available));
  EXPECT_EQ(available, 14 * kMiB);
  env.resident = 340 * kMiB;
  vq::MemoryFreed(env);
  ASSERT_TRUE(vq::AvailableMemory(env, &available));
  EXPECT_EQ(available, 24 * kMiB);

  vq::test::FaultyEnvironment faulty(env);
  faulty.failMemoryStatus = true;
  EXPECT_FALSE(vq::AvailableMemory(faulty, &available));
}

TEST(MemoryBudget, SystemResidentSizeFollowsTouchedMemory) {
  vq::Environment& system = vq::SystemEnvironment();
  const uint64_t before = system.ResidentBytes();
  EXPECT_NEAR(static_cast<double>(before), static_cast<double>(vq::test::StatusBytes("VmRSS:")), 8.0 * kMiB);
  std::vector<char> block(24 * kMiB, 1);
  EXPECT_GE(system.ResidentBytes() + 4 * kMiB, before + 24 * kMiB) << static_cast<int>(block[kMiB]);
}

TEST(MemoryBudget, EnvironmentVariableSetsItAtTheFirstUse) {
  // The variable is read once per process, so a fresh process is needed: this
  // test binary, running only the probe below.
  for (const auto& [value, expected] :
       {std::pair<const char*, const char*>{"3G", "3221225472"}, std::pair<const char*, const char*>{"lots", "0"}}) {
    const std::string command = "VQ_MEMORY_BUDGET_PROBE=1 VQ_MEMORY_BUDGET='" + std::string(value) + "' /proc/" +
                                std::to_string(getpid()) +
                                "/exe --gtest_filter=MemoryBudget.Probe 2>/dev/null | grep '^budget='";
    FILE* out = popen(command.c_str(), "r");
    ASSERT_NE(out, nullptr);
    char line[64] = {};
    const bool got = fgets(line, sizeof line, out) != nullptr;
    pclose(out);
    ASSERT_TRUE(got) << command;
    EXPECT_EQ(std::string(line), "budget=" + std::string(expected) + "\n") << value;
  }
}

TEST(MemoryBudget, Probe) {
  if (getenv("VQ_MEMORY_BUDGET_PROBE") == nullptr) GTEST_SKIP() << "run by EnvironmentVariableSetsItAtTheFirstUse";
  std::printf("budget=%llu\n", static_cast<unsigned long long>(vq::MemoryBudget()));
}

}  // namespace
