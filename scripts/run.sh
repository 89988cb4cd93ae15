#!/usr/bin/env bash
# Installs the dependencies, builds everything and starts the product: the filter daemon (when
# it is built), then the companion, which starts the firewall program qxfw and keeps it
# running. Without a display the program runs on a virtual one (Xvfb). Stop it with the
# command this script prints (the program ends about 10 s after its companion).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
bash scripts/install-deps.sh
cmake --preset default
cmake --build --preset default
bin=$top/build/default
state=${XDG_RUNTIME_DIR:-/tmp}/qxfw-run-$(id -u)
mkdir -p "$state"

daemon=$bin/outside/qltdifw/qltdifw
if [ -x "$daemon" ] && [ "$(id -u)" = 0 ]; then
  "$daemon" --foreground --user "${SUDO_UID:-$(id -u)}" >"$state/qltdifw.log" 2>&1 &
  echo $! >"$state/qltdifw.pid"
  echo "filter daemon started (pid $(cat "$state/qltdifw.pid"), log $state/qltdifw.log)"
else
  echo "filter daemon not started (not built, or not root): connections are not held"
fi

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  display=:$((20 + $(id -u) % 50))
  Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >"$state/xvfb.log" 2>&1 &
  echo $! >"$state/xvfb.pid"
  export DISPLAY=$display
  echo "no display: the program runs on the virtual display $display (pid $(cat "$state/xvfb.pid"))"
fi
if [ "$(id -u)" = 0 ]; then export QTWEBENGINE_DISABLE_SANDBOX=1; fi

QXFW_PROGRAM=$bin/src/shell/ui/qxfw nohup "$bin/outside/companion/qxfw-companion" /e:on \
  >"$state/qxfw.log" 2>&1 </dev/null &
echo $! >"$state/companion.pid"
sleep 2
echo "qxfw runs (companion pid $(cat "$state/companion.pid"), log $state/qxfw.log)."
echo "Rules from the command line while it runs: $bin/src/ctl/qxfwctl rules list"
echo "Stop it: kill \$(cat $state/companion.pid)$( [ -f "$state/qltdifw.pid" ] && echo " \$(cat $state/qltdifw.pid)")$( [ -f "$state/xvfb.pid" ] && echo "; after 10 s: kill \$(cat $state/xvfb.pid)")"
