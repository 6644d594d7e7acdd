#!/usr/bin/env bash
# Builds the web front end with emscripten:
#   build-web/site/                the static site (page, script, worker, engines, pictures, cascade)
#   build-web/bin/vetrix-audit.js  the command-line audit for node, on the scalar engine
# The site carries one engine per variant (see web/Variant.cmake): scalar (everywhere) and
# simd-threads (chosen by the page where the browser offers SIMD and shared memory); simd alone
# bought nothing measurable, so it is built only on request, for the benchmark of the levers:
# VETRIX_WEB_VARIANTS="scalar simd simd-threads". The variants other than
# scalar are built first, each in build-web-VARIANT/ (its engine, and its own node command for
# the identity tests). VETRIX_WEB_VARIANTS="scalar" builds the scalar site alone.
# The first run also builds OpenCV and its image libraries for WebAssembly from Debian's
# sources for each variant (see scripts/build-web-deps.sh); later runs reuse them from the cache.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh --web
read -r -a variants <<<"${VETRIX_WEB_VARIANTS:-scalar simd-threads}"

export NODE_PATH=/usr/share/nodejs  # emcc needs Debian's node-acorn
# emcc runs under Debian's python, not one that a version manager put first in PATH.
[[ -x /usr/bin/python3 ]] && export EMSDK_PYTHON=/usr/bin/python3
# The shared compiler cache does not know emcc.
unset CMAKE_C_COMPILER_LAUNCHER CMAKE_CXX_COMPILER_LAUNCHER
jobs=${VETRIX_JOBS:-2}

# The libraries built for WebAssembly are found under their prefix (OpenCV through its CMake
# package, libjpeg, libpng and zlib through CMake's own modules).
more_engines=()
for variant in "${variants[@]}"; do
  [[ "$variant" == scalar ]] && continue
  prefix=$(scripts/build-web-deps.sh "$variant")
  cmake --preset web -B "build-web-$variant" -DVETRIX_WEB_VARIANT="$variant" \
    -DCMAKE_FIND_ROOT_PATH="$prefix" >/dev/null
  cmake --build "build-web-$variant" -j "$jobs" --target vetrix-engine vetrix-audit-js
  more_engines+=("$PWD/build-web-$variant/engine-web/vetrix-engine-$variant.js")
done
prefix=$(scripts/build-web-deps.sh scalar)
cmake --preset web -DVETRIX_WEB_VARIANT=scalar -DCMAKE_FIND_ROOT_PATH="$prefix" \
  -DVETRIX_WEB_MORE_ENGINES="$(IFS=';'; echo "${more_engines[*]}")" >/dev/null
cmake --build --preset web -j "$jobs"
echo "build-web: the site is in build-web/site, the command is build-web/bin/vetrix-audit.js" >&2
