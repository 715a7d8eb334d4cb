#!/usr/bin/env bash
# Builds and runs the whole test suite. Usage: scripts/test.sh [preset]
# (dev by default; asan, tsan and clang are the other test presets).
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-dev}"
bash scripts/deps.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
ctest --preset "$preset" -j "$(nproc)"
