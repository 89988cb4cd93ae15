#!/bin/bash
# New TCP connections per second and connect latency between two network namespaces joined by a
# veth pair, side by side in one run:
#   (a) no rule
#   (b) a trivial NFQUEUE program that accepts everything (the floor of this design)
#   (c) the filter daemon with an answering program that allows every request
#   (d) the first connection of each of 500 freshly started processes, with no rule and under (c)
# compare_builds.sh runs case (c) of several builds alternately, to compare changes.
# Case (c) runs twice: with bench/firewall/allow_all_client, a stand-in that allows whatever it
# is asked, and with the headless host (qxfwctl monitor) deciding by an allow rule.
# usage: bash bench/firewall/run_bench.sh [BUILD_DIR] [SECONDS]   (as root)
set -euo pipefail
build=${1:-build/default}
seconds=${2:-3}
bin=$build/bench/firewall
daemon=$build/outside/qltdifw/qltdifw
. "$(dirname "$0")/../netns_pair.sh"
bench_pair b 10.78.0 "$bin/connect_rate"
runtime=$WORK

run() { ip netns exec "$a" "$bin/connect_rate" run 10.78.0.2 8080 "$seconds"; }
fresh() {  # median and p99 of the first connect of 500 new processes, in microseconds
  for i in $(seq 500); do ip netns exec "$a" "$bin/connect_rate" once 10.78.0.2 8080; done |
    sort -n | awk '{v[NR]=$1} END {printf "processes %d p50 %.1f us p99 %.1f us\n", NR, v[int(NR*0.5)+1], v[int(NR*0.99)]}'
}

echo "(a) no rule:                 $(run)"
echo "(d0) 500 fresh, no rule:     $(fresh)"

ip netns exec "$a" iptables -w -A OUTPUT -p tcp --syn -j NFQUEUE --queue-num "$queue"
ip netns exec "$a" "$bin/nfq_accept_all" "$queue" > "$runtime/nfq.out" &
nfq=$!
bench_pid $nfq
sleep 0.3
echo "(b) NFQUEUE accept-all:      $(run)"
kill $nfq
ip netns exec "$a" iptables -w -D OUTPUT -p tcp --syn -j NFQUEUE --queue-num "$queue"

stop() { kill "$1"; wait "$1" 2>/dev/null || true; }

# (c) with the stand-in program.
start_daemon "$daemon"
"$bin/allow_all_client" "$runtime/qltdifw.sock" > /dev/null &
client=$!
bench_pid $client
sleep 0.3
echo "(c) daemon + allow_all_client (stand-in): $(run)"
echo "(d) 500 fresh under (c) stand-in:  $(fresh)"
stop $client
stop $daemon_pid

# (c) with the headless host and an allow rule for the client.
ctl=$build/src/ctl/qxfwctl
if [ -x "$ctl" ]; then
  export QXFW_APPDATA=$runtime/appdata
  mkdir -p "$QXFW_APPDATA"
  "$ctl" rules add-program allow "$(readlink -f "$bin/connect_rate")" >/dev/null
  "$ctl" level set 4 >/dev/null
  start_daemon "$daemon"
  QXFW_RUNTIME_DIR=$runtime "$ctl" monitor --undecided block > "$runtime/monitor.out" &
  monitor=$!
  bench_pid $monitor
  sleep 0.5
  echo "(c) daemon + qxfwctl monitor + allow rule: $(run)"
  echo "(d) 500 fresh under (c) monitor:   $(fresh)"
  echo "    monitor lines: $(wc -l < "$runtime/monitor.out"), first: $(head -1 "$runtime/monitor.out")"
fi
