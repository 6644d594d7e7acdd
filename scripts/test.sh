#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite. With --asan the build and the tests run under
# AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

preset=dev
if [[ "${1:-}" == "--asan" ]]; then
  preset=asan
fi

scripts/setup.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
ctest --preset "$preset"
