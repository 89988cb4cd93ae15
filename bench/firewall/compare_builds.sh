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
id=$$
a=qxcA$id b=qxcB$id queue=$((30000 + id % 20000))
WORK=$(mktemp -d /tmp/qxfw-compare-XXXXXX)
runtime=$WORK
export QXFW_EVENT_SUFFIX=-compare$id
. "$(dirname "$0")/../netns_pair.sh"
netns_pair "$a" "$b" qxc$id 10.77.0
ip netns exec "$b" "$bin/connect_rate" serve 8080 &
bench_pid $!
sleep 0.3

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
    rm -f "$runtime/qltdifw.sock"
    "$build/outside/qltdifw/qltdifw" --foreground --netns "$a" --queue "$queue" \
      --runtime-dir "$runtime" 2>>"$runtime/daemon.log" &
    daemon=$!
    for _ in $(seq 100); do [ -S "$runtime/qltdifw.sock" ] && break; sleep 0.05; done
    QXFW_RUNTIME_DIR=$runtime "$build/src/ctl/qxfwctl" monitor --undecided block >/dev/null 2>&1 &
    monitor=$!
    sleep 0.4
    line="$line  | $build $(run $daemon $monitor)"
    kill $monitor $daemon
    wait $monitor $daemon 2>/dev/null || true
  done
  echo "$line"
done
