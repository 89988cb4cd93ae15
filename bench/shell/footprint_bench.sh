#!/usr/bin/env bash
# Memory of the windowed program and all its processes (browser helpers included), and its idle
# CPU, as a user meets them:
#   bash bench/shell/footprint_bench.sh [HIDDEN_SECONDS] [IDLE_SECONDS]   (defaults 60 and 30)
# As root the program runs as root with the browser's sandbox off (which root needs), unless
# BENCH_USER names a user to run it as, with the sandbox on as on a desktop.
# The companion starts qxfw in a fresh data folder under Xvfb. Figures are taken
#   start:   10 s after the home page has loaded, the window shown on the home page;
#   hidden:  HIDDEN_SECONDS after the window's close link was clicked (the window goes to the
#            notification area, or is minimised where the desktop has none, as under Xvfb);
#   visited: the window shown again and every page clicked once in the navigation bar, 5 s
#            after the last click;
# each as the sum of proportional (PSS) and resident (RSS) set sizes over the process tree,
# with the number of processes, and the idle CPU over IDLE_SECONDS after start and when
# hidden. For each click the time from the button press (the pointer is already there) to the
# page on screen is given, from the clock time in the program's debug line "ShowPage N ready
# after M ms (at T)" (M: from the page command to the page loaded and shown). The program loads its pages one
# after another while its window is seen and lets them go 30 s after the window went out of
# sight.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
hidden_wait=${1:-60}
idle=${2:-30}
bin=$top/build/default
work=$(mktemp -d)
exec 3< <(exec Xvfb -displayfd 1 -screen 0 1024x768x24 -nolisten tcp 2>/dev/null)
xvfb=$!  # this script's server, not another one with the same command line
read -r -t 10 number <&3
display=:$number
pid=
tree() {  # $1 (default: the program) and every descendant
  local all
  all=$(ps -e -o pid=,ppid=)
  local list=${1:-$qxfw} frontier=${1:-$qxfw} next
  while [ -n "$frontier" ]; do
    next=$(awk -v f=" $frontier " 'index(f, " " $2 " ") {print $1}' <<<"$all" | tr '\n' ' ')
    list="$list $next"
    frontier=$(echo $next)
  done
  echo $list
}
cleanup() {
  # Everything started here ends: the companion, the program and the browser's helpers (a
  # user switch in between need not pass the signal on).
  if [ -n "$pid" ]; then
    kill $(tree "$pid") 2>/dev/null || true
    for _ in $(seq 1 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  fi
  kill "$xvfb" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
isolate=()
if [ "$(id -u)" = 0 ] && unshare -n true 2>/dev/null; then isolate=(unshare -n); fi
export DISPLAY=$display QT_QPA_PLATFORM=xcb QXFW_DEBUG=1
export QXFW_PROGRAM=$bin/src/shell/ui/qxfw
mkdir -p "$work/QOLTEX/Firewall"
as_user=()
if [ "$(id -u)" = 0 ] && [ -n "${BENCH_USER:-}" ]; then
  mkdir -m 700 "$work/xdg"  # the user's private runtime folder (named events live there)
  chown -R "$BENCH_USER" "$work"
  as_user=(runuser -u "$BENCH_USER" -- env HOME="$work" XDG_RUNTIME_DIR="$work/xdg")
elif [ "$(id -u)" = 0 ]; then
  export QTWEBENGINE_DISABLE_SANDBOX=1
fi
QXFW_APPDATA=$work QXFW_SYSTEM_DIR=$work/system QXFW_RUNTIME_DIR=$work/run TMPDIR=$work \
  "${isolate[@]}" "${as_user[@]}" "$bin/outside/companion/qxfw-companion" /e:on \
  >"$work/out" 2>&1 &
pid=$!

wait_line() {  # $1 text; waits up to 60 s for it in the program's output
  for _ in $(seq 1 6000); do
    grep -q "$1" "$work/out" 2>/dev/null && return 0
    sleep 0.01
  done
  echo "the program never wrote: $1; its last lines:" >&2
  tail -n 15 "$work/out" >&2
  exit 1
}
wait_line "home page loaded"

# The program under the companion this script started, not another user's.
qxfw=$(ps -o pid=,comm= -p "$(tree "$pid" | xargs | tr ' ' ',')" | awk '$2 == "qxfw" {print $1; exit}')
[ -n "$qxfw" ] || { echo "no program process under the companion $pid" >&2; exit 1; }
memory() {  # $1 label
  local pss=0 rss=0 n=0 p
  for p in $(tree); do
    [ -r /proc/$p/smaps_rollup ] || continue
    read -r a b < <(awk '/^Pss:/ {p=$2} /^Rss:/ {r=$2} END {print p+0, r+0}' /proc/$p/smaps_rollup)
    pss=$((pss + a)); rss=$((rss + b)); n=$((n + 1))
  done
  printf '%-8s PSS %4d MB  RSS %4d MB  in %2d processes\n' "$1" $((pss / 1024)) $((rss / 1024)) "$n"
}
ticks() {
  local sum=0 p
  for p in $(tree); do
    [ -r /proc/$p/stat ] && sum=$((sum + $(awk '{print $14 + $15}' /proc/$p/stat)))
  done
  echo $sum
}
idle_cpu() {  # $1 label
  local hz a b
  hz=$(getconf CLK_TCK)
  a=$(ticks); sleep "$idle"; b=$(ticks)
  printf '%-8s idle CPU over %d s: %s%% of one core\n' "$1" "$idle" \
    "$(awk -v t=$((b - a)) -v h="$hz" -v s="$idle" 'BEGIN{printf "%.2f", 100*t/h/s}')"
}

window=$(xdotool search --sync --onlyvisible --name '^Talvoran Firewall$' | head -1)
point() {  # $1 x, $2 y inside the window: the pointer goes there
  eval "$(xdotool getwindowgeometry --shell "$window")"
  xdotool mousemove --sync $((X + $1)) $((Y + $2))
}
click() {  # $1 x, $2 y inside the window
  point "$1" "$2"
  xdotool click 1
}

sleep 10
memory start
idle_cpu start

click 495 12  # the close link of the title bar
sleep "$hidden_wait"
memory hidden
idle_cpu hidden

# Starting the program again shows the running window (the second instance ends at once).
again=()
if [ ${#isolate[@]} -gt 0 ]; then again=(nsenter --net=/proc/$qxfw/ns/net); fi
QXFW_APPDATA=$work QXFW_SYSTEM_DIR=$work/system TMPDIR=$work "${again[@]}" "${as_user[@]}" \
  "$QXFW_PROGRAM" >/dev/null 2>&1 || true
sleep 2
ms() { date +%s%3N; }
for row in 1 2 3 4 5 6 0; do  # network .. antivirus, then home, in the navigation bar
  before=$(grep -c 'ready after' "$work/out" || true)
  point 50 $((32 + 17 + 34 * row))
  t0=$(ms)
  xdotool click 1
  for _ in $(seq 1 500); do
    [ "$(grep -c 'ready after' "$work/out" || true)" -gt "$before" ] && break
    sleep 0.005
  done
  line=$(grep -o 'ShowPage [0-9]* ready after [0-9]* ms (at [0-9]*)' "$work/out" |
    sed -n "$((before + 1))p")
  at=$(sed -n 's/.*(at \([0-9]*\))/\1/p' <<<"$line")
  if [ -n "$at" ]; then
    echo "click on row $row: ${line% (at*}; $((at - t0)) ms from the button press"
  else
    echo "click on row $row: no page shown"
  fi
  sleep 1.5
done
sleep 5
memory visited
