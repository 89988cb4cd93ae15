#!/usr/bin/env bash
# Takes a PNG of the main window on every page and of the access prompt and the security
# level dialog, in English and Korean, under Xvfb:
#   bash scripts/screenshots.sh [OUTDIR]      (default build/screenshots)
# Each language runs in a data folder of its own; the pictures are named <lang>-<page>.png.
# New screens are added to tests/shell/ui/page_shots.cc.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$top/build/screenshots}
shots=$top/build/default/tests/shell/ui/qxfw_page_shots
cmake --build "$top/build/default" --target qxfw_page_shots >/dev/null
mkdir -p "$out"
work=$(mktemp -d)
trap 'kill "$xvfb" 2>/dev/null || true; rm -rf "$work"' EXIT
display=:$((90 + $$ % 100))
Xvfb "$display" -screen 0 800x600x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
sleep 1
for lang in en kr; do
  data=$work/$lang
  mkdir -p "$data/QOLTEX/Firewall"
  # The translations the installer puts beside the user's options.
  cp "$top/data/Firewall.ini" "$data/QOLTEX/Firewall/Firewall.ini"
  if [ "$lang" = kr ]; then
    printf '[Firewall]\nLanguage=1042\n' >"$data/QOLTEX/Firewall/UserOpts.ini"
  else
    printf '[Firewall]\nLanguage=1033\n' >"$data/QOLTEX/Firewall/UserOpts.ini"
  fi
  # unshare: a running program of this user must not take these starts for second instances.
  run=()
  # In the namespace: loopback up for the network page's connections, and a veth pair with a
  # silent neighbour whose link carries the status window's traffic.
  if [ "$(id -u)" = 0 ] && unshare -n true 2>/dev/null; then
    run=(unshare -n sh -c 'ip link set lo up &&
      ip link add shv0 type veth peer name shv1 && ip addr add 10.99.0.1/24 dev shv0 &&
      ip link set shv1 up && ip link set shv0 up &&
      ip neigh add 10.99.0.2 lladdr 02:00:00:00:00:02 dev shv0; exec "$@"' sh)
  fi
  DISPLAY=$display QT_QPA_PLATFORM=xcb QTWEBENGINE_DISABLE_SANDBOX=1 QXFW_APPDATA=$data \
    QXFW_SYSTEM_DIR=$data/system TMPDIR=$work "${run[@]}" "$shots" "$out" "$lang" 2>/dev/null
done
echo "screenshots in $out"
