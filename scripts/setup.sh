#!/usr/bin/env bash
# Installs every Debian package that building, running and testing Vetrix needs.
# Idempotent: when everything is present it does not touch apt at all.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  libopencv-dev opencv-data libjpeg-dev libpng-dev libtiff-dev libwebp-dev
  qt6-base-dev qt6-translations-l10n fonts-noto-cjk
  libgtest-dev libgmock-dev libbenchmark-dev nlohmann-json3-dev
  libboost-dev
  xvfb xdotool  # the window test on real X servers
)
if [[ "${1:-}" == "--extra" ]]; then
  # Screenshots, fuzzing, packaging (the .deb and its lintian check) and the service's load test.
  packages+=(xauth x11-apps imagemagick clang libclang-rt-14-dev dpkg-dev lintian wrk bc yamllint)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]} == 0)); then
  exit 0
fi

sudo=()
if [[ $(id -u) -ne 0 ]]; then
  sudo=(sudo)
fi
echo "Installing: ${missing[*]}" >&2
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
