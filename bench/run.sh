#!/usr/bin/env bash
# Tovrin side by side with the tools a user would otherwise pick, on loopback, every case on
# the disk (the work directory) and on tmpfs (/dev/shm):
#   1. one 1 GiB file, tovrin-cli -> tovrin-cli (an encrypted session, the default between
#      two tovrin-cli with keys; an extended session in the clear, both sides without a key;
#      and with --classic), against socat with its default buffer and with -b 1048576 (the
#      strong anchor);
#   2. 2,000 files of 4 KiB in 20 folders, tovrin-cli -> tovrin-cli (encrypted and --classic),
#      against tar c | socat -> socat | tar x and the same through TLS 1.3 (socat OPENSSL);
#      and 20,000 files of 1 KiB in 100 folders, encrypted, against tar c | socat | tar x;
#   3. the same 1 GiB file dropped on the window (offscreen) and sent to a tovrin-cli receiver;
#   4. one 4 GiB file, encrypted, whose rate is compared with the 1 GiB file's (and socat
#      -b 1048576 with both, which shows what the file system itself does with 4 GiB);
#   5. peak resident memory of every tovrin process of every case, and user+system CPU
#      seconds per GiB of both sides of case 1;
#   6. the 2,000 files of case 2 sent by tovrin-cli to the window (offscreen) as receiver;
#   7. the same files dropped on the window and sent to a tovrin-cli receiver.
# Cases 6 and 7 (until the receiver logged the end of the batch) are measured against case
# 2's tovrin-cli -> tovrin-cli time of the same runs (until both ended). Cases 3 and 7 run from
# the drop on the open window, case 6 from the sender's start with the window waiting: the
# window's own start-up is not part of either and is shown beside them.
# Runs are interleaved (anchor and Tovrin alternate which goes first) and the tables show
# medians. Every received byte is compared with its source. Sources and save directories of
# one file system share one work directory; dirty pages are synced before every timed run so
# no run pays for an earlier one's write-back.
#
#   bench/run.sh [RUNS]            (RUNS >= 3, default 5)
#   bench/run.sh --profile         one run of cases 1 and 2 (encrypted, on the disk) with both
#                                  tovrin-cli processes under perf, then where each side spent
#                                  its cycles
#
# Every goal's row says whether it was met. The floor that socat's own CPU time and
# AES-GCM's (openssl speed) set for an encrypted run of case 1 is shown beside it. Where a
# goal of case 1 or 2 was missed, the script then runs the missed case once more under perf,
# with each side's CPU time split into the kernel's copies, the rest of the kernel, libcrypto
# (Debian's has no symbols for its AES-GCM code, which is nearly all of its time here),
# libssl, memmove, the file hash, the complement and the rest.
#
# Every tovrin process has a configuration folder of its own below the work directory
# (XDG_CONFIG_HOME): each side makes its own key there on its first run, and nothing is read
# from or written to the user's configuration. The rows "in the clear" point both sides at a
# folder that is missing and cannot be created (below /proc), so they have neither a key nor
# paired peers and speak the extended wire unencrypted.
#
# Environment: TOVRIN_BENCH_DIR (parent of the disk work directory, default the build
# directory), TOVRIN_BENCH_SHM (parent of the tmpfs one, default /dev/shm; empty skips it),
# TOVRIN_BENCH_TIMEOUT (seconds any one process may take, default 300), TOVRIN_BENCH_BASELINE
# (another tovrin-cli that speaks only the classic wire, for example the previous release:
# the reference the --classic rows of cases 1 and 2 are compared with), TOVRIN_BENCH_CASES
# (the cases to run, by the names in the list "cases" below, e.g. "file_socat_1m file_tovrin
# file_plain file_classic"; default all; the tables show "-" for the others).
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

"$here/tools/ensure-packages.sh" cmake make g++ pkg-config qt6-base-dev qt6-l10n-tools libxxhash-dev socat \
  libssl-dev libsodium-dev time tar iproute2 procps diffutils openssl
"$here/tools/ensure-packages.sh" linux-perf

# --- the cases to run ------------------------------------------------------------------
cases=(file_socat_default file_socat_1m file_tovrin file_plain file_classic file_baseline
  file_window tree_tar tree_tar_tls tree_tovrin tree_plain tree_classic tree_baseline
  tree_window_receives tree_window_sends many_tar many_tovrin huge_socat huge_tovrin)
if [ -n "${TOVRIN_BENCH_CASES:-}" ]; then
  for c in $TOVRIN_BENCH_CASES; do
    [[ " ${cases[*]} " == *" $c "* ]] || { echo "no case $c (cases: ${cases[*]})" >&2; exit 2; }
  done
  read -r -a cases <<< "$TOVRIN_BENCH_CASES"
fi
need_huge=0
[[ " ${cases[*]} " != *" huge_"* ]] || need_huge=1
need_window=0
[[ " ${cases[*]} " != *"_window"* ]] || need_window=1
need_many=0
[[ " ${cases[*]} " != *" many_"* ]] || need_many=1

# --- build (Release) --------------------------------------------------------------------
if ! grep -q '^CMAKE_BUILD_TYPE:STRING=Release$' "$build/CMakeCache.txt" 2>/dev/null; then
  cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTOVRIN_TESTS=OFF > /dev/null
fi
cmake --build "$build" -j"$(nproc)" --target tovrin-cli > /dev/null
[ "$need_window" -eq 0 ] || cmake --build "$build" -j"$(nproc)" --target tovrin-bench-window > /dev/null
cli="$build/tovrin-cli"
window="$build/tovrin-bench-window"
baseline=${TOVRIN_BENCH_BASELINE:-}
[ -z "$baseline" ] || [ -x "$baseline" ] || { echo "no program at $baseline" >&2; exit 2; }

# --- work directories and data ---------------------------------------------------------
mkdir -p "${TOVRIN_BENCH_DIR:-$build}"
disk_work=$(mktemp -d "${TOVRIN_BENCH_DIR:-$build}/bench.XXXXXX")
shm_work=""
meta="$disk_work/metrics"
mkdir -p "$meta"
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
  rm -rf "$disk_work" ${shm_work:+"$shm_work"}
}
trap cleanup EXIT
trap 'exit 130' INT TERM

fail() { echo "FAILED: $*" >&2; exit 1; }

# The data of one work directory: a 1 GiB file, a 4 GiB one, the tree and the tree of many
# small files, copied from $2 when given.
make_data() {
  local dir=$1 from=${2:-}
  mkdir -p "$dir/src" "$dir/unused"
  if [ -n "$from" ]; then
    cp -r "$from/src/." "$dir/src/"
  else
    head -c 1073741824 /dev/urandom > "$dir/src/big.bin"
    [ "$need_huge" -eq 0 ] || head -c 4294967296 /dev/urandom > "$dir/src/huge.bin"
    for d in $(seq -w 1 20); do
      mkdir -p "$dir/src/tree/d$d"
      head -c $((100 * 4096)) /dev/urandom | split -b 4096 -d -a 3 - "$dir/src/tree/d$d/f"
    done
    if [ "$need_many" -eq 1 ]; then
      for d in $(seq -w 1 100); do
        mkdir -p "$dir/src/many/d$d"
        head -c $((200 * 1024)) /dev/urandom | split -b 1024 -d -a 3 - "$dir/src/many/d$d/f"
      done
    fi
  fi
  [ "$(find "$dir/src/tree" -type f | wc -l)" -eq 2000 ] || fail "tree not made in $dir"
  [ "$need_many" -eq 0 ] || [ "$(find "$dir/src/many" -type f | wc -l)" -eq 20000 ] ||
    fail "the many small files not made in $dir"
}

# The configuration folders (XDG_CONFIG_HOME) of the two tovrin-cli sides, and a folder that
# is missing and cannot be made: a side pointed at it has no key and no paired peers.
own_config_receiver="$disk_work/config.receiver"
own_config_sender="$disk_work/config.sender"
no_key=/proc/tovrin-bench-no-key

echo "making the data..." >&2
make_data "$disk_work"
filesystems=(disk)
shm_parent=${TOVRIN_BENCH_SHM-/dev/shm}
if [ "$profile" -eq 0 ] && [ -n "$shm_parent" ]; then
  # Both copies of the 4 GiB file and the rest live in memory there.
  available=$(awk '/^MemAvailable:/ { print int($2 / 1048576) }' /proc/meminfo)
  needed=$((need_huge ? 14 : 4))
  if [ "$available" -ge "$needed" ]; then
    shm_work=$(mktemp -d "$shm_parent/tovrin-bench.XXXXXX")
    make_data "$shm_work" "$disk_work"
    filesystems+=(tmpfs)
  else
    echo "only $available GiB of memory available: the tmpfs cases are left out" >&2
  fi
fi
# Sets the work directory of file system $1.
use_fs() {
  fs=$1
  if [ "$fs" = disk ]; then work=$disk_work; else work=$shm_work; fi
  big="$work/src/big.bin"
  huge="$work/src/huge.bin"
}
for f in "${filesystems[@]}"; do
  use_fs "$f"
  echo "$f: $work ($(df -P "$work" | awk 'NR==2 {print $1}'))" >&2
done

# --- helpers ----------------------------------------------------------------------------
now_us() { echo "${EPOCHREALTIME/./}"; }
seconds_since() { awk -v a="$1" -v b="$(now_us)" 'BEGIN { printf "%.3f", (b - a) / 1e6 }'; }

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
# written back first, and the source ($1) is read once, so that every run finds it in the
# page cache whatever ran before it.
save=""
saves=0
fresh_save() {
  saves=$((saves + 1))
  save="$work/save.$saves"
  mkdir -p "$save"
  sync
  if [ -d "$1" ]; then
    tar -c -C "$1" . > /dev/null
  else
    cat "$1" > /dev/null
  fi
}

record() { echo "$2" >> "$meta/m.$fs.$1"; }  # metric value, for the current file system
median() {
  [ -s "$meta/m.$1" ] || { echo "-"; return; }
  sort -g "$meta/m.$1" | awk '{ v[NR] = $1 } END {
    if (NR % 2) print v[(NR + 1) / 2]; else printf "%.3f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
maximum() {
  [ -s "$meta/m.$1" ] || { echo "-"; return; }
  sort -g "$meta/m.$1" | tail -n1
}
# "KB user system" from /usr/bin/time: records peak MiB and CPU seconds.
record_usage() {
  read -r kb user system < "$2"
  record "$1.rss" "$(awk -v k="$kb" 'BEGIN { printf "%.1f", k / 1024 }')"
  record "$1.cpu" "$(awk -v u="$user" -v s="$system" 'BEGIN { printf "%.2f", u + s }')"
}
timed() { /usr/bin/time -o "$1" -f '%M %U %S' timeout "$limit" "${@:2}"; }
# The command line that starts tovrin-cli $2 for $1 (case and side) with the configuration
# folder $3, in cli_cmd: while under_perf is 1, under perf, recording to perf.$1.
cli_cmd=()
under_perf=$profile
cli_for() {
  if [ "$under_perf" -eq 1 ]; then
    cli_cmd=(env "XDG_CONFIG_HOME=$3" perf record -q -g -o "$disk_work/perf.$1" -- "$2")
  else
    cli_cmd=(env "XDG_CONFIG_HOME=$3" "$2")
  fi
}
# The configuration folders of the next cli_pair run: keys of their own, or none.
config_receiver=$own_config_receiver
config_sender=$own_config_sender
with_keys() { config_receiver=$own_config_receiver; config_sender=$own_config_sender; }
without_keys() { config_receiver=$no_key; config_sender=$no_key; }
check_file() {  # received name, source, who
  cmp -s "$2" "$save/$1" || fail "$3: the received file differs"
  rm -f "$save/$1"
}
check_tree() {  # who [tree]
  local tree=${2:-tree}
  diff -r -q "$work/src/$tree" "$save/$tree" > /dev/null || fail "$1: the $tree differs"
}

# --- the cases --------------------------------------------------------------------------
file_socat() {  # metric, source, socat options
  local name=$1 source=$2
  shift 2
  fresh_save "$source"
  local port; port=$(free_port)
  timed "$work/r.time" socat "$@" -u "TCP-LISTEN:$port,bind=127.0.0.1,reuseaddr" \
    "CREATE:$save/big.bin" & local receiver=$!;
  wait_listen "$port" "$receiver"
  local start; start=$(now_us)
  timed "$work/s.time" socat "$@" -u "OPEN:$source,rdonly" "TCP:127.0.0.1:$port" ||
    fail "socat sender"
  wait "$receiver" || fail "socat receiver"
  record "$name" "$(seconds_since "$start")"
  check_file big.bin "$source" socat
  record_usage "$name.send" "$work/s.time"
  record_usage "$name.recv" "$work/r.time"
}

# Starts tovrin-cli $3 as a receiver listening on $1 into $save, with the arguments after $3,
# in the background ($receiver, whose status is the receiver's). Its log goes to r.log, and
# the moment it logs the end of the batch (microseconds) to done: one awk process (mawk,
# reading lines as they come) keeps the log and passes on that line alone, so stamping it
# costs the run next to nothing. With watch=0 (the trees, a log line per file, where waking
# awk per line would be a cost of the benchmark) the log goes straight to r.log and only the
# exit is timed. Its time and memory go to r.time.
receiver=""
watch=1
start_receiver() {
  local port=$1 name=$2 bin=$3
  shift 3
  : > "$work/done"
  cli_for "$name.receiver" "$bin" "$config_receiver"
  if [ "$watch" -eq 0 ]; then
    timed "$work/r.time" "${cli_cmd[@]}" --listen "$port" --save-dir "$save" "$@" < /dev/null \
      > "$work/r.log" 2>&1 &
    receiver=$!
    return
  fi
  (
    set +e
    timed "$work/r.time" "${cli_cmd[@]}" --listen "$port" --save-dir "$save" "$@" < /dev/null 2>&1 |
      awk -W interactive -v out="$work/r.log" \
        '{ print > out } $0 == "recv: 受信完了" { print; fflush() }' |
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

# One tovrin-cli -> tovrin-cli run: metric, program, what to send, arguments of both sides.
cli_pair() {
  local name=$1 bin=$2 source=$3
  shift 3
  fresh_save "$source"
  local port; port=$(free_port)
  watch=1
  [ -d "$source" ] && watch=0
  start_receiver "$port" "$name" "$bin" "$@"
  wait_listen "$port" "$receiver"
  local start; start=$(now_us)
  cli_for "$name.sender" "$bin" "$config_sender"
  timed "$work/s.time" "${cli_cmd[@]}" --connect "127.0.0.1:$port" --save-dir "$work/unused" \
    --exit-after-batch "$@" "$source" > "$work/s.log" 2>&1 < /dev/null || fail "$name: sender"
  wait "$receiver" || fail "$name: receiver"
  record "$name" "$(seconds_since "$start")"
  [ "$watch" -eq 0 ] || record "$name.done" "$(done_since "$start")"
  record_usage "$name.send" "$work/s.time"
  record_usage "$name.recv" "$work/r.time"
}

file_tovrin() { cli_pair file.tovrin "$cli" "$big" && check_file big.bin "$big" "tovrin-cli"; }
file_plain() {
  without_keys
  cli_pair file.plain "$cli" "$big" && check_file big.bin "$big" "in the clear"
  with_keys
}
file_classic() {
  cli_pair file.classic "$cli" "$big" --classic && check_file big.bin "$big" "--classic"
}
file_baseline() {
  [ -z "$baseline" ] || { cli_pair file.baseline "$baseline" "$big" &&
    check_file big.bin "$big" "baseline"; }
}
huge_tovrin() { cli_pair huge.tovrin "$cli" "$huge" && check_file huge.bin "$huge" "4 GiB"; }
tree_tovrin() { cli_pair tree.tovrin "$cli" "$work/src/tree" && check_tree "tovrin-cli"; }
tree_plain() {
  without_keys
  cli_pair tree.plain "$cli" "$work/src/tree" && check_tree "in the clear"
  with_keys
}
tree_classic() { cli_pair tree.classic "$cli" "$work/src/tree" --classic && check_tree "--classic"; }
tree_baseline() {
  [ -z "$baseline" ] || { cli_pair tree.baseline "$baseline" "$work/src/tree" &&
    check_tree "baseline"; }
}

many_tovrin() { cli_pair many.tovrin "$cli" "$work/src/many" && check_tree "tovrin-cli" many; }

# tar c | socat -> socat | tar x of the tree $1, as metric $2; $3 and $4 are socat's listening
# and connecting addresses without the port (TCP in the clear, or OPENSSL with TLS 1.3).
tar_pipe() {
  local tree=$1 name=$2 listen=$3 connect=$4
  fresh_save "$work/src/$tree"
  local port; port=$(free_port)
  timeout "$limit" bash -o pipefail -c \
    "socat -u $listen:$port,bind=127.0.0.1,reuseaddr${5:-} - | tar -x -C '$save'" &
  local receiver=$!
  wait_listen "$port" "$receiver"
  local start; start=$(now_us)
  timeout "$limit" bash -o pipefail -c \
    "tar -c -C '$work/src' $tree | socat -u - $connect:127.0.0.1:$port${6:-}" || fail "tar sender"
  wait "$receiver" || fail "tar receiver"
  record "$name" "$(seconds_since "$start")"
  check_tree "$name" "$tree"
}
tree_tar() { tar_pipe tree tree.tar TCP-LISTEN TCP; }
many_tar() { tar_pipe many many.tar TCP-LISTEN TCP; }
# A self-signed P-256 certificate, made once; the client does not check it.
tls_cert="$disk_work/socat-cert.pem"
tls_key="$disk_work/socat-key.pem"
tree_tar_tls() {
  [ -s "$tls_cert" ] || openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes \
    -keyout "$tls_key" -out "$tls_cert" -subj /CN=bench -days 1 2> /dev/null ||
    fail "no certificate for socat"
  tar_pipe tree tree.tartls OPENSSL-LISTEN OPENSSL ",cert=$tls_cert,key=$tls_key,verify=0" \
    ",verify=0"
}

# The window keeps its session after the batch (it has no exit-after-batch): its run ends
# when the receiver logs the end of the batch. The time runs from the drop on the window once
# it is up, as a user drops files on a window that is open; the window's start-up until then
# is recorded beside it.
file_window() {
  fresh_save "$big"
  window_sends "$big" file.window.done
  record_usage window.recv "$work/r.time"
  check_file big.bin "$big" window
}

# The window dropping $1 on itself and sending it to a tovrin-cli receiver; the run ends when
# the receiver logs the end of the batch. $2 names the measurement.
window_sends() {
  local port; port=$(free_port)
  watch=1
  start_receiver "$port" window "$cli"
  wait_listen "$port" "$receiver"
  local start; start=$(now_us)
  QT_QPA_PLATFORM=offscreen XDG_CONFIG_HOME="$work/config" TOVRIN_BENCH_LIMIT="$limit" \
    "$window" "$work/unused" "127.0.0.1:$port" "$1" > "$work/window.log" 2>&1 &
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
  local dropped; dropped=$(sed -n 's/^drop: //p' "$work/window.log" | head -n1)
  [ -n "$dropped" ] || fail "window: it never reported its drop"
  record "$2" "$(done_since "$dropped")"
  record window.startup "$(awk -v a="$start" -v b="$dropped" 'BEGIN { printf "%.3f", (b - a) / 1e6 }')"
}

# The window, listening, receives the tree from tovrin-cli; the run ends when the window logs
# the end of the batch (it writes only that line to its standard output).
tree_window_receives() {
  fresh_save "$work/src/tree"
  local port; port=$(free_port)
  : > "$work/done"
  (
    QT_QPA_PLATFORM=offscreen XDG_CONFIG_HOME="$work/config" TOVRIN_BENCH_LIMIT="$limit" \
      "$window" "$save" ":$port" 2>&1 |
      grep --line-buffered -F -x 'recv: 受信完了' |
      while IFS= read -r _; do echo "${EPOCHREALTIME/./}" >> "$work/done"; done
  ) 2> /dev/null &
  local window_job=$!
  wait_listen "$port" "$window_job"
  local start; start=$(now_us)
  timeout "$limit" env "XDG_CONFIG_HOME=$config_sender" "$cli" --connect "127.0.0.1:$port" \
    --save-dir "$work/unused" --exit-after-batch "$work/src/tree" > "$work/s.log" 2>&1 < /dev/null ||
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
  check_tree "window receiver"
}

tree_window_sends() {
  fresh_save "$work/src/tree"
  window_sends "$work/src/tree" tree.window.send
  check_tree "window sender"
}

# --- where the cycles go ----------------------------------------------------------------
# The self time of the perf recording $1 in groups, each as its share and, with the side's
# CPU seconds $2 (measured without perf) for the unit $3 ("GiB"), as seconds per that unit.
cycle_groups() {
  perf report -i "$1" --no-children --sort dso,sym --stdio 2>/dev/null |
    awk -v cpu="$2" -v unit="${3:-GiB}" '
    /^ +[0-9.]+%/ {
      share = $1 + 0; dso = $2; sym = $0; sub(/.*\] /, "", sym)
      if (dso ~ /kernel/) {
        g = "the kernel: the rest (TCP, files, calls)"
        if (sym ~ /copy_(to|from)_iter|copy_user|copy_folio|copy_page|memcpy|memmove|rep_mov/)
          g = "the kernel: copies to and from user memory"
      } else if (sym ~ /FileHash|XXH|UpdateAvx|UpdateBaseline/) g = "the file hash (XXH3)"
      else if (sym ~ /Complement/) g = "the complement"
      else if (dso ~ /libcrypto/) g = "libcrypto (AES-GCM: its code has no symbols)"
      else if (dso ~ /libssl/) g = "libssl (TLS records)"
      else if (sym ~ /mem(move|cpy)/) g = "memmove and memcpy"
      else if (dso ~ /tovrin/) g = "Tovrin: the rest"
      else g = "the rest"
      total[g] += share
    }
    END {
      for (g in total) printf "%09.3f\t   %-45s %5.1f %%  %s\n", total[g], g, total[g],
        cpu == "-" ? "" : sprintf("%.3f s/%s", total[g] * cpu / 100, unit)
    }' | sort -r | cut -f2- || true
}
if [ "$profile" -eq 1 ]; then
  use_fs disk
  file_tovrin
  tree_tovrin
  for run in file.tovrin.sender file.tovrin.receiver tree.tovrin.sender tree.tovrin.receiver; do
    echo
    echo "=== $run: where its cycles went (perf, self time) ==="
    perf report -i "$disk_work/perf.$run" --no-children --sort dso,sym --stdio 2>/dev/null |
      grep -E '^ +[0-9]+\.[0-9]+%' | head -n 15 || true
    echo "   in groups:"
    cycle_groups "$disk_work/perf.$run" -
  done
  exit 0
fi

# --- interleaved runs -------------------------------------------------------------------
file_socat_default() { file_socat file.socat "$big"; }
file_socat_1m() { file_socat file.socat1m "$big" -b 1048576; }
huge_socat() { file_socat huge.socat1m "$huge" -b 1048576; }
last() { [ -s "$meta/m.$fs.$1" ] && tail -n1 "$meta/m.$fs.$1" || echo "-"; }
for run in $(seq "$runs"); do
  for f in "${filesystems[@]}"; do
    use_fs "$f"
    echo "run $run of $runs, $fs..." >&2
    if [ $((run % 2)) -eq 1 ]; then
      order=("${cases[@]}")
    else
      order=()
      for ((i = ${#cases[@]} - 1; i >= 0; i--)); do order+=("${cases[$i]}"); done
    fi
    for c in "${order[@]}"; do "$c"; done
    printf '  1 GiB: socat %s, socat -b 1M %s, encrypted %s, in the clear %s, --classic %s s; tree: tar %s, encrypted %s, --classic %s s; 4 GiB: socat -b 1M %s, encrypted %s s\n' \
      "$(last file.socat)" "$(last file.socat1m)" "$(last file.tovrin)" "$(last file.plain)" \
      "$(last file.classic)" \
      "$(last tree.tar)" "$(last tree.tovrin)" "$(last tree.classic)" "$(last huge.socat1m)" \
      "$(last huge.tovrin)" >&2
    printf '  tree: tovrin-cli -> window %s s, window -> tovrin-cli %s s (done); tar|socat OPENSSL %s s; 20000 x 1 KiB: tar %s, encrypted %s s\n' \
      "$(last tree.window.recv)" "$(last tree.window.send)" "$(last tree.tartls)" \
      "$(last many.tar)" "$(last many.tovrin)" >&2
  done
done

# --- what bounds case 1 -----------------------------------------------------------------
# AES-128-GCM in OpenSSL on one core, CPU seconds per GiB in 16 KiB records (a TLS record).
aes_seconds=""
aes_per_gib() {
  [ -n "$aes_seconds" ] || aes_seconds=$(openssl speed -evp aes-128-gcm -bytes 16384 -seconds 2 \
    2> /dev/null | awk '$1 == "AES-128-GCM" { sub(/k$/, "", $2); printf "%.3f", 1073741824 / ($2 * 1000) }')
  echo "${aes_seconds:--}"
}
# Each side moves a file's bytes on one thread, and the kernel's work for them (file to
# socket, socket to file) is the same as socat's: an encrypted run cannot take less than the
# busier socat side's CPU time plus the cipher's.
limits() {
  [[ " ${cases[*]} " == *" file_socat_1m "* ]] || return 0
  local send recv aes
  send=$(m file.socat1m.send.cpu)
  recv=$(m file.socat1m.recv.cpu)
  aes=$(aes_per_gib)
  echo
  echo "8. what bounds case 1 on this machine ($(nproc) cores), CPU seconds per GiB:"
  echo "   socat -b 1M: sender $send, receiver $recv (the kernel's copies between file and socket)"
  echo "   AES-128-GCM, one core: $aes (openssl speed, 16 KiB records)"
  awk -v s="$send" -v r="$recv" -v a="$aes" -v w="$(m file.socat1m)" 'BEGIN {
    if (s == "-" || r == "-" || a == "-" || w == "-") exit
    f = (s > r ? s : r) + a
    printf "   so no encrypted run takes less than %.3f s: %.2f x socat -b 1M (%s s); with the goal\n", f, f / w, w
    printf "   of 1.3 x the cipher may take at most %.3f s per GiB\n", 1.3 * w - (s > r ? s : r) }'
}
# One more run of each missed case under perf, with where each side's time went.
profile_missed() {
  local entry where case_fn name unit
  for entry in "${missed[@]}"; do
    IFS=: read -r where case_fn name <<< "$entry"
    use_fs "$where"
    unit=GiB
    [[ $name == file.* ]] || unit=tree
    echo
    echo "== $fs: $name missed its goal; one more run under perf, where each side's CPU went =="
    # Its times and CPU under perf are not the run's own: kept apart from the measurements.
    local measured=$meta
    meta="$disk_work/metrics.perf"
    mkdir -p "$meta"
    under_perf=1
    "$case_fn"
    under_perf=0
    meta=$measured
    for side in sender receiver; do
      local key=send cpu
      [ "$side" = sender ] || key=recv
      cpu=$(median "$fs.$name.$key.cpu")
      echo "  $side ($cpu CPU s per $unit, without perf):"
      if [ -s "$disk_work/perf.$name.$side" ]; then
        cycle_groups "$disk_work/perf.$name.$side" "$cpu" "$unit"
      else
        echo "   (perf recorded nothing)"
      fi
    done
    [[ $name != file.* ]] ||
      echo "  socat -b 1M for comparison: sender $(median "$fs.file.socat1m.send.cpu"), receiver $(median "$fs.file.socat1m.recv.cpu") CPU s per GiB"
  done
}

# --- the tables -------------------------------------------------------------------------
ratio() {
  awk -v t="$1" -v a="$2" 'BEGIN { if (t == "-" || a == "-") print "-"; else printf "%.2f", t / a }'
}
# "met" or "MISSED" for the ratio $1 against the goal $2 ("<= N ..."); empty without either.
verdict() {
  awk -v r="$1" -v g="$2" 'BEGIN {
    if (r == "-" || g !~ /^<= [0-9.]+/) exit
    split(g, w, " "); print (r + 0 <= w[2] + 0) ? "met" : "MISSED" }'
}
row() {  # case, anchor name, anchor, Tovrin to exit, Tovrin to batch done, goal
  local by_exit by_done
  by_exit=$(ratio "$4" "$3")
  by_done=$(ratio "$5" "$3")
  # Judged by the time until both sides ended, or until done where that is all there is.
  last_verdict=$(verdict "$([ "$by_exit" != "-" ] && echo "$by_exit" || echo "$by_done")" "$6")
  printf '%-40s %-12s %7s %7s %7s %6s %6s  %-17s %s\n' "$1" "$2" "$3" "$4" "$5" \
    "$by_exit" "$by_done" "$6" "$last_verdict"
}
# The cases whose goal was missed, as "file system:case function:metric", each once.
missed=()
note_missed() {
  [ "$last_verdict" = MISSED ] || return 0
  [[ " ${missed[*]} " == *" $fs:$1:$2 "* ]] || missed+=("$fs:$1:$2")
}
rate() { awk -v g="$1" -v t="$2" 'BEGIN { if (t == "-") print "-"; else printf "%.2f", g / t }'; }
echo
echo "Medians of $runs interleaved runs on loopback, seconds from the sender's start."
echo "exit: until both sides have ended; done: until the receiver logged the end of the batch"
echo "(not watched for the trees: a log line per file)."
for f in "${filesystems[@]}"; do
  use_fs "$f"
  m() { median "$fs.$1"; }
  echo
  echo "== $fs: $(df -P "$work" | awk 'NR==2 {print $1}') =="
  printf '%-40s %-12s %7s %7s %7s %6s %6s  %-17s %s\n' "case" "anchor" "anchor" "exit" "done" \
    "ratio" "(done)" "goal" ""
  row "1. 1 GiB file, encrypted" "socat -b 1M" "$(m file.socat1m)" "$(m file.tovrin)" \
    "$(m file.tovrin.done)" "<= 1.3"
  note_missed file_tovrin file.tovrin
  row "   1 GiB file, encrypted" "socat" "$(m file.socat)" "$(m file.tovrin)" \
    "$(m file.tovrin.done)" ""
  row "   1 GiB file, extended in the clear" "socat -b 1M" "$(m file.socat1m)" \
    "$(m file.plain)" "$(m file.plain.done)" "<= 1.05"
  note_missed file_plain file.plain
  if [ -n "$baseline" ]; then
    row "   1 GiB file, --classic" "baseline" "$(m file.baseline)" "$(m file.classic)" \
      "$(m file.classic.done)" "<= 1 (no slower)"
  else
    row "   1 GiB file, --classic" "socat" "$(m file.socat)" "$(m file.classic)" \
      "$(m file.classic.done)" ""
  fi
  row "2. 2000 x 4 KiB in 20 folders, encrypted" "tar|socat" "$(m tree.tar)" "$(m tree.tovrin)" \
    "-" "<= 1.5"
  note_missed tree_tovrin tree.tovrin
  row "   2000 x 4 KiB, encrypted" "tar|socat TLS" "$(m tree.tartls)" "$(m tree.tovrin)" "-" \
    "<= 1 (no slower)"
  note_missed tree_tovrin tree.tovrin
  row "   2000 x 4 KiB, in the clear" "tar|socat" "$(m tree.tar)" "$(m tree.plain)" "-" "<= 1.3"
  note_missed tree_plain tree.plain
  row "   2000 x 4 KiB, encrypted" "in the clear" "$(m tree.plain)" "$(m tree.tovrin)" "-" \
    "the same within noise"
  if [ -n "$baseline" ]; then
    row "   2000 x 4 KiB, --classic" "baseline" "$(m tree.baseline)" "$(m tree.classic)" \
      "-" "<= 1 (no slower)"
  else
    row "   2000 x 4 KiB, --classic" "tar|socat" "$(m tree.tar)" "$(m tree.classic)" "-" ""
  fi
  row "   20000 x 1 KiB in 100 folders, encr." "tar|socat" "$(m many.tar)" "$(m many.tovrin)" \
    "-" ""
  row "3. 1 GiB file, window -> cli" "socat -b 1M" "$(m file.socat1m)" "-" \
    "$(m file.window.done)" ""
  row "6. 2000 x 4 KiB, cli -> window" "cli->cli" "$(m tree.tovrin)" "-" \
    "$(m tree.window.recv)" "<= 1.5"
  row "7. 2000 x 4 KiB, window -> cli" "cli->cli" "$(m tree.tovrin)" "-" \
    "$(m tree.window.send)" "<= 1.5"
  echo "   (cases 3 and 7 run from the drop on the open window; its start-up before that: $(m window.startup) s)"
  echo
  echo "4. rate of one file, GiB/s (Tovrin until done): encrypted 1 GiB $(rate 1 "$(m file.tovrin.done)"), 4 GiB $(rate 4 "$(m huge.tovrin.done)") (goal: the same);"
  echo "   socat -b 1M 1 GiB $(rate 1 "$(m file.socat1m)"), 4 GiB $(rate 4 "$(m huge.socat1m)")"
  echo
  echo "5. peak resident MiB per process, the largest of all runs (goal: at most 32)"
  for c in file.tovrin file.plain file.classic tree.tovrin tree.classic many.tovrin huge.tovrin; do
    printf '   %-16s sender %6s  receiver %6s\n' "$c" "$(maximum "$fs.$c.send.rss")" \
      "$(maximum "$fs.$c.recv.rss")"
  done
  printf '   %-16s sender %6s  receiver %6s\n' "window" "-" "$(maximum "$fs.window.recv.rss")"
  echo "   case 1 CPU seconds per GiB (medians): encrypted sender $(m file.tovrin.send.cpu), receiver $(m file.tovrin.recv.cpu); in the clear sender $(m file.plain.send.cpu), receiver $(m file.plain.recv.cpu); socat -b 1M sender $(m file.socat1m.send.cpu), receiver $(m file.socat1m.recv.cpu)"
  limits
done
[ "${#missed[@]}" -eq 0 ] || profile_missed
echo
echo "(every received byte matched its source)"
