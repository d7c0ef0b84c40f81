#!/usr/bin/env bash
# Builds Harbinet and runs its main job. Arguments go to the program.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="${BUILD_DIR:-build}"
bash scripts/install-deps.sh
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD_DIR" -j "$(nproc)" --target hbtctl
if [ $# -eq 0 ]; then
  set -- prefs show
fi
exec "$BUILD_DIR/tools/hbtctl" "$@"
