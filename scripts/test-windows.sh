#!/usr/bin/env bash
# Tests the Windows build under Wine, against the Linux build where they must agree:
#   audit    vetrix-audit.exe --json --save on the example photos, under names with Chinese
#            characters and spaces, walking a folder with --jobs 2, and one photo by name: the
#            same records (keys, values, exit status) and the same saved bytes as vetrix-audit
#   units    the engine's and the platform's tests, cross-built (build-windows/bin/*_test.exe)
#   window   vetrix.exe on Xvfb: 800 x 600 at (0,0), the idle picture pixel for pixel as the
#            Linux window's; a passing photo opened through the chooser shows the expected
#            frame, is saved through the chooser with the expected bytes; Test.log has its lines
#            (VETRIX_SCREENSHOT=FILE keeps the window's picture after the pass)
#   packages the zip unpacks and runs; the installer installs for the user and its uninstaller
#            removes everything again, both silently (/S)
#
#     scripts/test-windows.sh [PART...]      (default: all parts; build first with
#                                             scripts/build-windows.sh)
#
# The Linux programs come from build/bin (VETRIX_LINUX_BIN overrides). Each run uses a fresh
# Wine prefix in a temporary folder.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
win=$root/build-windows
linux=${VETRIX_LINUX_BIN:-$root/build/bin}
parts=("$@")
((${#parts[@]})) || parts=(audit units window packages)

work=$(mktemp -d)
children=()
cleanup() {
  local pid
  for pid in "${children[@]}"; do kill "$pid" 2>/dev/null || true; done
  WINEPREFIX=$work/prefix wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# Wine takes a Unix path by its drive Z:.
winpath() { echo "Z:${1//\//\\}"; }

started=$SECONDS
wineboot -i >/dev/null 2>&1
wineserver -w
echo "Wine prefix ready in $((SECONDS - started)) s"

# The example photos, some under names outside any single-byte code page and with spaces.
photos="$work/照片 集"
mkdir -p "$photos/子 文件夹"
for photo in tests/data/*.jpg; do
  name=$(basename "$photo")
  case "$name" in
    pass_*) cp "$photo" "$photos/子 文件夹/证件照 $name" ;;
    bg_*) cp "$photo" "$photos/背景 $name" ;;
    *) cp "$photo" "$photos/$name" ;;
  esac
done

# One record per line with the path separators of each system made alike; keys sorted.
normalise() { jq -cS '(.file, .saved) |= (if type == "string" then gsub("\\\\"; "/") else . end)'; }

test_audit() {
  echo "== audit"
  [[ -x "$linux/vetrix-audit" ]] || fail "no Linux build at $linux (cmake --build --preset dev)"
  mkdir "$work/saved-linux" "$work/saved-windows"
  cd "$work"
  local linux_status=0 windows_status=0
  "$linux/vetrix-audit" --json --jobs 2 --save saved-linux "照片 集" >linux.jsonl 2>/dev/null ||
    linux_status=$?
  wine "$win/bin/vetrix-audit.exe" --json --jobs 2 --save saved-windows "照片 集" \
    >windows.jsonl 2>windows.err || windows_status=$?
  [[ $linux_status == "$windows_status" ]] ||
    fail "exit status $windows_status under Wine, $linux_status on Linux: $(cat windows.err)"
  sed 's/saved-linux/saved-windows/' linux.jsonl | normalise >linux.norm
  normalise <windows.jsonl >windows.norm
  diff -u linux.norm windows.norm || fail "the records differ"
  [[ $(wc -l <windows.norm) == $(find "照片 集" -name '*.jpg' | wc -l) ]] ||
    fail "not every photo has a record"
  grep -q '子 文件夹/证件照 pass_' windows.norm ||
    fail "the Chinese names are missing from the records"
  diff -r saved-linux saved-windows || fail "the saved photos differ"
  [[ $(ls saved-windows | wc -l) -ge 4 ]] || fail "too few photos saved: $(ls saved-windows)"
  echo "$(wc -l <windows.norm) records and $(ls saved-windows | wc -l) saved photos agree"

  # One photo by name, and the run log: the same line after the time stamp, CRLF kept.
  local one="照片 集/子 文件夹/证件照 pass_red_test4_240x320.jpg"
  "$linux/vetrix-audit" --log linux.log "$one" >linux.txt 2>/dev/null || fail "Linux: $?"
  wine "$win/bin/vetrix-audit.exe" --log windows.log "$one" >windows.txt 2>/dev/null ||
    fail "Windows: exit status $?"
  [[ $(tr '\\' / <windows.txt) == "$(cat linux.txt)" ]] ||
    fail "text records differ: $(cat windows.txt) / $(cat linux.txt)"
  cmp <(cut -f2- linux.log) <(cut -f2- windows.log) || fail "log lines differ"
  echo "one photo by name, text record and log line agree"
  cd "$root"
}

test_units() {
  echo "== units"
  local test
  for test in audit_test framing_test export_test platform_win_test; do
    wine "$win/bin/$test.exe" --gtest_brief=1 >"$work/$test.log" 2>&1 ||
      { cat "$work/$test.log"; fail "$test"; }
    tail -n 1 "$work/$test.log"
  done
}

# shellcheck source=tests/x-display.sh
source "$root/tests/x-display.sh"

# Waits until no visible window matches $1.
wait_gone() {
  local deadline=$((SECONDS + 60))
  while ((SECONDS < deadline)); do
    xdotool search --onlyvisible --name "$1" >/dev/null 2>&1 || return 0
    sleep 0.2
  done
  return 1
}

# Waits until file $1 holds a line matching $2.
wait_line() {
  local deadline=$((SECONDS + 60))
  while ((SECONDS < deadline)); do
    grep -q "$2" "$1" 2>/dev/null && return 0
    sleep 0.2
  done
  return 1
}

# Writes the window $1's picture to $2 (PNG).
grab() { xwd -silent -id "$1" | convert xwd:- "png:$2"; }

# The number of pixels that differ between two pictures.
differing() { compare -metric AE "$1" "$2" null: 2>&1 || true; }

# Clicks the point ($2, $3) of window $1.
click() { xdotool mousemove --window "$1" "$2" "$3" click 1; }

test_window() {
  echo "== window"
  [[ -x "$linux/vetrix" ]] || fail "no Linux window at $linux/vetrix"
  # Both windows on the X server at their own scale (Wine's Qt takes no X platform anyway).
  unset QT_QPA_PLATFORM QT_SCALE_FACTOR QT_SCREEN_SCALE_FACTORS QT_ENABLE_HIGHDPI_SCALING
  start_x 1024x768
  mkdir "$work/linux-run" "$work/windows-run" "$work/window-photos"
  # The chooser is typed into: names the X keyboard has keys for. (Names in other scripts are
  # the audit part's.)
  local photo=$work/window-photos/pass_red_test4_240x320.jpg
  cp tests/data/pass_red_test4_240x320.jpg "$photo"

  # The Linux window's idle picture, the reference. The exit button is at 520,276 (197 x 48).
  (cd "$work/linux-run" && QT_QPA_PLATFORM=xcb exec "$linux/vetrix") &
  children+=($!)
  local window
  window=$(wait_window '^Vetrix$') || fail "no Linux window"
  grab "$window" "$work/idle-linux.png"
  click "$window" 618 300
  wait_gone '^Vetrix$' || fail "the Linux window did not close"

  (cd "$work/windows-run" && exec wine "$win/bin/vetrix.exe") &
  children+=($!)
  window=$(wait_window '^Vetrix$') || fail "no window under Wine"
  eval "$(xdotool getwindowgeometry --shell "$window")"
  [[ "$X,$Y ${WIDTH}x$HEIGHT" == "0,0 800x600" ]] ||
    fail "the window is ${WIDTH}x$HEIGHT at $X,$Y"
  wait_line "$work/windows-run/Test.log" '系统启动' || fail "no start-up line in Test.log"
  # The first paint may come after the window is mapped: wait for the picture to settle.
  local differ deadline=$((SECONDS + 30))
  while :; do
    grab "$window" "$work/idle-windows.png"
    differ=$(differing "$work/idle-linux.png" "$work/idle-windows.png")
    [[ $differ == 0 ]] && break
    ((SECONDS < deadline)) || fail "the idle picture differs from Linux's in $differ pixels"
    sleep 0.2
  done
  echo "idle picture: identical to the Linux window's"

  # Open the photo through the chooser (the open button at 520,100).
  click "$window" 618 124
  local chooser
  chooser=$(wait_window '打开照片') || fail "no open chooser"
  xdotool windowfocus --sync "$chooser"
  xdotool type --delay 20 "$(winpath "$photo")"
  xdotool key Return
  wait_gone '打开照片' || fail "the open chooser stayed"
  wait_line "$work/windows-run/Test.log" 'pass_red_test4_240x320.jpg' ||
    fail "no verdict line in Test.log: $(cat "$work/windows-run/Test.log")"
  grep -q 'pass_red_test4_240x320.jpg图像审核成功！' "$work/windows-run/Test.log" ||
    fail "not passed: $(cat "$work/windows-run/Test.log")"
  # The frame comes with the next paint after the verdict.
  deadline=$((SECONDS + 30))
  while :; do
    grab "$window" "$work/passed-windows.png"
    convert "$work/passed-windows.png" -crop 177x228+280+83 +repage "$work/frame.png"
    differ=$(differing "$work/frame.png" \
               tests/data/expected-window/passed_frame_pass_red_test4_240x320.png)
    [[ $differ == 0 ]] && break
    ((SECONDS < deadline)) || fail "the Passed frame differs in $differ pixels"
    sleep 0.2
  done
  echo "Passed frame: identical to the expected picture"
  cp "$work/passed-windows.png" "$work/screenshot.png"

  # Save it through the chooser (the save button at 520,188).
  click "$window" 618 212
  chooser=$(wait_window '保存照片') || fail "no save chooser"
  xdotool windowfocus --sync "$chooser"
  # Over the name offered (报名照片.jpg): Wine's edit box takes no Ctrl+A.
  xdotool key End shift+Home
  xdotool type --delay 20 "$(winpath "$work/windows-run/saved photo.jpg")"
  xdotool key Return
  wait_gone '保存照片' || fail "the save chooser stayed"
  deadline=$((SECONDS + 30))
  until [[ -s "$work/windows-run/saved photo.jpg" ]]; do
    ((SECONDS < deadline)) || fail "nothing saved"
    sleep 0.2
  done
  cmp "$work/windows-run/saved photo.jpg" tests/data/expected-saved/pass_red_test4_240x320.jpg ||
    fail "the saved bytes differ"
  echo "saved photo: the expected bytes"

  click "$window" 618 300
  wait_gone '^Vetrix$' || fail "the window did not close"
  [[ $(grep -c $'\r$' "$work/windows-run/Test.log") == 2 ]] ||
    fail "Test.log's lines do not end in CRLF: $(od -c "$work/windows-run/Test.log" | tail -n 3)"
  echo "Test.log: the start-up and the verdict, in CRLF lines"
  [[ -z "${VETRIX_SCREENSHOT:-}" ]] || cp "$work/screenshot.png" "$VETRIX_SCREENSHOT"
}

# The files under drive C: but for Wine's own churn (temporary files, its registry files).
drive_files() {
  (cd "$WINEPREFIX/drive_c" && find . -path ./users/*/Temp -prune -o -path ./windows -prune \
    -o -print | sort)
}

test_packages() {
  echo "== packages"
  local zip setup
  zip=$(ls "$win"/vetrix-*-win64.zip)
  setup=$(ls "$win"/vetrix-*-setup.exe)
  wineserver -w
  # Windows knows %LOCALAPPDATA%\Programs (FOLDERID_UserProgramFiles) for every user; a fresh
  # Wine prefix has not made it yet.
  local local_data
  for local_data in "$WINEPREFIX"/drive_c/users/*/AppData/Local; do
    mkdir -p "$local_data/Programs"
  done
  drive_files >"$work/before"

  # The zip: unpack anywhere, run, delete the folder.
  mkdir "$work/unzipped"
  unzip -q "$zip" -d "$work/unzipped"
  local folder
  folder=$(ls -d "$work"/unzipped/vetrix-*-win64)
  for file in vetrix.exe vetrix-audit.exe haarcascade_frontalface_alt2.xml README.txt \
              licences/NOTICE.txt; do
    [[ -f "$folder/$file" ]] || fail "the zip lacks $file"
  done
  (cd "$work" && wine "$folder/vetrix-audit.exe" "照片 集/子 文件夹/证件照 pass_red_test2_295x413.jpg" 2>/dev/null) |
    grep -q $'\tPassed\t' || fail "the unzipped vetrix-audit.exe does not pass the photo"
  rm -rf "$work/unzipped"

  # The installer, for this user only.
  wine "$setup" /S
  wineserver -w
  local programs
  programs=$(ls -d "$WINEPREFIX"/drive_c/users/*/AppData/Local/Programs/Vetrix)
  for file in vetrix.exe vetrix-audit.exe haarcascade_frontalface_alt2.xml uninstall.exe; do
    [[ -f "$programs/$file" ]] || fail "not installed: $file"
  done
  ls "$WINEPREFIX"/drive_c/users/*/AppData/Roaming/Microsoft/Windows/Start\ Menu/Programs/Vetrix.lnk \
    >/dev/null || fail "no Start-menu entry"
  wine reg query 'HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Vetrix' >/dev/null ||
    fail "no uninstall entry"
  (cd "$work" && wine "$programs/vetrix-audit.exe" "照片 集/子 文件夹/证件照 pass_red_test2_295x413.jpg" 2>/dev/null) |
    grep -q $'\tPassed\t' || fail "the installed vetrix-audit.exe does not pass the photo"
  echo "installed in $(winpath "$programs")"

  wine "$programs/uninstall.exe" /S
  wineserver -w
  ! wine reg query 'HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Vetrix' \
    >/dev/null 2>&1 || fail "the uninstall entry stayed"
  drive_files >"$work/after"
  diff "$work/before" "$work/after" || fail "the uninstall left files behind"
  echo "the zip and the installer leave nothing behind"
}

for part in "${parts[@]}"; do
  case "$part" in
    audit | units | window | packages) "test_$part" ;;
    *) fail "no such part: $part (audit, units, window, packages)" ;;
  esac
done
echo "passed"
