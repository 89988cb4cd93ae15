#!/bin/bash
# Runs a program on an X server of its own with a window manager that gives new windows the
# keyboard (as desktops do), so that a window which must not take it can be checked.
#   run_with_wm.sh PROGRAM [ARGS...]
set -euo pipefail
display=:$((200 + $$ % 300))
Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
wm=
trap 'kill $wm $xvfb 2>/dev/null || true; wait 2>/dev/null || true' EXIT
export DISPLAY=$display QT_QPA_PLATFORM=xcb
for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
openbox --sm-disable >/dev/null 2>&1 &
wm=$!
# openbox owns the WM_S0 selection once it manages the screen.
for _ in $(seq 50); do xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q window && break; sleep 0.1; done
"$@"
