#!/usr/bin/env bash
# Builds everything and runs every test: the normal build (window, console and core), the
# core and console again under AddressSanitizer with UndefinedBehaviorSanitizer and under
# ThreadSanitizer, and the frame reader's fuzz target (corpus replay plus a short pass).
# TOVRIN_FUZZ_SECONDS sets the length of the fuzzing pass (default 60).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
jobs=$(nproc)
# shellcheck disable=SC2046
"$here/tools/ensure-packages.sh" $(cat "$here/tools/build-packages.txt")

step() { printf '\n=== %s ===\n' "$*"; }

step "build and test (RelWithDebInfo)"
cmake -S "$here" -B "$here/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOVRIN_WITH_QT=ON -DTOVRIN_SANITIZE= > /dev/null
cmake --build "$here/build" -j"$jobs"
(cd "$here/build" && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j"$jobs")

step "address and undefined-behaviour sanitizers"
cmake -S "$here" -B "$here/build-asan" -DCMAKE_BUILD_TYPE=Debug -DTOVRIN_WITH_QT=OFF \
  -DTOVRIN_SANITIZE=address,undefined > /dev/null
cmake --build "$here/build-asan" -j"$jobs"
(cd "$here/build-asan" && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j"$jobs")

step "thread sanitizer"
cmake -S "$here" -B "$here/build-tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOVRIN_WITH_QT=OFF \
  -DTOVRIN_SANITIZE=thread > /dev/null
cmake --build "$here/build-tsan" -j"$jobs" --target tovrin_core_tests
(cd "$here/build-tsan" && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --output-on-failure -j"$jobs" -R '^core\.')

if [ -x "$here/fuzz/run.sh" ]; then
  step "fuzzing the frame reader"
  "$here/fuzz/run.sh" "${TOVRIN_FUZZ_SECONDS:-60}"
fi
step "all tests passed"
