#!/bin/bash
# Latency from a held connection attempt to the access prompt painted on the screen, with the
# real filter daemon and the firewall program's application object on an X server (Xvfb):
# COUNT unknown clients connect one after another from a network namespace; each prompt is
# answered with Allow and its rule taken away again, so that the next client is asked too.
# Then a client with an allow rule connects one connection after another for SECONDS, each
# decided by the program: its rate and connect latency.
# usage: bash bench/shell/prompt_latency.sh [BUILD_DIR] [COUNT] [SECONDS]   (as root)
set -euo pipefail
build=${1:-build/default}
count=${2:-30}
seconds=${3:-3}
bench=$build/bench/shell/prompt_latency
daemon=$build/outside/qltdifw/qltdifw
server=$build/bench/firewall/connect_rate
. "$(dirname "$0")/../netns_pair.sh"
bench_pair p 10.79.0 "$server"
work=$WORK

echo "no rule, before the daemon starts: $(ip netns exec "$a" "$server" run 10.79.0.2 8080 "$seconds")"

start_daemon "$daemon"

display=:$((600 + $$ % 300))
Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
bench_pid $!
for _ in $(seq 50); do DISPLAY=$display xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done

mkdir -p "$work/appdata" "$work/system"
DISPLAY=$display QT_QPA_PLATFORM=xcb QTWEBENGINE_DISABLE_SANDBOX=1 LANG=C.UTF-8 \
  QXFW_APPDATA=$work/appdata QXFW_SYSTEM_DIR=$work/system QXFW_RUNTIME_DIR=$work \
  "$bench" "$count" "$a" "$(readlink -f "$build/bench/shell/prompt_client")" 10.79.0.2 8080 \
  "$(readlink -f "$server")" "$seconds" 2>"$work/program.log" ||
  { echo "the benchmark failed:"; tail -20 "$work/program.log"; exit 1; }
