#!/usr/bin/env bash
# Builds the Debian packages (packaging/build-debs.sh) and checks each with lintian, which must
# report no error and no warning. Then, unless --lint-only is given, installs each package alone
# with apt into its own fresh minimal Debian 12 made with mmdebstrap, checks that the packages
# without a window pull in no Qt and no fonts, and starts the program there. That needs root,
# mmdebstrap and the network to Debian's archive.
#
#   packaging/test-deb.sh [--lint-only] [--site] [--only NAME]...
#     --site       fail unless the web page's package vetrix-site was built too (it is built only
#                  when build-web/site holds the page: scripts/build-web.sh)
#     --only NAME  install only the package NAME (repeatable); all are still linted
set -euo pipefail
cd "$(dirname "$0")/.."

lint_only=false
want_site=false
only=()
while (($# > 0)); do
  case "$1" in
    --lint-only) lint_only=true ;;
    --site) want_site=true ;;
    --only) only+=("${2:?--only takes a package name}"); shift ;;
    *) echo "usage: $0 [--lint-only] [--site] [--only NAME]..." >&2; exit 2 ;;
  esac
  shift
done

mapfile -t debs < <(packaging/build-debs.sh)
names=()
for deb in "${debs[@]}"; do
  names+=("$(dpkg-deb -f "$deb" Package)")
done
for expected in vetrix vetrix-audit vetrix-serve; do
  [[ " ${names[*]} " == *" $expected "* ]] || { echo "no package $expected was built" >&2; exit 1; }
done
if [[ " ${names[*]} " != *" vetrix-site "* ]]; then
  if $want_site; then
    echo "no package vetrix-site: build the page first (scripts/build-web.sh)" >&2
    exit 1
  fi
  echo "vetrix-site skipped: build-web/site holds no page (scripts/build-web.sh builds it)"
fi

# Only the packages that run without a window may not depend on Qt or the fonts.
for deb in "${debs[@]}"; do
  name=$(dpkg-deb -f "$deb" Package)
  depends=$(dpkg-deb -f "$deb" Depends)
  if [[ "$name" != vetrix ]] && grep -Eq 'qt6|fonts-' <<<"$depends"; then
    echo "$name depends on what it does not run: $depends" >&2
    exit 1
  fi
done
if grep -q '^/etc/default/vetrix-serve$' < <(dpkg-deb --ctrl-tarfile build-release/debs/vetrix-serve_*.deb |
                                              tar -xO ./conffiles); then
  echo "vetrix-serve: /etc/default/vetrix-serve is a conffile"
else
  echo "vetrix-serve: /etc/default/vetrix-serve is not a conffile" >&2
  exit 1
fi

# Warnings and errors fail the check; notes are shown.
lintian --fail-on error,warning "${debs[@]}"
echo "lintian: no errors or warnings in ${names[*]}"
if $lint_only; then
  exit 0
fi

# Each package alone, as an office would install it: apt install ./package.deb.
photo=tests/data/pass_red_test2_295x413.jpg
for deb in "${debs[@]}"; do
  name=$(dpkg-deb -f "$deb" Package)
  if ((${#only[@]} > 0)) && [[ " ${only[*]} " != *" $name "* ]]; then
    continue
  fi
  case "$name" in
    vetrix-audit) smoke="vetrix-audit /tmp/photo.jpg | grep -q Passed" ;;
    vetrix-serve) smoke="vetrix-serve --help >/dev/null && test -f /usr/share/vetrix-serve/openapi.json" ;;
    vetrix-site) smoke="test -f /usr/share/vetrix-serve/site/index.html" ;;
    vetrix) smoke="cd /tmp && status=0 && { QT_QPA_PLATFORM=offscreen timeout 5 vetrix || status=\$?; } &&
                   test \$status -eq 124 && grep -q 系统启动 Test.log" ;;
  esac
  no_qt=true
  [[ "$name" == vetrix ]] && no_qt=false
  start=$(date +%s)
  mmdebstrap --variant=apt --quiet --format=null \
    --customize-hook="copy-in $deb $photo /tmp" \
    --customize-hook="chroot \"\$1\" sh -c 'cd /tmp && mv $(basename "$photo") photo.jpg &&
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq ./$(basename "$deb") >/dev/null'" \
    --customize-hook="if $no_qt; then ! chroot \"\$1\" dpkg-query -W -f '\${Package}\n' |
        grep -E '^(libqt6|qt6-|fonts-noto-cjk)'; fi" \
    --customize-hook="chroot \"\$1\" bash -c '$smoke'" \
    bookworm /dev/null http://deb.debian.org/debian
  echo "$name installs alone with apt on a fresh Debian 12 and runs ($(( $(date +%s) - start )) s)"
done
echo "Every package installs alone; those without a window pull in no Qt."
