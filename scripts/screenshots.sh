#!/usr/bin/env bash
# Pictures of what a person sees: starts the program under Xvfb with a real
# XEmbed tray (trayer) against a dry-run engine and writes PNGs of the tray,
# the tray menu in Strict and Best-Effort Mode, the main dialog ON and OFF,
# the About dialog, the message box with a check box, the log window, the
# statistics box, the host and application prompts, the Options and cipher
# suite dialogs at 100 % and 200 %, the update check's boxes and the crash
# reporter into build/screenshots/.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="${BUILD_DIR:-build}"
OUT="$BUILD_DIR/screenshots"
for tool in Xvfb trayer xdotool xwd xsetroot xdpyinfo convert; do
  command -v "$tool" >/dev/null || { echo "screenshots.sh: $tool is missing (scripts/install-deps.sh)" >&2; exit 1; }
done
cmake --build "$BUILD_DIR" --target harbinet hbt-engined harbinet_gallery >/dev/null

work="$(mktemp -d)"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# Xvfb picks a free display itself and writes its number once it is ready.
Xvfb -displayfd 3 -screen 0 2560x1600x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=":$(cat "$work/display")"
xdpyinfo >/dev/null
# A plain grey desktop so the pictures' edges show.
xsetroot -solid '#5a6b7d'


export HOME="$work/home" XDG_CONFIG_HOME="$work/config" XDG_RUNTIME_DIR="$work/run" HBT_RUNNING_LOCK="$work/lock"
mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
export HBT_ENGINE_DEVICE="$work/engine.sock" QT_QPA_PLATFORM=xcb
# Nothing leaves the machine and nothing is opened on the desktop: the update
# check asks a closed port, and xdg-open only writes down what it was given.
export HBT_UPDATE_URL="http://127.0.0.1:1/last_versions/windows/" TMPDIR="$work"
mkdir -p "$work/bin" && printf '#!/bin/sh\necho "$@" >>"%s/opened.txt"\n' "$work" >"$work/bin/xdg-open"
chmod +x "$work/bin/xdg-open" && export PATH="$work/bin:$PATH"
"$BUILD_DIR/HbtEngineDrv/hbt-engined" --dry-run --device "$HBT_ENGINE_DEVICE" >"$work/engine.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -S "$HBT_ENGINE_DEVICE" ] && break; sleep 0.1; done

trayer --edge top --align right --widthtype request --height 32 --SetDockType true --transparent false \
       --tint 0x2b3440 --expand true &
pids+=($!)
for _ in $(seq 100); do xdotool search --name '^panel$' >/dev/null 2>&1 && break; sleep 0.1; done

tray_geometry() {
  eval "$(xdotool getwindowgeometry --shell "$(xdotool search --name '^panel$' | head -1)")"
}
"$BUILD_DIR/ui/harbinet" >"$work/harbinet.log" 2>&1 &
harbinet=$!
pids+=($harbinet)
# Start-up is done once the log says the product is ON.
for _ in $(seq 100); do grep -q "Harbinet switched ON" "$HOME/Documents/Harbinet/Log.txt" 2>/dev/null && break; sleep 0.1; done
# and the icon is in the tray once the tray has grown around it.
for _ in $(seq 100); do tray_geometry; [ "$WIDTH" -gt 16 ] && break; sleep 0.1; done
sleep 0.5

mkdir -p "$OUT"
shot_root() {  # NAME X Y W H: a part of the screen
  xwd -root -silent | convert xwd:- -crop "$4x$5+$2+$3" +repage "$OUT/$1.png"
}
shot_window() {  # NAME WINDOW: one window (there is no window manager, so no frame)
  eval "$(xdotool getwindowgeometry --shell "$2")"
  shot_root "$1" "$X" "$Y" "$WIDTH" "$HEIGHT"
}

tray_geometry
shot_root tray "$X" 0 "$WIDTH" 32
convert "$OUT/tray.png" -filter point -resize 400% "$OUT/tray-zoomed.png"

menu_window() {  # the open menu: the one visible window of ours that no window manager would frame
  local w
  for w in $(xdotool search --onlyvisible --pid "$harbinet" 2>/dev/null || true); do
    if xwininfo -id "$w" | grep -q "Override Redirect State: yes"; then echo "$w"; return; fi
  done
}
open_menu() {
  tray_geometry
  xdotool mousemove $((X + WIDTH - 16)) 16 click 3
  for _ in $(seq 50); do [ -n "$(menu_window)" ] && break; sleep 0.1; done
  sleep 0.3
}
menu_shot() {
  shot_window "$1" "$(menu_window)"
  xdotool key Escape
  sleep 0.3
}
# New settings start in Best-Effort Mode.
open_menu; menu_shot tray-menu-best-effort
# Strict Mode from the menu: the title is disabled, so the second Down reaches it.
open_menu; xdotool key Down Down Return; sleep 0.8
open_menu; menu_shot tray-menu-strict

# The dialogs no command of the running program opens yet, from the gallery.
for what in about message-box icons log-window statistics host-prompt app-prompt update-notice out-of-date; do
  "$BUILD_DIR/tests/ui/harbinet_gallery" "$what" &
  gallery=$!
  for _ in $(seq 100); do w="$(xdotool search --onlyvisible --pid "$gallery" 2>/dev/null | head -1 || true)"; [ -n "$w" ] && break; sleep 0.1; done
  sleep 0.8
  shot_window "$what" "$w"
  kill "$gallery"; wait "$gallery" 2>/dev/null || true
done

# The Options dialog and the cipher suite dialogs, also at twice the size.
options_shot() {  # FILE SCENE SCALE
  QT_SCALE_FACTOR="$3" "$BUILD_DIR/tests/ui/harbinet_gallery" "$2" &
  local gallery=$! w=""
  for _ in $(seq 100); do w="$(xdotool search --onlyvisible --pid "$gallery" 2>/dev/null | head -1 || true)"; [ -n "$w" ] && break; sleep 0.1; done
  sleep 0.8
  shot_window "$1" "$w"
  kill "$gallery"; wait "$gallery" 2>/dev/null || true
}
for what in options cipher-suites add-cipher; do
  options_shot "$what" "$what" 1
  options_shot "$what-200" "$what" 2
done

# The crash reporter, as a crashed program starts it.
"$BUILD_DIR/ui/harbinet" --crash-report "$work/Harbinet.dmp" saved &
reporter=$!
for _ in $(seq 100); do w="$(xdotool search --onlyvisible --name '^Harbinet Crash Reporter$' 2>/dev/null | head -1 || true)"; [ -n "$w" ] && break; sleep 0.1; done
sleep 0.8
shot_window crash-report "$w"
kill "$reporter"; wait "$reporter" 2>/dev/null || true

# A second start shows the running instance's main dialog.
"$BUILD_DIR/ui/harbinet"
sleep 1
dialog="$(xdotool search --onlyvisible --name '^Harbinet$' | head -1)"
shot_window main-dialog-on "$dialog"
open_menu; xdotool key Down Return; sleep 1          # Turn Harbinet OFF
shot_window main-dialog-off "$dialog"
open_menu; xdotool key Down Return; sleep 1          # and ON again

open_menu; xdotool key Up Return               # E&xit
wait "$harbinet" || true
echo "screenshots in $OUT:"
ls "$OUT"
