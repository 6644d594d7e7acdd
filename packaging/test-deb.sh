#!/usr/bin/env bash
# Builds the Debian package and checks it with lintian, which must report no errors. Then, unless
# --lint-only is given, installs it into a fresh minimal Debian 12 made with debootstrap and
# starts both programs there: that needs root, debootstrap and the network to Debian's mirror.
set -euo pipefail
cd "$(dirname "$0")/.."

lint_only=false
if [[ "${1:-}" == "--lint-only" ]]; then
  lint_only=true
fi

cmake --preset release >/dev/null
cmake --build --preset release
rm -f build-release/vetrix_*.deb
(cd build-release && cpack >/dev/null)
deb=$(ls build-release/vetrix_*_amd64.deb)

# Warnings and notes are shown; an error fails the check.
lintian --fail-on error --info "$deb"
echo "lintian: no errors in $(basename "$deb")"
if $lint_only; then
  exit 0
fi

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
