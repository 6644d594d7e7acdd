#!/usr/bin/env bash
# Installs every Debian package that building, running and testing Vetrix needs.
# Idempotent: when everything is present it does not touch apt at all.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  libopencv-dev opencv-data libjpeg-dev libpng-dev
  qt6-base-dev qt6-translations-l10n fonts-noto-cjk
  libgtest-dev libgmock-dev libbenchmark-dev
)
if [[ "${1:-}" == "--extra" ]]; then
  # Screenshots, fuzzing and packaging only.
  packages+=(xvfb xauth x11-apps xdotool imagemagick clang libclang-rt-14-dev dpkg-dev)
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
