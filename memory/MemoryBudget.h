// MemoryBudget.h - the process's memory budget and the available memory the
// memory check weighs.
//
// The budget is policy, not a system reading: a process may cap what its
// matrices keep in memory below what the system (or its cgroup) would allow.
// It is a process setting rather than a per-matrix one because the memory
// check is process-wide in effect: every matrix swaps while the process as a
// whole is over. Off (0) by default; the environment variable
// VQ_MEMORY_BUDGET sets it at the first use of the budget (binary units:
// 512M, 2G, 1GiB; a value that is not a size is reported on the debug channel
// and ignored), and SetMemoryBudget overrides it. Clients find
// SetMemoryBudget declared in VQDataMatrixLib.h too.
//
// Threads: every function may be called from any thread.
#pragma once

#include <cstdint>

#include "memory/Environment.h"

namespace vq {

void SetMemoryBudget(uint64_t bytes);
uint64_t MemoryBudget();

// Available physical memory as the memory check weighs it: the environment's
// reading, and while a budget is set at most budget - resident size (0 once
// the process is over its budget). The resident size is read at most once
// per kResidentRefreshMs of env.NowMs(): the matrix asks on every element
// access, and the budget off costs nothing beyond the reading. False when
// the environment has no reading (*bytes is then unchanged).
bool AvailableMemory(Environment& env, uint64_t* bytes);

// A save has just freed memory: the next AvailableMemory reads the
// environment and the resident size afresh instead of acting on readings
// from before.
void MemoryFreed(Environment& env);

// How long a reading of the resident size stands: the same 10 ms the system
// reading is cached for.
inline constexpr uint64_t kResidentRefreshMs = 10;

}  // namespace vq
