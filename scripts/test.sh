#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite: the native tests, then the web build's tests
# (the WebAssembly engine against the native one, and the page in headless chromium).
#   --asan    the native build and tests under AddressSanitizer and UndefinedBehaviorSanitizer
#   --native  the native tests only
set -euo pipefail
cd "$(dirname "$0")/.."

preset=dev
web=1
for arg in "$@"; do
  case "$arg" in
    --asan) preset=asan; web=0 ;;
    --native) web=0 ;;
    *) echo "usage: $0 [--asan] [--native]" >&2; exit 2 ;;
  esac
done

scripts/setup.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
ctest --preset "$preset"

if ((web)); then
  scripts/build-web.sh
  node --test web/test/site.test.mjs web/test/identity.test.mjs web/test/browser.test.mjs \
    web/test/engines.test.mjs web/test/camera.test.mjs
fi
