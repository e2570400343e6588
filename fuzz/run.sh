#!/usr/bin/env bash
# Builds the fuzz targets with clang (address and undefined-behaviour sanitizers, out-of-range
# float-to-int conversions included), replays the committed corpus, then fuzzes each target
# for the given number of seconds (default 60).
# Fails on any crash, leak, timeout or sanitizer report.
#
#   fuzz/run.sh [SECONDS]
#
# Environment: TOVRIN_FUZZ_BUILD (build directory, default build-fuzz beside this folder),
# TOVRIN_FUZZ_JOBS (parallel fuzzing processes, default 1). New inputs that the pass finds
# are kept in <build>/corpus-<target>/, never in the committed corpus.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
seconds=${1:-60}
build=${TOVRIN_FUZZ_BUILD:-$repo/build-fuzz}
jobs=${TOVRIN_FUZZ_JOBS:-1}
parallel=()
# -jobs sends each process's output to fuzz-N.log; one process stays on the terminal.
[ "$jobs" -gt 1 ] && parallel=(-jobs="$jobs" -workers="$jobs")

"$repo/tools/ensure-packages.sh" clang-14 libclang-rt-14-dev libfuzzer-14-dev cmake make \
  pkg-config libxxhash-dev libssl-dev libsodium-dev

# The core is instrumented for coverage too (fuzzer-no-link), so that libFuzzer is guided by
# the receive worker's branches and not only by the target's own. clang's "undefined" group
# leaves out float-cast-overflow, which a peer's sizes and positions reach through the
# transfer meter, so it is named on its own; every check halts at its first report.
cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOVRIN_FUZZ=ON \
  -DTOVRIN_WITH_QT=OFF -DTOVRIN_TESTS=OFF -DCMAKE_CXX_COMPILER=clang++-14 \
  -DTOVRIN_SANITIZE=address,undefined,float-cast-overflow \
  -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link > /dev/null

# The targets' scratch directories go below the build directory, so that one left behind by
# a crashing input is removed by the next run.
export TMPDIR="$build/tmp"
rm -rf "$TMPDIR"
mkdir -p "$TMPDIR"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:allocator_may_return_null=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

for source in "$here"/*_fuzzer.cpp; do
  target=$(basename "$source" .cpp)
  cmake --build "$build" -j"$(nproc)" --target "$target"
  seeds="$here/corpus/$target"
  work="$build/corpus-$target"
  mkdir -p "$work"

  echo "--- $target: replaying $(find "$seeds" -type f | wc -l) seeds"
  # Each seed once, as a plain run over the files (no mutation).
  "$build/$target" -runs=0 -timeout=10 -rss_limit_mb=2048 -artifact_prefix="$build/$target-" \
    "$seeds"

  echo "--- $target: fuzzing for $seconds s"
  "$build/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -max_len=140000 "${parallel[@]}" -print_final_stats=1 \
    -artifact_prefix="$build/$target-" "$work" "$seeds"
done
