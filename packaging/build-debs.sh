#!/usr/bin/env bash
# Builds the Debian packages (vetrix, vetrix-audit, vetrix-serve, and vetrix-site when the web
# page was built into build-web/site) with the release preset and Debian's hardening flags, into
# build-release/debs/, and prints their paths. Uses ccache when it is installed.
set -euo pipefail
cd "$(dirname "$0")/.."

if command -v ccache >/dev/null; then
  export CMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER:-ccache}
  export CMAKE_C_COMPILER_LAUNCHER=${CMAKE_C_COMPILER_LAUNCHER:-ccache}
fi
# Debian's build flags with every hardening feature (stack protector, fortified functions, a
# read-only GOT bound at start), as a Debian package build would set them.
buildflags() { DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get "$1"; }
cmake --preset release \
  -DCMAKE_CXX_FLAGS="$(buildflags CPPFLAGS) $(buildflags CXXFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(buildflags LDFLAGS)" >/dev/null
nice -n 10 cmake --build --preset release -j 2 >&2
rm -rf build-release/debs
(cd build-release && cpack -B "$PWD/debs" >/dev/null)
rm -rf build-release/debs/_CPack_Packages
ls "$PWD"/build-release/debs/*.deb
