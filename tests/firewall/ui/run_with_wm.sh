#!/bin/bash
# Runs a program on an X server of its own with a window manager that gives new windows the
# keyboard (as desktops do), so that a window which must not take it can be checked.
#   run_with_wm.sh PROGRAM [ARGS...]
set -euo pipefail
ready=$(mktemp -u /tmp/qxfw-wm-ready-XXXXXX)
number=$(mktemp /tmp/qxfw-display-XXXXXX)
# The server picks a free display and writes its number.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$number" >/dev/null 2>&1 &
xvfb=$!
wm=
trap 'kill $wm $xvfb 2>/dev/null || true; wait 2>/dev/null || true; rm -f "$number" "$ready"' EXIT
for _ in $(seq 100); do [ -s "$number" ] && break; sleep 0.05; done
export DISPLAY=:$(cat "$number") QT_QPA_PLATFORM=xcb
# openbox runs its start-up command once it manages the screen.
openbox --sm-disable --startup "touch $ready" >/dev/null 2>&1 &
wm=$!
for _ in $(seq 100); do [ -e "$ready" ] && break; sleep 0.05; done
"$@"
