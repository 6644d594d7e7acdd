#!/usr/bin/env bash
# The window on real X servers (Xvfb) whose screens are small for the desktop's scale:
# - 1280 x 1024 at 200 %: the window starts at 150 %, 1200 x 900 device pixels, and logs its
#   start once;
# - 640 x 480 at 100 %: the message, then the program ends without starting (no run log).
#
#     tests/window_scale_test.sh build/bin/vetrix
#
# Exits 77 (skipped) when Xvfb or xdotool is not installed.
set -euo pipefail
vetrix=$(realpath "$1")
if ! command -v Xvfb >/dev/null || ! command -v xdotool >/dev/null; then
  echo "Xvfb or xdotool is not installed: skipped"
  exit 77
fi

work=$(mktemp -d)
children=()
cleanup() {
  for pid in "${children[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# shellcheck source=tests/x-display.sh
source "$(dirname "$(realpath "$0")")/x-display.sh"

export QT_QPA_PLATFORM=xcb
# Under LeakSanitizer: the D-Bus library that Qt's X11 platform loads keeps a buffer to the end.
export LSAN_OPTIONS="suppressions=$(dirname "$(realpath "$0")")/lsan_x11.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
mkdir "$work/run"
cd "$work/run"

echo "1280 x 1024 at 200 %"
start_x 1280x1024
QT_SCALE_FACTOR=2 "$vetrix" &
app=$!
children+=("$app")
window=$(wait_window '^Vetrix$') || fail "no window"
eval "$(xdotool getwindowgeometry --shell "$window")"
[[ "${WIDTH}x${HEIGHT}" == 1200x900 ]] || fail "window of ${WIDTH}x${HEIGHT} device pixels"
[[ $(grep -c '系统启动' Test.log) == 1 ]] || fail "the start-up is not logged once: $(cat Test.log)"
xdotool windowfocus --sync "$window" key Escape
wait "$app" || fail "exit code $?"
rm Test.log

echo "640 x 480 at 100 %"
start_x 640x480
"$vetrix" &
app=$!
children+=("$app")
box=$(wait_window '^Vetrix$') || fail "no message"
eval "$(xdotool getwindowgeometry --shell "$box")"
[[ "${WIDTH}x${HEIGHT}" != 800x600 ]] || fail "the main window opened"
xdotool windowfocus --sync "$box" key Return
wait "$app" || fail "exit code $?"
[[ ! -e Test.log ]] || fail "the run log was written: $(cat Test.log)"
echo "passed"
