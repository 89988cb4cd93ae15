#!/bin/bash
# Case (c) of run_bench.sh for several builds, alternating round by round with case (b), so that
# a slow minute of the machine hits every build alike. Each round prints, per build, the rate,
# the p50 connect latency and the CPU time per connection of the daemon and of qxfwctl monitor.
# usage: bash bench/firewall/compare_builds.sh BUILD_DIR... (as root; ROUNDS, SECONDS_EACH)
set -euo pipefail
[ $# -ge 1 ] || { echo "usage: compare_builds.sh BUILD_DIR..." >&2; exit 2; }
rounds=${ROUNDS:-4}
seconds=${SECONDS_EACH:-2}
builds=("$@")
bin=${builds[0]}/bench/firewall
. "$(dirname "$0")/../netns_pair.sh"
bench_pair c 10.77.0 "$bin/connect_rate"
runtime=$WORK

cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
# run: "RATE p50 P50"; with pids, also "cpu DAEMON+MONITOR" in microseconds per connection
run() {
  local before=() after=() out n
  for p in "$@"; do before+=("$(cpu_ticks "$p")"); done
  out=$(ip netns exec "$a" "$bin/connect_rate" run 10.77.0.2 8080 "$seconds")
  for p in "$@"; do after+=("$(cpu_ticks "$p")"); done
  n=$(echo "$out" | awk '{print $2}')
  printf '%s/s p50 %s us' "$(echo "$out" | awk '{print $6}' | tr -d '/s')" "$(echo "$out" | awk '{print $8}')"
  if [ $# -gt 0 ] && [ "$n" -gt 0 ]; then
    local tick=$((1000000 / $(getconf CLK_TCK))) i sep=" cpu "
    for i in "${!before[@]}"; do
      printf '%s%d' "$sep" $(((after[i] - before[i]) * tick / n))
      sep=+
    done
    printf ' us'
  fi
}

export QXFW_APPDATA=$runtime/appdata
mkdir -p "$QXFW_APPDATA"
"${builds[0]}/src/ctl/qxfwctl" rules add-program allow "$(readlink -f "$bin/connect_rate")" >/dev/null
"${builds[0]}/src/ctl/qxfwctl" level set 4 >/dev/null
for round in $(seq "$rounds"); do
  ip netns exec "$a" iptables -w -A OUTPUT -p tcp --syn -j NFQUEUE --queue-num "$queue"
  ip netns exec "$a" "$bin/nfq_accept_all" "$queue" >/dev/null &
  nfq=$!
  sleep 0.2
  line="round $round  (b) $(run)"
  kill $nfq
  wait $nfq 2>/dev/null || true
  ip netns exec "$a" iptables -w -D OUTPUT -p tcp --syn -j NFQUEUE --queue-num "$queue"
  for build in "${builds[@]}"; do
    start_daemon "$build/outside/qltdifw/qltdifw"
    QXFW_RUNTIME_DIR=$runtime "$build/src/ctl/qxfwctl" monitor --undecided block >/dev/null 2>&1 &
    monitor=$!
    sleep 0.4
    line="$line  | $build $(run $daemon_pid $monitor)"
    kill $monitor $daemon_pid
    wait $monitor $daemon_pid 2>/dev/null || true
  done
  echo "$line"
done
