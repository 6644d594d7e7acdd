#!/usr/bin/env bash
# Builds the web front end with emscripten:
#   build-web/site/                the static site (page, script, worker, engine, pictures, cascade)
#   build-web/bin/vetrix-audit.js  the command-line audit for node, on the same engine
# The first run also builds OpenCV and its image libraries for WebAssembly from Debian's
# sources (see scripts/build-web-deps.sh); later runs reuse them from the cache.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh --web
prefix=$(scripts/build-web-deps.sh)

export NODE_PATH=/usr/share/nodejs  # emcc needs Debian's node-acorn
# emcc runs under Debian's python, not one that a version manager put first in PATH.
[[ -x /usr/bin/python3 ]] && export EMSDK_PYTHON=/usr/bin/python3
# The shared compiler cache does not know emcc.
unset CMAKE_C_COMPILER_LAUNCHER CMAKE_CXX_COMPILER_LAUNCHER
# The libraries built for WebAssembly are found under their prefix (OpenCV through its CMake
# package, libjpeg, libpng and zlib through CMake's own modules).
cmake --preset web -DCMAKE_FIND_ROOT_PATH="$prefix" >/dev/null
cmake --build --preset web
echo "build-web: the site is in build-web/site, the command is build-web/bin/vetrix-audit.js" >&2
