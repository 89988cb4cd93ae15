# Sourced by the whole-process benchmarks (bash, as root): two network namespaces joined by a
# veth pair, and a clean-up on exit of everything the benchmark started.
#   netns_pair A B IFACE SUBNET   makes namespaces A (SUBNET.1) and B (SUBNET.2), the veth pair
#                                 IFACEa/IFACEb between them, and sets the trap
#   bench_pid PID                 a process to kill on exit
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
