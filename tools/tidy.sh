#!/usr/bin/env bash
# clang-tidy over the toolkit-free core and the console front end with the checks in
# .clang-tidy; fails on any warning. Needs a configured build directory, default build/: the
# sources are the ones CMake lists for those targets (tidy-sources.txt there).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
cd "$here"
out=$(xargs -P"$(nproc)" -n4 clang-tidy -p "$build" --quiet < "$build/tidy-sources.txt" 2>/dev/null |
  grep -E 'warning:|error:' || true)
if [ -n "$out" ]; then
  echo "$out"
  exit 1
fi
echo "clang-tidy: no warnings"
