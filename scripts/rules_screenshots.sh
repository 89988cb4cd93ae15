#!/usr/bin/env bash
# Takes PNGs of the rule lists and of the rule and process dialogs, in English and Korean,
# under Xvfb:
#   bash scripts/rules_screenshots.sh [OUTDIR]      (default build/screenshots)
# The pictures are named <lang>-<screen>.png. The lists on their pages: scripts/screenshots.sh.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$top/build/screenshots}
shots=$top/build/default/tests/rules_ui/rules_ui_shots
cmake --build "$top/build/default" --target rules_ui_shots >/dev/null
mkdir -p "$out"
work=$(mktemp -d)
trap 'kill "$xvfb" 2>/dev/null || true; rm -rf "$work"' EXIT
display=:$((190 + $$ % 100))
Xvfb "$display" -screen 0 800x600x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
sleep 1
for lang in en kr; do
  data=$work/$lang
  mkdir -p "$data"
  cp "$top/data/Firewall.ini" "$data/Firewall.ini"
  if [ "$lang" = kr ]; then
    printf '[Firewall]\nLanguage=1042\n' >"$data/UserOpts.ini"
  else
    printf '[Firewall]\nLanguage=1033\n' >"$data/UserOpts.ini"
  fi
  DISPLAY=$display QT_QPA_PLATFORM=xcb "$shots" "$out" "$lang" "$data" 2>/dev/null
done
echo "screenshots in $out"
