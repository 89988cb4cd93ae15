#!/usr/bin/env bash
# Builds the controls gallery and writes one sheet of every owner-drawn control in its states,
# in English and Korean: scripts/controls-gallery.sh [output folder, default build/gallery]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
out=${1:-build/gallery}
cmake --preset default >/dev/null
cmake --build --preset default --target controls_gallery qxfw_language_file
QT_QPA_PLATFORM=offscreen build/default/tests/controls/controls_gallery "$out" build/default/Firewall.ini
