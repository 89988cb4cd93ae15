#!/usr/bin/env bash
# Installs the dependencies, builds everything and runs what exists of the product so far:
# the command-line tool qxfwctl over the user's rule store and the machine's connections.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
bash scripts/install-deps.sh
cmake --preset default
cmake --build --preset default
./build/default/src/ctl/qxfwctl --help
./build/default/src/ctl/qxfwctl level get
./build/default/src/ctl/qxfwctl rules list
./build/default/src/ctl/qxfwctl connections
