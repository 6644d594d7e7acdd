#!/usr/bin/env bash
# Takes the README's screenshots of the window under Xvfb: idle, a passed photo, a photo
# rejected for its background and one rejected for its framing, with the hint shown beside the
# verdict; and the annotated copy that vetrix-audit --annotate makes of the latter. Needs
# `scripts/setup.sh --extra` and xdotool.
set -euo pipefail
cd "$(dirname "$0")/.."
out=docs/screenshots
work=$(mktemp -d)
display=${VETRIX_SHOT_DISPLAY:-:93}

Xvfb "$display" -screen 0 1024x768x24 >/dev/null 2>&1 &
xvfb=$!
trap 'kill "$vetrix" "$xvfb" 2>/dev/null; rm -rf "$work"' EXIT
export DISPLAY=$display
sleep 1
(cd "$work" && exec "$OLDPWD/build/bin/vetrix") &
vetrix=$!
sleep 2

# import rather than xwd: xwd shows the hint's popup, a window with an alpha channel, as black.
shot() { import -window root -crop 800x600+0+0 +repage "$out/$1"; }
open_photo() {
  xdotool mousemove 618 124 click 1
  sleep 2
  xdotool type --delay 20 "$PWD/tests/data/$1"
  xdotool key Return
  sleep 2
}

shot idle.png
open_photo pass_white_test1_358x441.jpg
shot passed.png
open_photo bg_green_test3.jpg
shot bad-background.png
open_photo prop_face_low_white_test4.jpg
shot hint.png

build/bin/vetrix-audit --annotate "$work" tests/data/prop_face_low_white_test4.jpg >/dev/null 2>&1 || true
cp "$work/prop_face_low_white_test4.png" "$out/annotated-low-face.png"
