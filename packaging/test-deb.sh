#!/usr/bin/env bash
# Builds the Debian package and installs it into a fresh minimal Debian 12 made with
# debootstrap, then starts both programs there. Needs root, debootstrap and the network to
# Debian's mirror.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset release >/dev/null
cmake --build --preset release
(cd build-release && cpack >/dev/null)
deb=$(ls build-release/vetrix_*_amd64.deb | tail -n 1)

root=$(mktemp -d)
trap 'umount "$root/proc" 2>/dev/null || true; rm -rf "$root"' EXIT
debootstrap --variant=minbase bookworm "$root" http://deb.debian.org/debian >/dev/null
cp /etc/resolv.conf "$root/etc/"
mount --bind /proc "$root/proc"
cp "$deb" tests/data/pass_red_test2_295x413.jpg "$root/tmp/"
chroot "$root" /bin/bash -euc '
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "/tmp/$(basename "$1")" >/dev/null
  cd /tmp
  vetrix-audit pass_red_test2_295x413.jpg
  status=0
  QT_QPA_PLATFORM=offscreen timeout 5 vetrix || status=$?
  [[ $status -eq 124 ]] || { echo "vetrix ended early with $status"; exit 1; }
  grep -q "系统启动" Test.log
  echo "The package installs and both programs start on a clean Debian 12."
' _ "$deb"
