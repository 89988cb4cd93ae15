#!/usr/bin/env bash
# Start-up of qxfw to a shown main window, and the idle CPU of the running program.
#   bash bench/shell/startup_bench.sh [RUNS] [IDLE_SECONDS]     (defaults 5 and 60)
# Each run starts the companion (which starts qxfw) in a fresh data folder under Xvfb and
# times, from the start of the companion, the debug lines "CMainFrame shown" and "home page
# loaded". Then one program runs for IDLE_SECONDS with the home page shown, and the CPU time of
# qxfw and its browser processes over that span is given as a share of one core.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
runs=${1:-5}
idle=${2:-60}
bin=$top/build/default
work=$(mktemp -d)
display=:$((150 + $$ % 100))
Xvfb "$display" -screen 0 800x600x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
trap 'kill "$xvfb" 2>/dev/null || true; rm -rf "$work"' EXIT
sleep 1
isolate=()
if [ "$(id -u)" = 0 ] && unshare -n true 2>/dev/null; then isolate=(unshare -n); fi
export DISPLAY=$display QT_QPA_PLATFORM=xcb QTWEBENGINE_DISABLE_SANDBOX=1 QXFW_DEBUG=1
export QXFW_PROGRAM=$bin/src/shell/ui/qxfw

start_one() {  # $1 folder; writes the companion's output to $1/out and prints its pid
  mkdir -p "$1/QOLTEX/Firewall"
  QXFW_APPDATA=$1 QXFW_SYSTEM_DIR=$1/system TMPDIR=$1 \
    "${isolate[@]}" "$bin/outside/companion/qxfw-companion" /e:on >"$1/out" 2>&1 &
  echo $!
}
ms() { date +%s%3N; }
wait_line() {  # $1 file, $2 text; prints the time it appeared
  for _ in $(seq 1 2000); do
    if grep -q "$2" "$1" 2>/dev/null; then ms; return; fi
    sleep 0.005
  done
  echo "never"
}

for i in $(seq 1 "$runs"); do
  dir=$work/run$i
  t0=$(ms)
  pid=$(start_one "$dir")
  shown=$(wait_line "$dir/out" "CMainFrame shown")
  loaded=$(wait_line "$dir/out" "home page loaded")
  echo "run $i: shown $((shown - t0)) ms, home page loaded $((loaded - t0)) ms"
  kill "$pid"; wait "$pid" 2>/dev/null || true
done

dir=$work/idle
pid=$(start_one "$dir")
wait_line "$dir/out" "home page loaded" >/dev/null
sleep 5
qxfw=$(pgrep -P "$(pgrep -P "$pid" || echo "$pid")" -x qxfw || pgrep -n -x qxfw)
procs() { echo "$qxfw"; pgrep -P "$qxfw" || true; for c in $(pgrep -P "$qxfw" || true); do pgrep -P "$c" || true; done; }
ticks() { local sum=0; for p in $(procs); do
    [ -r /proc/$p/stat ] && sum=$((sum + $(awk '{print $14 + $15}' /proc/$p/stat))); done; echo $sum; }
hz=$(getconf CLK_TCK)
a=$(ticks); sleep "$idle"; b=$(ticks)
echo "idle CPU over ${idle} s: $((b - a)) ticks at $hz Hz = $(awk -v t=$((b - a)) -v h=$hz -v s=$idle 'BEGIN{printf "%.2f", 100*t/h/s}')% of one core (qxfw and its browser processes)"
kill "$pid"; wait "$pid" 2>/dev/null || true
