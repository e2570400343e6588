#!/usr/bin/env bash
# Builds two hosts of the test's own for discovery across a link, and takes them down again:
# sides "a" and "b", each a network namespace with a mount namespace of its own, joined by a
# veth pair (tovrin-a 10.231.0.1/24, tovrin-b 10.231.0.2/24), each with its own D-Bus system
# bus and Avahi daemon. Nothing of the machine's network, bus or daemons is seen or touched:
# inside each side /run is a fresh tmpfs with DIR/SIDE/dbus bound over /run/dbus and
# DIR/SIDE/avahi over /run/avahi-daemon, and an empty DIR/SIDE/services over
# /etc/avahi/services. A side's bus is reachable from outside at DIR/SIDE/dbus/system_bus_socket.
#
# Usage: nearby_world.sh DIR (an empty folder, not under /run). Prints one line:
#   "skip REASON"            the machine cannot host the world (not root, a tool missing, no
#                            namespaces); nothing is left behind;
#   "failed REASON"          a tool that is there did not work; nothing is left behind;
#   "ready PID_A PID_B"      both daemons are on their buses; /proc/PID/ns/net is a side's
#                            network namespace.
# Once ready it reads commands from standard input, one a line, answering "ok" or "failed":
#   stop-avahi SIDE, start-avahi SIDE
# At the end of standard input (also when the test that started it dies) it ends every
# process it started; the namespaces, the link and the mounts go with them.
set -u
# ip and avahi-daemon live in sbin, which a non-login PATH may lack.
PATH=$PATH:/usr/sbin:/sbin
dir=${1:?usage: nearby_world.sh DIR}
dir=$(cd "$dir" && pwd) || exit 1
declare -A holder dbus avahi

skip() { echo "skip $*" && exit 0; }
fail() { echo "failed $*" && exit 0; }
[ "$(id -u)" -eq 0 ] || skip "needs root to make network namespaces"
for tool in unshare nsenter ip mount dbus-daemon avahi-daemon; do
  command -v "$tool" > /dev/null || skip "no $tool on this machine"
done
case "$dir/" in /run/*) skip "the test folder $dir is under /run, which each side replaces" ;; esac

teardown() {
  local pid
  for pid in "${avahi[@]}" "${dbus[@]}" "${holder[@]}"; do kill "$pid" 2> /dev/null; done
  for pid in "${avahi[@]}" "${dbus[@]}" "${holder[@]}"; do wait "$pid" 2> /dev/null; done
}
trap teardown EXIT
trap "" PIPE

# Waits up to ten seconds for the command to succeed.
await() {
  local tries=0
  until "$@"; do
    tries=$((tries + 1))
    [ $tries -lt 200 ] || return 1
    sleep 0.05
  done
}
# Runs a command in a side's namespaces. What runs in the background is started with nsenter
# itself instead, so that $! is the daemon's own process.
in_side() { nsenter -t "${holder[$1]}" -n -m "${@:2}"; }
separate() { [ "$(readlink "/proc/$1/ns/net")" != "$(readlink /proc/self/ns/net)" ]; }

start_avahi() {
  local side=$1
  : > "$dir/$side/avahi.log"
  nsenter -t "${holder[$side]}" -n -m \
    env DBUS_SYSTEM_BUS_ADDRESS=unix:path=/run/dbus/system_bus_socket \
    avahi-daemon -f "$dir/$side/avahi.conf" --no-drop-root --no-chroot --no-rlimits \
    --no-proc-title >> "$dir/$side/avahi.log" 2>&1 &
  avahi[$side]=$!
  await grep -q "Server startup complete" "$dir/$side/avahi.log"
}
stop_avahi() {
  kill "${avahi[$1]}" 2> /dev/null && wait "${avahi[$1]}" 2> /dev/null
  unset "avahi[$1]"
}

for side in a b; do
  mkdir -p "$dir/$side/dbus" "$dir/$side/avahi" "$dir/$side/services"
  unshare -n -m --propagation private sleep infinity > /dev/null 2> "$dir/$side/unshare.log" &
  holder[$side]=$!
  if ! await separate "${holder[$side]}"; then
    skip "cannot make a network namespace: $(head -c 200 "$dir/$side/unshare.log")"
  fi
  in_side "$side" sh -e -c "mount -t tmpfs tovrin-run /run
    mkdir /run/dbus /run/avahi-daemon
    mount --bind '$dir/$side/dbus' /run/dbus
    mount --bind '$dir/$side/avahi' /run/avahi-daemon
    if [ -d /etc/avahi/services ]; then mount --bind '$dir/$side/services' /etc/avahi/services; fi
    ip link set lo up" || fail "cannot set up the mounts of side $side"
done

in_side a ip link add tovrin-a type veth peer name tovrin-b netns "${holder[b]}" 2> "$dir/veth.log" ||
  skip "cannot make a veth pair: $(head -c 200 "$dir/veth.log")"
in_side a sh -e -c "ip addr add 10.231.0.1/24 dev tovrin-a; ip link set tovrin-a up" &&
  in_side b sh -e -c "ip addr add 10.231.0.2/24 dev tovrin-b; ip link set tovrin-b up" ||
  fail "cannot address the link"

for side in a b; do
  cat > "$dir/$side/bus.conf" << EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=/run/dbus/system_bus_socket</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/> <allow own="*"/> <allow send_destination="*"/> <allow receive_sender="*"/>
  </policy>
</busconfig>
EOF
  cat > "$dir/$side/avahi.conf" << EOF
[server]
host-name=tovrin-test-$side
use-ipv4=yes
use-ipv6=no
allow-interfaces=tovrin-$side
enable-dbus=yes
ratelimit-interval-usec=1000000
ratelimit-burst=1000
[wide-area]
enable-wide-area=no
[publish]
publish-hinfo=no
publish-workstation=no
EOF
  nsenter -t "${holder[$side]}" -n -m dbus-daemon --config-file="$dir/$side/bus.conf" --nofork \
    --nopidfile --nosyslog > "$dir/$side/dbus.log" 2>&1 &
  dbus[$side]=$!
  await test -S "$dir/$side/dbus/system_bus_socket" || fail "no bus on side $side"
  start_avahi "$side" || fail "no Avahi daemon on side $side: $(tail -c 300 "$dir/$side/avahi.log")"
done

echo "ready ${holder[a]} ${holder[b]}"
while read -r command side; do
  case "$command $side" in
    "stop-avahi a" | "stop-avahi b") stop_avahi "$side" && echo ok || echo failed ;;
    "start-avahi a" | "start-avahi b") start_avahi "$side" && echo ok || echo failed ;;
    *) echo failed ;;
  esac
done
