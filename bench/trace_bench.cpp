// Cost of trace calls that produce nothing: tracing off (one integer test)
// against an empty loop, and calls that the level or keyword filter rejects.
#include <stdlib.h>

#include <fstream>
#include <string>

#include <benchmark/benchmark.h>

#include "trace/VQTrace.h"

namespace {

// Points the settings lookup at a scratch directory holding the given
// settings and restarts the facility so that the next call reads them.
void UseSettings(const std::string& body) {
  static std::string dir;
  if (dir.empty()) {
    char pattern[] = "/tmp/vqtracebench-XXXXXX";
    if (mkdtemp(pattern)) dir = pattern;
    setenv("VQ_CONFIG_DIR", dir.c_str(), 1);
  }
  std::ofstream(dir + "/Orvex.ini") << "[VqDebug]\n" << body;
  vq::ResetTraceForTest();
  VQTrace("DataMatrix", 99, "read the settings");
}

void BM_EmptyLoop(benchmark::State& state) {
  int x = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(x);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_EmptyLoop);

void BM_TraceOff(benchmark::State& state) {
  UseSettings("Level=0\n");
  int x = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(x);
    VQ_TRACE("Bench::Off", "DataMatrix", 2, "value %d", x);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_TraceOff);

void BM_TraceLevelFiltered(benchmark::State& state) {
  UseSettings("Level=1\nKeywords=datamatrix\n");
  int x = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(x);
    VQ_TRACE("Bench::Level", "DataMatrix", 2, "value %d", x);
  }
}
BENCHMARK(BM_TraceLevelFiltered);

void BM_TraceKeywordFiltered(benchmark::State& state) {
  UseSettings("Level=2\nKeywords=assert;swap;priority\n");
  int x = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(x);
    VQ_TRACE("Bench::Keyword", "DataMatrix", 2, "value %d", x);
  }
}
BENCHMARK(BM_TraceKeywordFiltered);

}  // namespace
