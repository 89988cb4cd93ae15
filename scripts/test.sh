#!/usr/bin/env bash
# Installs the dependencies, builds everything and runs every test (unit, integration, ui).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
bash scripts/install-deps.sh
cmake --preset default
cmake --build --preset default
ctest --preset default "$@"
