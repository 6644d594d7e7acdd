#!/usr/bin/env bash
# Sets up, builds and starts Vetrix. Without a display it audits the example photos with
# vetrix-audit instead. With --web it builds the web page and serves it on 127.0.0.1. With
# --windows it cross-builds the Windows programs and starts vetrix.exe under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

if [[ "${1:-}" == "--web" ]]; then
  scripts/build-web.sh
  port=${VETRIX_WEB_PORT:-8000}
  echo "Vetrix in the browser: http://127.0.0.1:$port/ (Ctrl-C stops the server)" >&2
  # The headers of cross-origin isolation let the page run its threads engine.
  exec python3 scripts/serve-site.py "$port" build-web/site
fi

if [[ "${1:-}" == "--windows" ]]; then
  shift
  scripts/build-windows.sh --no-packages
  export WINEDEBUG=${WINEDEBUG:--all}
  if [[ -n "${DISPLAY:-}" ]]; then
    exec wine build-windows/bin/vetrix.exe "$@"
  fi
  echo "No display found (DISPLAY is unset): auditing the example photos with" \
       "vetrix-audit.exe under Wine instead." >&2
  status=0
  wine build-windows/bin/vetrix-audit.exe tests/data || status=$?
  [[ $status -le 1 ]]
  exit 0
fi

scripts/setup.sh
cmake --preset dev >/dev/null
cmake --build --preset dev

if [[ -n "${DISPLAY:-}" || -n "${WAYLAND_DISPLAY:-}" ]]; then
  exec build/bin/vetrix "$@"
fi
echo "No display found (DISPLAY and WAYLAND_DISPLAY are unset): auditing the example photos" \
     "with build/bin/vetrix-audit instead." >&2
status=0
build/bin/vetrix-audit tests/data/*.jpg || status=$?
# 1 only says that some example photos were rejected, as several are meant to be.
[[ $status -le 1 ]]
