#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite: the native tests, then the web build's tests
# (the WebAssembly engines against the native one, and the page in headless chromium), then the
# Windows build's tests under Wine (scripts/test-windows.sh: the same verdicts and bytes, the
# engine's tests, the window, the packages). A cold first run also builds OpenCV for WebAssembly
# and Qt with OpenCV for Windows from Debian's sources, which takes about an hour of two cores;
# later runs take them from the cache.
#   --asan    the native build and tests under AddressSanitizer and UndefinedBehaviorSanitizer
#   --native  the native tests only
set -euo pipefail
cd "$(dirname "$0")/.."

preset=dev
others=1
for arg in "$@"; do
  case "$arg" in
    --asan) preset=asan; others=0 ;;
    --native) others=0 ;;
    *) echo "usage: $0 [--asan] [--native]" >&2; exit 2 ;;
  esac
done

scripts/setup.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
ctest --preset "$preset"

if ((others)); then
  scripts/build-web.sh
  node --test web/test/site.test.mjs web/test/identity.test.mjs web/test/browser.test.mjs \
    web/test/engines.test.mjs web/test/camera.test.mjs
  scripts/build-windows.sh
  scripts/test-windows.sh
fi
