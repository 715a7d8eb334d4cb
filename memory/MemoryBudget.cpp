#include "memory/MemoryBudget.h"

#include <atomic>
#include <cstdlib>

namespace vq {
namespace {

std::atomic<uint64_t>& Budget() {
  // VQ_MEMORY_BUDGET is taken at the first use of the budget, so that a
  // later SetMemoryBudget call overrides it.
  static std::atomic<uint64_t> budget{[] {
    uint64_t bytes = 0;
    const char* text = getenv("VQ_MEMORY_BUDGET");
    if (text == nullptr || *text == '\0') return uint64_t{0};
    if (!ParseMemorySize(text, &bytes)) {
      OutputDebugStringA("VQ_MEMORY_BUDGET is not a size (for example 512M or 2G); no budget set\r\n");
      return uint64_t{0};
    }
    return bytes;
  }()};
  return budget;
}

}  // namespace

// The resident size cached in the environment (Environment::m_Resident*).
class ResidentCache {
 public:
  static uint64_t Read(Environment& env) {
    const uint64_t now = env.NowMs();
    if (now < env.m_ResidentUntilMs.load(std::memory_order_relaxed)) {
      return env.m_ResidentBytes.load(std::memory_order_relaxed);
    }
    const uint64_t resident = env.ResidentBytes();
    env.m_ResidentBytes.store(resident, std::memory_order_relaxed);
    env.m_ResidentUntilMs.store(now + kResidentRefreshMs, std::memory_order_relaxed);
    return resident;
  }
  static void Drop(Environment& env) { env.m_ResidentUntilMs.store(0, std::memory_order_relaxed); }
};

void SetMemoryBudget(uint64_t bytes) { Budget().store(bytes, std::memory_order_relaxed); }

uint64_t MemoryBudget() { return Budget().load(std::memory_order_relaxed); }

bool AvailableMemory(Environment& env, uint64_t* bytes) {
  MEMORYSTATUSEX status{};
  if (!env.MemoryStatus(&status)) return false;
  uint64_t available = status.ullAvailPhys;
  const uint64_t budget = MemoryBudget();
  if (budget != 0) {
    const uint64_t resident = ResidentCache::Read(env);
    const uint64_t headroom = budget > resident ? budget - resident : 0;
    if (headroom < available) available = headroom;
  }
  *bytes = available;
  return true;
}

void MemoryFreed(Environment& env) {
  ResidentCache::Drop(env);
  env.MemoryFreed();
}

}  // namespace vq
