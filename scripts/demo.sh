#!/usr/bin/env bash
# Builds the optimised tool and runs its demonstration.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake --preset release >/dev/null
cmake --build --preset release
./build/release/tools/vqdm demo "$@"
