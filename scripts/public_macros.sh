#!/usr/bin/env bash
# Lists the macros that the public headers (include/*.h) define, one line per
# macro: the header, then the name. Usage: scripts/public_macros.sh [compiler]
# Define VQ_WIN32_COMPAT in CXXFLAGS to see what a port that opts in gets.
set -euo pipefail
cd "$(dirname "$0")/.."
cxx="${1:-g++}"
include="$(pwd)/include"
for header in include/*.h; do
  [[ "$header" == include/VQWin32Compat.h ]] || echo "#include \"$(basename "$header")\""
done | "$cxx" -std=c++20 ${CXXFLAGS:-} -I"$include" -dD -E -x c++ - |
  awk -v dir="$include/" '
    /^# [0-9]+ "/ { file = $3; gsub(/"/, "", file); next }
    /^#define / && index(file, dir) == 1 {
      name = $2; sub(/\(.*/, "", name)
      print substr(file, length(dir) + 1), name
    }' | sort -u
