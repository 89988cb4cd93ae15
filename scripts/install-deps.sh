#!/usr/bin/env bash
# Installs every Debian package listed in scripts/packages.txt (needs root).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
mapfile -t pkgs < <(grep -v -E '^\s*(#|$)' "$here/packages.txt")
export DEBIAN_FRONTEND=noninteractive
if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: run as root (apt-get needs it)" >&2
  exit 1
fi
apt-get update
apt-get install -y --no-install-recommends "${pkgs[@]}"
