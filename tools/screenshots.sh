#!/usr/bin/env bash
# Takes the README's screenshots of the window under Xvfb: idle, a passed photo, a photo
# rejected for its background and one rejected for its framing with the hint shown beside the
# verdict, at 100 %; idle and the passed photo again on a desktop scaled to 200 %; and the
# annotated copy that vetrix-audit --annotate makes of the framing rejection. Needs
# `scripts/setup.sh --extra` and xdotool.
set -euo pipefail
cd "$(dirname "$0")/.."
out=docs/screenshots
work=$(mktemp -d)
children=()
trap 'kill "${children[@]}" 2>/dev/null; rm -rf "$work"' EXIT

# One X server and one window: $1 display, $2 screen size, $3 scale factor.
start() {
  Xvfb "$1" -screen 0 "$2x24" >/dev/null 2>&1 &
  children+=($!)
  export DISPLAY=$1
  sleep 1
  (cd "$work" && QT_SCALE_FACTOR=$3 exec "$OLDPWD/build/bin/vetrix") &
  children+=($!)
  xdotool search --sync --onlyvisible --name '^Vetrix$' >/dev/null
  sleep 1
  scale=$3
}

# import rather than xwd: xwd shows the hint's popup, a window with an alpha channel, as black.
shot() {
  local size
  size=$(awk -v s="$scale" 'BEGIN { printf "%dx%d", 800 * s, 600 * s }')
  import -window root -crop "$size+0+0" +repage "$out/$1"
}

open_photo() {
  # The middle of the open button, in device pixels.
  xdotool mousemove "$(awk -v s="$scale" 'BEGIN { print int(618 * s) }')" \
    "$(awk -v s="$scale" 'BEGIN { print int(124 * s) }')" click 1
  sleep 2
  xdotool type --delay 20 "$PWD/tests/data/$1"
  xdotool key Return
  sleep 2
}

start :93 1024x768 1
shot idle.png
open_photo pass_white_test1_358x441.jpg
shot passed.png
open_photo bg_green_test3.jpg
shot bad-background.png
open_photo prop_face_low_white_test4.jpg
shot hint.png

start :94 1600x1200 2
shot idle-200.png
open_photo pass_white_test1_358x441.jpg
shot passed-200.png

build/bin/vetrix-audit --annotate "$work" tests/data/prop_face_low_white_test4.jpg >/dev/null 2>&1 || true
cp "$work/prop_face_low_white_test4.png" "$out/annotated-low-face.png"
