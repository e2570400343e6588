#!/usr/bin/env bash
# Tovrin side by side with the tools a user would otherwise pick, on loopback:
#   1. one 1 GiB file, tovrin-cli -> tovrin-cli, against socat piping the file into a file;
#   2. 2,000 files of 4 KiB in 20 folders, tovrin-cli -> tovrin-cli, against
#      tar c | socat -> socat | tar x;
#   3. the same 1 GiB file dropped on the window (offscreen) and sent to a tovrin-cli receiver;
#   4. peak resident memory and user+system CPU seconds per GiB of both sides of case 1;
#   5. the 2,000 files of case 2 sent by tovrin-cli to the window (offscreen) as receiver;
#   6. the same files dropped on the window and sent to a tovrin-cli receiver.
# Cases 5 and 6 are measured against case 2's tovrin-cli -> tovrin-cli time of the same runs.
# Runs are interleaved (anchor and Tovrin alternate which goes first) and the table shows
# medians. Every received byte is compared with its source. Sources and save directories
# share one work directory, so they are on the same file system; dirty pages are synced
# before every timed run so no run pays for an earlier one's write-back.
#
#   bench/run.sh [RUNS]            (RUNS >= 3, default 5)
#   bench/run.sh --profile         one run of cases 1 and 2 with both tovrin-cli processes
#                                  under perf, then where each side spent its cycles
#
# Environment: TOVRIN_BENCH_DIR (parent of the work directory, default the build directory),
# TOVRIN_BENCH_TIMEOUT (seconds any one process may take, default 300).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build="$here/build-bench"
runs=${1:-5}
limit=${TOVRIN_BENCH_TIMEOUT:-300}
profile=0
if [ "$runs" = "--profile" ]; then
  profile=1
  runs=1
elif ! [[ "$runs" =~ ^[0-9]+$ ]] || [ "$runs" -lt 3 ]; then
  echo "usage: bench/run.sh [RUNS]   (RUNS is a number, at least 3)" >&2
  exit 2
fi

"$here/tools/ensure-packages.sh" cmake make g++ pkg-config qt6-base-dev qt6-l10n-tools socat time tar \
  iproute2 procps diffutils
[ "$profile" -eq 0 ] || "$here/tools/ensure-packages.sh" linux-perf

# --- build (Release) --------------------------------------------------------------------
if ! grep -q '^CMAKE_BUILD_TYPE:STRING=Release$' "$build/CMakeCache.txt" 2>/dev/null; then
  cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTOVRIN_TESTS=OFF > /dev/null
fi
cmake --build "$build" -j"$(nproc)" --target tovrin-cli tovrin_window > /dev/null
cli="$build/tovrin-cli"
window="$build/tovrin-bench-window"
if [ ! -x "$window" ] || [ "$here/bench/window_peer.cpp" -nt "$window" ] ||
   [ "$build/libtovrin_window.a" -nt "$window" ] || [ "$build/libtovrin_core.a" -nt "$window" ]; then
  # shellcheck disable=SC2046
  g++ -std=c++20 -O2 -fPIC -Wall -Wextra $(pkg-config --cflags Qt6Widgets) -I"$here/src" \
    "$here/bench/window_peer.cpp" "$build/libtovrin_window.a" "$build/libtovrin_core.a" \
    $(pkg-config --libs Qt6Widgets) -pthread -o "$window"
fi

# --- work directory and data ------------------------------------------------------------
mkdir -p "${TOVRIN_BENCH_DIR:-$build}"
work=$(mktemp -d "${TOVRIN_BENCH_DIR:-$build}/bench.XXXXXX")
# Ends what is still running of the background jobs this script started, with their
# children (the wrappers time and timeout do not pass a signal on), then removes the data.
cleanup() {
  local pid child
  for pid in $(jobs -p); do
    for child in $(ps -o pid= --ppid "$pid" 2>/dev/null); do
      kill "$child" $(ps -o pid= --ppid "$child" 2>/dev/null) 2>/dev/null || true
    done
    kill "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

echo "work directory: $work ($(df -P "$work" | awk 'NR==2 {print $1}'))" >&2
echo "making the data..." >&2
mkdir -p "$work/src/tree" "$work/unused"
big="$work/src/big.bin"
head -c 1073741824 /dev/urandom > "$big"
for d in $(seq -w 1 20); do
  mkdir -p "$work/src/tree/d$d"
  head -c $((100 * 4096)) /dev/urandom | split -b 4096 -d -a 3 - "$work/src/tree/d$d/f"
done
[ "$(find "$work/src/tree" -type f | wc -l)" -eq 2000 ] || { echo "tree not made" >&2; exit 1; }

# --- helpers ----------------------------------------------------------------------------
now_us() { echo "${EPOCHREALTIME/./}"; }
seconds_since() { awk -v a="$1" -v b="$(now_us)" 'BEGIN { printf "%.3f", (b - a) / 1e6 }'; }
fail() { echo "FAILED: $*" >&2; exit 1; }

# Sleeps $1 seconds without starting a process (a read that times out on an idle pipe), so
# the waiting loops take no CPU from the runs they watch.
exec {nap_fd}<> <(:)
nap() { read -r -t "$1" -u "$nap_fd" _ || true; }

# Running and not yet a zombie.
alive() { ps -o stat= -p "$1" 2>/dev/null | grep -qv Z; }

# Below the kernel's ephemeral range (32768 and up), where tests that bind port 0 land.
free_port() {
  local port
  for _ in $(seq 100); do
    port=$((20000 + RANDOM % 12000))
    [ -z "$(ss -Htln "sport = :$port")" ] && { echo "$port"; return; }
  done
  fail "no free port"
}

# Waits until something listens on the port, while process $2 lives (at most 10 s). A
# receiver that could not listen (another program took the port) ends at once: looked for
# once more after a moment, so the sender never talks to a stranger.
wait_listen() {
  for _ in $(seq 1000); do
    alive "$2" || fail "the receiver ended before listening on $1"
    if [ -n "$(ss -Htln "sport = :$1")" ]; then
      nap 0.05
      alive "$2" || fail "the receiver could not listen on $1"
      return 0
    fi
    nap 0.01
  done
  fail "nothing listens on $1"
}

# A new, empty save directory in $save for every run. Received trees stay until the end:
# deleting thousands of files would make the file system search past the freshly freed
# inodes when the next run creates its files, a cost of the benchmark, not of the tools.
# A received big file is removed once compared (one inode). Dirty pages of earlier runs are
# written back first.
save=""
saves=0
fresh_save() {
  saves=$((saves + 1))
  save="$work/save.$saves"
  mkdir -p "$save"
  sync
}

record() { echo "$2" >> "$work/m.$1"; }  # metric value
median() {
  sort -g "$work/m.$1" | awk '{ v[NR] = $1 } END {
    if (NR == 0) { print "-"; exit }
    if (NR % 2) print v[(NR + 1) / 2]; else printf "%.3f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
# "KB user system" from /usr/bin/time: records peak MiB and CPU seconds.
record_usage() {
  read -r kb user system < "$2"
  record "$1.rss" "$(awk -v k="$kb" 'BEGIN { printf "%.1f", k / 1024 }')"
  record "$1.cpu" "$(awk -v u="$user" -v s="$system" 'BEGIN { printf "%.2f", u + s }')"
}
timed() { /usr/bin/time -o "$1" -f '%M %U %S' timeout "$limit" "${@:2}"; }
# The command line that starts tovrin-cli for $1 (case and side), in cli_cmd: with
# --profile under perf, recording to perf.$1.
cli_cmd=()
cli_for() {
  if [ "$profile" -eq 1 ]; then
    cli_cmd=(perf record -q -g -o "$work/perf.$1" -- "$cli")
  else
    cli_cmd=("$cli")
  fi
}

# --- the cases --------------------------------------------------------------------------
file_socat() {
  fresh_save
  local port; port=$(free_port)
  timed "$work/r.time" socat -u "TCP-LISTEN:$port,bind=127.0.0.1,reuseaddr" \
    "CREATE:$save/big.bin" & local receiver=$!;
  wait_listen "$port" "$receiver"
  local start; start=$(now_us)
  timed "$work/s.time" socat -u "OPEN:$big,rdonly" "TCP:127.0.0.1:$port" ||
    fail "socat sender"
  wait "$receiver" || fail "socat receiver"
  record file.socat "$(seconds_since "$start")"
  cmp -s "$big" "$save/big.bin" || fail "socat: the received file differs"
  rm -f "$save/big.bin"
  record_usage socat.send "$work/s.time"
  record_usage socat.recv "$work/r.time"
}

# Starts a tovrin-cli receiver listening on $1 into $save, in the background ($receiver, whose
# status is the receiver's). Its log goes to r.log, and the moment it logs the end of the
# batch (microseconds) to done; only that one line reaches the shell loop, so stamping it
# costs the run nothing. Its time and memory go to r.time.
receiver=""
start_receiver() {
  : > "$work/done"
  cli_for "$2.receiver"
  (
    set +e
    timed "$work/r.time" "${cli_cmd[@]}" --listen "$1" --save-dir "$save" < /dev/null 2>&1 |
      tee "$work/r.log" | grep --line-buffered -F -x 'recv: 受信完了' |
      while IFS= read -r _; do echo "${EPOCHREALTIME/./}" >> "$work/done"; done
    exit "${PIPESTATUS[0]}"
  ) &
  receiver=$!
}
# Seconds from $1 to the receiver's end-of-batch line; empty when there was none.
done_since() {
  local stamp; stamp=$(head -n1 "$work/done")
  [ -n "$stamp" ] && awk -v a="$1" -v b="$stamp" 'BEGIN { printf "%.3f", (b - a) / 1e6 }'
}

file_tovrin() {
  fresh_save
  local port; port=$(free_port)
  start_receiver "$port" file
  wait_listen "$port" "$receiver"
  local start; start=$(now_us)
  cli_for file.sender
  timed "$work/s.time" "${cli_cmd[@]}" --connect "127.0.0.1:$port" --save-dir "$work/unused" \
    --exit-after-batch "$big" > "$work/s.log" 2>&1 < /dev/null || fail "tovrin-cli sender"
  wait "$receiver" || fail "tovrin-cli receiver"
  record file.tovrin "$(seconds_since "$start")"
  record file.tovrin.done "$(done_since "$start")"
  cmp -s "$big" "$save/big.bin" || fail "tovrin-cli: the received file differs"
  rm -f "$save/big.bin"
  record_usage tovrin.send "$work/s.time"
  record_usage tovrin.recv "$work/r.time"
}

tree_tar() {
  fresh_save
  local port; port=$(free_port)
  timeout "$limit" bash -o pipefail -c \
    "socat -u TCP-LISTEN:$port,bind=127.0.0.1,reuseaddr - | tar -x -C '$save'" &
  local receiver=$!
  wait_listen "$port" "$receiver"
  local start; start=$(now_us)
  timeout "$limit" bash -o pipefail -c \
    "tar -c -C '$work/src' tree | socat -u - TCP:127.0.0.1:$port" || fail "tar sender"
  wait "$receiver" || fail "tar receiver"
  record tree.tar "$(seconds_since "$start")"
  diff -r -q "$work/src/tree" "$save/tree" > /dev/null || fail "tar: the tree differs"
}

tree_tovrin() {
  fresh_save
  local port; port=$(free_port)
  start_receiver "$port" tree
  wait_listen "$port" "$receiver"
  local start; start=$(now_us)
  cli_for tree.sender
  timeout "$limit" "${cli_cmd[@]}" --connect "127.0.0.1:$port" --save-dir "$work/unused" \
    --exit-after-batch "$work/src/tree" > "$work/s.log" 2>&1 < /dev/null ||
    fail "tovrin-cli sender (tree)"
  wait "$receiver" || fail "tovrin-cli receiver (tree)"
  record tree.tovrin "$(seconds_since "$start")"
  record tree.tovrin.done "$(done_since "$start")"
  diff -r -q "$work/src/tree" "$save/tree" > /dev/null || fail "tovrin-cli: the tree differs"
}

# The window keeps its session after the batch (it has no exit-after-batch): its run ends
# when the receiver logs the end of the batch. The time runs from the window's start, so it
# includes the window's own start-up.
file_window() {
  fresh_save
  window_sends "$big" file.window.done
  cmp -s "$big" "$save/big.bin" || fail "window: the received file differs"
  rm -f "$save/big.bin"
}

# The window dropping $1 on itself and sending it to a tovrin-cli receiver; the run ends when
# the receiver logs the end of the batch. $2 names the measurement.
window_sends() {
  local port; port=$(free_port)
  start_receiver "$port" window
  wait_listen "$port" "$receiver"
  local start; start=$(now_us)
  QT_QPA_PLATFORM=offscreen XDG_CONFIG_HOME="$work/config" TOVRIN_BENCH_LIMIT="$limit" "$window" "$work/unused" \
    "127.0.0.1:$port" "$1" > "$work/window.log" 2>&1 &
  local sender=$!
  for _ in $(seq $((limit * 100))); do
    [ -s "$work/done" ] && break
    kill -0 "$sender" 2>/dev/null || break
    nap 0.01
  done
  kill "$sender" 2>/dev/null || true
  wait "$sender" 2>/dev/null || true
  wait "$receiver" || true
  [ -s "$work/done" ] || fail "window: the receiver never logged the end of the batch"
  record "$2" "$(done_since "$start")"
}

# The window, listening, receives the tree from tovrin-cli; the run ends when the window logs
# the end of the batch.
tree_window_receives() {
  fresh_save
  local port; port=$(free_port)
  : > "$work/done"
  (
    QT_QPA_PLATFORM=offscreen XDG_CONFIG_HOME="$work/config" TOVRIN_BENCH_LIMIT="$limit" "$window" "$save" ":$port" 2>&1 |
      grep --line-buffered -F -x 'recv: 受信完了' |
      while IFS= read -r _; do echo "${EPOCHREALTIME/./}" >> "$work/done"; done
  ) 2> /dev/null &
  local window_job=$!
  wait_listen "$port" "$window_job"
  local start; start=$(now_us)
  timeout "$limit" "$cli" --connect "127.0.0.1:$port" --save-dir "$work/unused" \
    --exit-after-batch "$work/src/tree" > "$work/s.log" 2>&1 < /dev/null ||
    fail "tovrin-cli sender (to the window)"
  for _ in $(seq $((limit * 100))); do
    [ -s "$work/done" ] && break
    nap 0.01
  done
  local child
  for child in $(ps -o pid= --ppid "$window_job" 2>/dev/null); do
    kill $(ps -o pid= --ppid "$child" 2>/dev/null) "$child" 2>/dev/null || true
  done
  wait "$window_job" 2>/dev/null || true
  [ -s "$work/done" ] || fail "window: it never logged the end of the batch"
  record tree.window.recv "$(done_since "$start")"
  diff -r -q "$work/src/tree" "$save/tree" > /dev/null || fail "window receiver: the tree differs"
}

tree_window_sends() {
  fresh_save
  window_sends "$work/src/tree" tree.window.send
  diff -r -q "$work/src/tree" "$save/tree" > /dev/null || fail "window sender: the tree differs"
}

# --- where the cycles go (--profile) ----------------------------------------------------
if [ "$profile" -eq 1 ]; then
  file_tovrin
  tree_tovrin
  for run in file.sender file.receiver tree.sender tree.receiver; do
    echo
    echo "=== $run: where its cycles went (perf, self time) ==="
    perf report -i "$work/perf.$run" --no-children --sort dso,sym --stdio 2>/dev/null |
      grep -E '^ +[0-9]+\.[0-9]+%' | head -n 15 || true
  done
  exit 0
fi

# --- interleaved runs -------------------------------------------------------------------
for run in $(seq "$runs"); do
  echo "run $run of $runs..." >&2
  if [ $((run % 2)) -eq 1 ]; then
    file_socat; file_tovrin; file_window; tree_tar; tree_tovrin; tree_window_receives
    tree_window_sends
  else
    file_window; file_tovrin; file_socat; tree_window_sends; tree_window_receives; tree_tovrin
    tree_tar
  fi
  printf '  1 GiB: socat %s s, tovrin-cli %s s (done %s), window done %s s; tree: tar %s s, tovrin-cli %s s (done %s)\n' \
    "$(tail -n1 "$work/m.file.socat")" "$(tail -n1 "$work/m.file.tovrin")" \
    "$(tail -n1 "$work/m.file.tovrin.done")" "$(tail -n1 "$work/m.file.window.done")" \
    "$(tail -n1 "$work/m.tree.tar")" "$(tail -n1 "$work/m.tree.tovrin")" \
    "$(tail -n1 "$work/m.tree.tovrin.done")" >&2
  printf '  tree: tovrin-cli -> window %s s, window -> tovrin-cli %s s (done)\n' \
    "$(tail -n1 "$work/m.tree.window.recv")" "$(tail -n1 "$work/m.tree.window.send")" >&2
done

# --- the table --------------------------------------------------------------------------
ratio() { awk -v t="$1" -v a="$2" 'BEGIN { if (t == "-") print "-"; else printf "%.2f", t / a }'; }
row() {  # case, anchor name, anchor, Tovrin to exit, Tovrin to batch done, goal
  printf '%-42s %-10s %7s %7s %7s %6s %6s  %s\n' "$1" "$2" "$3" "$4" "$5" \
    "$(ratio "$4" "$3")" "$(ratio "$5" "$3")" "$6"
}
fs=$(median file.socat)
echo
echo "Medians of $runs interleaved runs on loopback, seconds from the sender's start."
echo "exit: until both sides have ended; done: until the receiver logged the end of the batch."
printf '%-42s %-10s %7s %7s %7s %6s %6s  %s\n' "case" "anchor" "anchor" "exit" "done" \
  "ratio" "(done)" "goal"
row "1. 1 GiB file, tovrin-cli -> tovrin-cli" "socat" "$fs" "$(median file.tovrin)" \
  "$(median file.tovrin.done)" "<= 1.25"
row "2. 2000 x 4 KiB in 20 folders, cli -> cli" "tar|socat" "$(median tree.tar)" \
  "$(median tree.tovrin)" "$(median tree.tovrin.done)" "<= 3"
row "3. 1 GiB file, window (drop) -> tovrin-cli" "socat" "$fs" "-" \
  "$(median file.window.done)" "<= 1.5"
tc=$(median tree.tovrin.done)
row "5. 2000 x 4 KiB, tovrin-cli -> window" "cli->cli" "$tc" "-" \
  "$(median tree.window.recv)" "<= 1.5"
row "6. 2000 x 4 KiB, window (drop) -> cli" "cli->cli" "$tc" "-" \
  "$(median tree.window.send)" "<= 1.5"
echo
echo "4. case 1 per process (medians): peak resident MiB, user+system CPU seconds per GiB"
printf '%-42s %7s %7s\n' "" "MiB" "CPU s"
printf '%-42s %7s %7s\n' "tovrin-cli sender" "$(median tovrin.send.rss)" "$(median tovrin.send.cpu)"
printf '%-42s %7s %7s\n' "tovrin-cli receiver" "$(median tovrin.recv.rss)" "$(median tovrin.recv.cpu)"
printf '%-42s %7s %7s\n' "socat sender (anchor)" "$(median socat.send.rss)" "$(median socat.send.cpu)"
printf '%-42s %7s %7s\n' "socat receiver (anchor)" "$(median socat.recv.rss)" "$(median socat.recv.cpu)"
echo "(goal: under 32 MiB per tovrin-cli process; every received byte matched its source)"
