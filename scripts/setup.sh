#!/usr/bin/env bash
# Installs every Debian package that building, running and testing Vetrix needs.
# Idempotent: when everything is present it does not touch apt at all.
#   --extra  also what screenshots, fuzzing, packaging, the container image and the OpenAPI
#            checks need
#   --web    also what the web build and its browser test need: emscripten, chromium, node,
#            Debian's source entries (for the libraries built for WebAssembly) and the npm
#            packages of web/ (installed with npm ci from the committed lock file)
#   --windows also what the Windows build needs: the mingw-w64 cross compilers, Wine to run and
#            test it, NSIS for the installer, Debian's source entries (for the libraries built
#            for Windows) and GoogleTest's sources
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  cmake ninja-build g++ pkg-config
  libopencv-dev opencv-data libjpeg-dev libpng-dev libtiff-dev libwebp-dev
  qt6-base-dev qt6-translations-l10n fonts-noto-cjk
  libgtest-dev libgmock-dev libbenchmark-dev nlohmann-json3-dev
  libboost-dev libsodium-dev
  xvfb xdotool  # the window test on real X servers
)
web=0
windows=0
for arg in "$@"; do
  case "$arg" in
    --extra)
      # Screenshots, fuzzing, packaging (the .deb and its lintian check) and the service's
      # load and flood benchmarks (wrk, ab from apache2-utils, cjpeg from libjpeg-turbo-progs).
      packages+=(xauth x11-apps imagemagick clang libclang-rt-14-dev dpkg-dev lintian wrk bc
                 yamllint python3-yaml apache2-utils libjpeg-turbo-progs)
      # The container image (mmdebstrap, buildah; podman mounts it for its test, curl asks it)
      # and the OpenAPI checks (node and npm run tools/openapi).
      packages+=(mmdebstrap buildah podman uidmap curl)
      command -v node >/dev/null || packages+=(nodejs)
      command -v npm >/dev/null || packages+=(npm) ;;
    --web)
      web=1
      packages+=(emscripten chromium nodejs dpkg-dev libjpeg-dev libpng-dev zlib1g-dev)
      # Debian's nodejs comes without npm; a node from elsewhere may bring its own.
      if ! command -v npm >/dev/null; then
        packages+=(npm)
      fi ;;
    --windows)
      windows=1
      packages+=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix wine64 wine nsis zip unzip
                 dpkg-dev googletest python3 qt6-base-dev-tools xvfb xdotool x11-apps imagemagick) ;;
    *)
      echo "usage: $0 [--extra] [--web] [--windows]" >&2
      exit 2 ;;
  esac
done

sudo=()
if [[ $(id -u) -ne 0 ]]; then
  sudo=(sudo)
fi

# The web build compiles Debian's own sources of its libraries, fetched with apt-get source,
# which needs a deb-src entry beside each Debian deb entry: same hosts, same suites.
add_source_entries() {
  local changed=0 f tmp
  shopt -s nullglob
  for f in /etc/apt/sources.list.d/*.sources; do
    tmp=$(mktemp)
    perl -00 -pe 'if (/^URIs:.*debian/mi && /^Types:.*\bdeb\b/mi && !/^Types:.*deb-src/mi) {
                    s/^(Types:.*)$/$1 deb-src/mi }' "$f" >"$tmp"
    if ! cmp -s "$f" "$tmp"; then
      "${sudo[@]}" cp "$tmp" "$f"
      changed=1
    fi
    rm -f "$tmp"
  done
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [[ -f "$f" ]] || continue
    tmp=$(mktemp)
    awk '{ print }
         /^deb[ \t]/ && $0 ~ /debian/ { src = $0; sub(/^deb/, "deb-src", src); want[src] = 1 }
         /^deb-src[ \t]/ { have[$0] = 1 }
         END { for (s in want) if (!(s in have)) print s }' "$f" >"$tmp"
    if ! cmp -s "$f" "$tmp"; then
      "${sudo[@]}" cp "$tmp" "$f"
      changed=1
    fi
    rm -f "$tmp"
  done
  shopt -u nullglob
  if ((changed)); then
    echo "Added deb-src entries beside the Debian deb entries" >&2
    "${sudo[@]}" apt-get update -qq
  fi
}

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]} > 0)); then
  echo "Installing: ${missing[*]}" >&2
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}"
fi

if ((windows)); then
  add_source_entries
fi

if ((web)); then
  add_source_entries
  # puppeteer-core drives Debian's chromium; no browser is ever downloaded.
  if ! cmp -s web/package-lock.json web/node_modules/.vetrix-installed-lock 2>/dev/null; then
    (cd web && PUPPETEER_SKIP_DOWNLOAD=1 npm ci --no-audit --no-fund --loglevel=error &&
       cp package-lock.json node_modules/.vetrix-installed-lock)
  fi
fi
