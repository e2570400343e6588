#!/usr/bin/env bash
# Checks that the folders of src/ are layers, then builds everything and runs every test: the
# normal build (window, console and core), all of it again under AddressSanitizer with
# UndefinedBehaviorSanitizer (the window's port and its worker threads included), the core
# under ThreadSanitizer, and the receive fuzz target (corpus replay plus a short pass).
# Ends with one line "N passed, 0 failed" counting every test that ran.
# TOVRIN_FUZZ_SECONDS sets the length of the fuzzing pass (default 60).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
jobs=$(nproc)
# shellcheck disable=SC2046
"$here/tools/ensure-packages.sh" $(cat "$here/tools/build-packages.txt")

# A compiler cache, where the machine has one, makes a second run cheap; CI builds without.
launcher=()
command -v ccache > /dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
step() { printf '\n=== %s ===\n' "$*"; }
summary=$(mktemp)
trap 'rm -f "$summary"' EXIT
# Runs ctest in a build directory and keeps its closing line for the summary at the end.
run_ctest() {
  local dir=$1
  shift
  (cd "$dir" && ctest --output-on-failure -j"$jobs" "$@") | tee -a "$summary"
}

step "folder layers"
"$here/tools/check-layers.py"

step "build and test (RelWithDebInfo)"
cmake -S "$here" -B "$here/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOVRIN_WITH_QT=ON -DTOVRIN_SANITIZE= "${launcher[@]}" > /dev/null
cmake --build "$here/build" -j"$jobs"
QT_QPA_PLATFORM=offscreen run_ctest "$here/build"

step "clang-tidy"
"$here/tools/tidy.sh" "$here/build"

step "address and undefined-behaviour sanitizers"
cmake -S "$here" -B "$here/build-asan" -DCMAKE_BUILD_TYPE=Debug -DTOVRIN_WITH_QT=ON \
  -DTOVRIN_SANITIZE=address,undefined "${launcher[@]}" > /dev/null
cmake --build "$here/build-asan" -j"$jobs"
QT_QPA_PLATFORM=offscreen ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 run_ctest "$here/build-asan"

step "thread sanitizer"
cmake -S "$here" -B "$here/build-tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOVRIN_WITH_QT=OFF \
  -DTOVRIN_SANITIZE=thread "${launcher[@]}" > /dev/null
cmake --build "$here/build-tsan" -j"$jobs" --target tovrin_core_tests
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions="$here/tools/tsan.supp" run_ctest "$here/build-tsan" -R '^core\.'

if [ -x "$here/fuzz/run.sh" ]; then
  step "fuzzing the receiving side"
  "$here/fuzz/run.sh" "${TOVRIN_FUZZ_SECONDS:-60}"
fi
step "all tests passed"
passed=$(sed -n 's/.*tests passed, \([0-9]*\) tests failed out of \([0-9]*\).*/\2/p' "$summary" |
  awk '{ total += $1 } END { print total + 0 }')
echo "$passed passed, 0 failed"
