#!/usr/bin/env bash
# Builds the release benchmarks, runs every one of them with JSON output and
# writes docs/PERFORMANCE.md (scripts/perf_table.py) from the results.
#
# Usage: scripts/bench.sh
# Environment: VQ_BENCH_BUILD_DIR (default build/release, configured with the
# release preset; another folder is configured with the same settings when it
# has no build yet), TMPDIR (the folder the swap file and
# the scratch files go to, /tmp by default: the script sets VQ_SWAP_DIR to it,
# so the swap file goes there even on tmpfs and the table names its folder).
#
# About five minutes on a 2-core machine. Short in-memory benchmarks run three
# times (the table takes the median); benchmarks that move hundreds of MiB
# through the disk run once with a fixed number of rounds, each round paired
# with its limit.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build="${VQ_BENCH_BUILD_DIR:-build/release}"
results="$build/bench-results"
started=$(date +%s)

bash scripts/deps.sh
if [ "$build" = "build/release" ]; then
  cmake --preset release >/dev/null
elif [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVQ_WERROR=ON -DVQ_BUILD_TESTS=OFF \
    -DCMAKE_CXX_COMPILER=g++ >/dev/null
fi
programs=()
for src in bench/*_bench.cpp; do
  name=$(basename "$src" .cpp)
  if cmake --build "$build" --target help | grep -q "^$name:"; then
    programs+=("$name")
  else
    echo "not built here (see the configure messages): $name"
  fi
done
cmake --build "$build" -j 2 --target "${programs[@]}"

tmp="${TMPDIR:-/tmp}"
export VQ_SWAP_DIR="$tmp"

rm -rf "$results"
mkdir -p "$results"

# run NAME PROGRAM [benchmark options...]: one JSON file per run.
run() {
  local name=$1 program=$2
  shift 2
  [ -x "$build/bench/$program" ] || return 0
  echo "=== $name ($(( $(date +%s) - started ))s)"
  "$build/bench/$program" --benchmark_format=json "$@" >"$results/$name.json" 2>"$results/$name.log" || {
    echo "$program failed; see $results/$name.log" >&2
    exit 1
  }
}
repeat=(--benchmark_repetitions=3 --benchmark_report_aggregates_only=true --benchmark_min_time=0.2)

run storage storage_bench "${repeat[@]}" --benchmark_filter='Walk|Random|CheckMemory'
run storage_swap storage_bench --benchmark_filter='Swap'
run ooc ooc_bench
run acquire acquire_bench
run slice slice_bench "${repeat[@]}"
run stream stream_bench "${repeat[@]}"
run hdf5 hdf5_bench "${repeat[@]}"
run trace trace_bench "${repeat[@]}"

# The machine, for the table's first section.
cxx=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$build/CMakeCache.txt")
{
  echo "cpu=$(lscpu | sed -n 's/^Model name: *//p' | head -1)"
  echo "cores=$(nproc)"
  echo "memory=$(awk '/^MemTotal/ {printf "%.1f GiB", $2 / 1048576}' /proc/meminfo)"
  echo "kernel=$(uname -sr)"
  echo "tmp=$tmp"
  echo "tmp_fs=$(df -T "$tmp" | awk 'NR == 2 {print $2 " (" $1 ")"}')"
  echo "compiler=$("${cxx:-c++}" --version | head -1)"
  echo "build_type=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build/CMakeCache.txt")"
  echo "hdf5=$(pkg-config --modversion hdf5 2>/dev/null || echo absent)"
  commit=$(git rev-parse --short HEAD 2>/dev/null || echo unknown)
  if ! git diff --quiet HEAD -- . ':!docs/PERFORMANCE.md' 2>/dev/null; then
    commit="$commit with local changes"
  fi
  echo "commit=$commit"
  echo "date=$(date -u '+%Y-%m-%d %H:%M UTC')"
  echo "seconds=$(( $(date +%s) - started ))"
} >"$results/machine.txt"

python3 scripts/perf_table.py "$results" docs/PERFORMANCE.md
echo "wrote $root/docs/PERFORMANCE.md in $(( $(date +%s) - started ))s"
