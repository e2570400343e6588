#!/usr/bin/env bash
# clang-tidy over the core and the console front end with the checks in .clang-tidy; fails
# on any warning. Needs a configured build directory (compile_commands.json), default build/.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
cd "$here"
out=$(ls src/{protocol,session,workers,queue,storage,ui,cli}/*.cpp src/app/cthread.cpp |
  xargs -P"$(nproc)" -n4 clang-tidy -p "$build" --quiet 2>/dev/null | grep -E 'warning:|error:' || true)
if [ -n "$out" ]; then
  echo "$out"
  exit 1
fi
echo "clang-tidy: no warnings"
