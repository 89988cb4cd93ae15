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

# The build tree runs as an installed system would, through the folder variables: the
# installer writes the user's data files (rules, texts, antivirus library, engine and
# signatures) and, as root, the filter daemon into the system folder and starts it.
export QXFW_SYSTEM_DIR=${QXFW_SYSTEM_DIR:-$top/build/run/system}
mkdir -p "$QXFW_SYSTEM_DIR"
setup=$bin/src/setup/qxfwsetup
# No autostart entry for a build tree: the installer's question is answered No.
QXFW_SETUP_ANSWERS=${QXFW_SETUP_ANSWERS:-no} "$setup" /Install || {
  echo "qxfwsetup /Install stopped (is qxfw already running? stop it first)" >&2
  exit 1
}
echo "installed the data files into ${QXFW_APPDATA:-$HOME/.local/share}/QOLTEX"
stop_driver=""
if [ "$(id -u)" = 0 ]; then
  "$setup" /StartDriver
  if [ -S "${QXFW_RUNTIME_DIR:-/run/qxfw}/qltdifw.sock" ]; then
    echo "filter daemon started (qxfwsetup /StartDriver; $QXFW_SYSTEM_DIR/qltdifw)"
    stop_driver="; QXFW_SYSTEM_DIR=$QXFW_SYSTEM_DIR $setup /StopDriver"
  else
    echo "filter daemon did not start: connections are not held"
  fi
else
  echo "not root: the program asks for the administrator's password to start the filter daemon"
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
echo "Stop it: kill \$(cat $state/companion.pid)$stop_driver$( [ -f "$state/xvfb.pid" ] && echo "; after 10 s: kill \$(cat $state/xvfb.pid)")"
