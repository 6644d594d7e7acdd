# shellcheck shell=bash disable=SC2154  # work, children and fail are the caller's
# An X server for the window tests, and waiting for a window on it. Sourced by the tests that
# drive a window with xdotool; the caller defines `work` (a temporary folder), `children` (the
# processes its clean-up ends) and `fail`.

# Starts an X server with a screen of $1 (WIDTHxHEIGHT) and sets DISPLAY once it is ready:
# Xvfb writes its display number to the pipe when it accepts clients.
start_x() {
  rm -f "$work/display"
  mkfifo "$work/display"
  Xvfb -displayfd 3 -screen 0 "$1x24" -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
  children+=($!)
  local number
  read -r -t 30 number <"$work/display" || fail "Xvfb did not start"
  export DISPLAY=":$number"
}

# Waits up to 60 seconds for a visible top-level window whose name matches $1 and prints its
# id. xdotool gives up when a window vanishes while it looks at it (a program's first windows
# may), so it is asked again.
wait_window() {
  local id deadline=$((SECONDS + 60))
  while ((SECONDS < deadline)); do
    id=$(timeout 60 xdotool search --sync --onlyvisible --name "$1" 2>/dev/null | head -n 1)
    if [[ -n "$id" ]]; then
      echo "$id"
      return 0
    fi
  done
  return 1
}
