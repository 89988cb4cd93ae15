# Sourced by the whole-process benchmarks (bash, as root): two network namespaces joined by a
# veth pair, and a clean-up on exit of everything the benchmark started.
#   netns_pair A B IFACE SUBNET   makes namespaces A (SUBNET.1) and B (SUBNET.2), the veth pair
#                                 IFACEa/IFACEb between them, and sets the trap
#   bench_pid PID                 a process to kill on exit
#   bench_pair TAG SUBNET SERVER  the usual set-up: a WORK folder, namespaces $a and $b (SUBNET.1
#                                 and .2), a queue number in $queue, a private
#                                 $XDG_RUNTIME_DIR for the user events of the run's programs,
#                                 and `SERVER serve 8080` running in $b
#   start_daemon DAEMON [OPTION...]  the filter daemon on $a and $queue with its device in
#                                 $WORK; its pid in $daemon_pid; exits when it does not start
# WORK, when set, is a folder removed on exit.
pids=()
bench_pid() { pids+=("$1"); }
bench_cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  for ns in "${bench_namespaces[@]}"; do ip netns delete "$ns" 2>/dev/null || true; done
  if [ -n "${WORK:-}" ]; then rm -rf "$WORK"; fi
}
netns_pair() {
  local a=$1 b=$2 iface=$3 subnet=$4
  bench_namespaces=("$a" "$b")
  trap bench_cleanup EXIT
  ip netns add "$a"
  ip netns add "$b"
  ip link add "${iface}a" netns "$a" type veth peer name "${iface}b" netns "$b"
  ip -n "$a" addr add "$subnet.1/24" dev "${iface}a"
  ip -n "$b" addr add "$subnet.2/24" dev "${iface}b"
  for ns in "$a" "$b"; do ip -n "$ns" link set lo up; done
  ip -n "$a" link set "${iface}a" up
  ip -n "$b" link set "${iface}b" up
}
bench_pair() {
  local tag=$1 subnet=$2 server=$3
  a=qx${tag}A$$ b=qx${tag}B$$ queue=$((30000 + $$ % 20000))
  WORK=$(mktemp -d /tmp/qxfw-bench-XXXXXX)
  # The user events of programs the run starts stay in a private folder of its own.
  mkdir -m 0700 "$WORK/xdg"
  export XDG_RUNTIME_DIR=$WORK/xdg
  netns_pair "$a" "$b" "qx$tag$$" "$subnet"
  ip netns exec "$b" "$server" serve 8080 &
  bench_pid $!
  sleep 0.3
}
start_daemon() {
  local daemon=$1
  shift
  rm -f "$WORK/qltdifw.sock"
  "$daemon" --foreground --netns "$a" --queue "$queue" --runtime-dir "$WORK" "$@" \
    2>>"$WORK/daemon.log" &
  daemon_pid=$!
  bench_pid $daemon_pid
  for _ in $(seq 100); do [ -S "$WORK/qltdifw.sock" ] && break; sleep 0.05; done
  [ -S "$WORK/qltdifw.sock" ] || { echo "daemon did not start:"; cat "$WORK/daemon.log"; exit 1; }
}
