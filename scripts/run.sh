#!/usr/bin/env bash
# Builds Harbinet and runs it: the interception engine as root, the program as
# the invoking user. With a display the program lives in the tray (E&xit in its
# menu ends it); without one it runs headless, with log lines on standard
# output, and Ctrl-C stops it in order. The engine stops with the program and
# removes its firewall rules.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="${BUILD_DIR:-build}"
DEVICE="${HBT_ENGINE_DEVICE:-/run/harbinet/HbtEngineDrv}"

bash scripts/install-deps.sh
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD_DIR" -j "$(nproc)" --target harbinet hbt-engined hbtctl

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
# The user the program runs as: whoever called sudo, else the caller.
RUN_USER="${SUDO_USER:-$(id -un)}"
RUN_UID="$(id -u "$RUN_USER")"

$SUDO "$BUILD_DIR/HbtEngineDrv/hbt-engined" --device "$DEVICE" --allow-uid "$RUN_UID" &
ENGINE_PID=$!
stop_engine() {
  $SUDO kill -TERM "$ENGINE_PID" 2>/dev/null || true
  wait "$ENGINE_PID" 2>/dev/null || true
}
trap stop_engine EXIT

for _ in $(seq 1 100); do
  [ -S "$DEVICE" ] && break
  kill -0 "$ENGINE_PID" 2>/dev/null || { echo "run.sh: hbt-engined did not start" >&2; exit 1; }
  sleep 0.1
done

mode=(--headless)
[ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && mode=()

# SIGINT from the terminal reaches the headless program, which stops in order.
status=0
if [ "$(id -u)" -eq 0 ] && [ -n "${SUDO_USER:-}" ]; then
  sudo -u "$SUDO_USER" env HBT_ENGINE_DEVICE="$DEVICE" DISPLAY="${DISPLAY:-}" WAYLAND_DISPLAY="${WAYLAND_DISPLAY:-}" \
    XDG_RUNTIME_DIR="/run/user/$RUN_UID" "$BUILD_DIR/ui/harbinet" "${mode[@]}" "$@" || status=$?
else
  HBT_ENGINE_DEVICE="$DEVICE" "$BUILD_DIR/ui/harbinet" "${mode[@]}" "$@" || status=$?
fi
exit "$status"
