#!/usr/bin/env bash
# Takes the README's screenshots of the window under Xvfb: idle, a passed photo and a photo
# rejected for its background. Needs `scripts/setup.sh --extra` and xdotool.
set -euo pipefail
cd "$(dirname "$0")/.."
out=docs/screenshots
work=$(mktemp -d)
display=:93

Xvfb "$display" -screen 0 1024x768x24 >/dev/null 2>&1 &
xvfb=$!
trap 'kill "$vetrix" "$xvfb" 2>/dev/null; rm -rf "$work"' EXIT
export DISPLAY=$display
sleep 1
(cd "$work" && exec "$OLDPWD/build/bin/vetrix") &
vetrix=$!
sleep 2

shot() { xwd -root -silent | convert xwd:- -crop 800x600+0+0 "$out/$1"; }
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
