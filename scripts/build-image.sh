#!/usr/bin/env bash
# Builds the container image of vetrix-serve from this tree: the Debian packages are built here
# (packaging/build-debs.sh), a Debian 12 root file system is made with mmdebstrap holding only
# the essential packages and vetrix-serve with its dependencies, and buildah turns it into an
# image tagged $IMAGE_NAME:$VERSION (localhost/vetrix-serve:1.0.0), which runs vetrix-serve as
# the unprivileged user 10001 on port 8080 with /healthz as its health check.
#
# Reproducible: every time stamp is SOURCE_DATE_EPOCH (the last commit's time unless set), the
# package set is fixed (essential + vetrix-serve's dependencies), and the list of installed
# packages with their versions is written beside the image, build-image/packages.txt, so that
# two builds can be compared; the same archive state gives the same layer.
#
#   scripts/build-image.sh               build the debs, the root file system and the image
#   scripts/build-image.sh --print-name  print the image's name:tag and exit
#   scripts/build-image.sh --no-debs     take the debs already in build-release/debs
#
# Needs root, mmdebstrap and buildah (scripts/setup.sh --extra), and Debian's archive.
set -euo pipefail
cd "$(dirname "$0")/.."

IMAGE_NAME=localhost/vetrix-serve
VERSION=$(sed -n 's/^project(Vetrix VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
PORT=8080
USER_ID=10001
SUITE=bookworm
MIRROR=${VETRIX_DEBIAN_MIRROR:-http://deb.debian.org/debian}

build_debs=true
build_rootfs=true
for arg in "$@"; do
  case "$arg" in
    --print-name) echo "$IMAGE_NAME:$VERSION"; exit 0 ;;
    --print-port) echo "$PORT"; exit 0 ;;
    --no-debs) build_debs=false ;;
    --reuse-rootfs) build_rootfs=false ;;
    *) echo "usage: $0 [--print-name|--print-port|--no-debs|--reuse-rootfs]" >&2; exit 2 ;;
  esac
done

export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
out=build-image
start=$(date +%s)
if $build_rootfs; then
  if $build_debs; then
    packaging/build-debs.sh >/dev/null
  fi
  deb=$(ls "$PWD"/build-release/debs/vetrix-serve_"$VERSION"_amd64.deb)
  rm -rf "$out"
  mkdir -p "$out"
  # Documentation, manual pages and translations are left out; copyright files stay.
  mmdebstrap --variant=essential --format=tar --quiet \
    --include="$deb" \
    --hook-dir=/usr/share/mmdebstrap/hooks/file-mirror-automount \
    --dpkgopt='path-exclude=/usr/share/man/*' \
    --dpkgopt='path-exclude=/usr/share/locale/*' \
    --dpkgopt='path-exclude=/usr/share/doc/*' \
    --dpkgopt='path-include=/usr/share/doc/*/copyright' \
    --dpkgopt='path-exclude=/usr/share/info/*' \
    --customize-hook="echo 'vetrix:x:$USER_ID:$USER_ID:vetrix-serve:/nonexistent:/usr/sbin/nologin' >>\"\$1/etc/passwd\"" \
    --customize-hook="echo 'vetrix:x:$USER_ID:' >>\"\$1/etc/group\"" \
    --customize-hook='copy-in packaging/image/vetrix-serve-healthcheck /usr/local/bin' \
    --customize-hook='chroot "$1" dpkg-query -W -f="\${Package} \${Version}\n" >"$1/tmp/packages.txt"' \
    --customize-hook="copy-out /tmp/packages.txt $out" \
    --customize-hook='rm -f "$1/tmp/packages.txt"; rm -rf "$1/var/lib/apt/lists" "$1/var/cache/apt" "$1/var/log"/*; mkdir -p "$1/var/lib/apt/lists"' \
    "$SUITE" "$out/rootfs.tar" "$MIRROR"
fi

container=$(buildah from --format docker scratch)
trap 'buildah rm "$container" >/dev/null 2>&1 || true' EXIT
buildah add --quiet "$container" "$out/rootfs.tar" / >/dev/null
buildah config \
  --user "$USER_ID:$USER_ID" \
  --workingdir / \
  --port "$PORT/tcp" \
  --stop-signal SIGTERM \
  --env LANG=C.UTF-8 \
  --entrypoint '["/usr/bin/vetrix-serve"]' \
  --cmd "[\"--listen\", \"0.0.0.0:$PORT\"]" \
  --healthcheck "CMD /usr/local/bin/vetrix-serve-healthcheck" \
  --healthcheck-interval 10s --healthcheck-timeout 3s --healthcheck-retries 3 \
  --healthcheck-start-period 5s \
  --label org.opencontainers.image.title=vetrix-serve \
  --label org.opencontainers.image.version="$VERSION" \
  --label org.opencontainers.image.description="Audit, normalisation and verification of portrait photos over HTTP" \
  --created-by "scripts/build-image.sh" \
  "$container"
# The docker manifest format keeps the health check, which the OCI format has no field for. It
# also records the builder's container ID and host name, which differ on every build; they are
# cleared (saved, rewritten, loaded again), so that the image's ID depends on its content only.
previous=$(podman image inspect --format '{{.Id}}' "$IMAGE_NAME:$VERSION" 2>/dev/null || true)
buildah commit --quiet --format docker --timestamp "$SOURCE_DATE_EPOCH" --omit-history \
  --identity-label=false --rm "$container" "$IMAGE_NAME:$VERSION" >/dev/null
trap - EXIT
podman save --quiet --format docker-archive -o "$out/committed.tar" "$IMAGE_NAME:$VERSION"
packaging/image/normalise-docker-archive.py "$out/committed.tar" "$out/vetrix-serve-$VERSION.tar"
rm "$out/committed.tar"
podman rmi --force "$IMAGE_NAME:$VERSION" >/dev/null
podman load --quiet -i "$out/vetrix-serve-$VERSION.tar" >/dev/null
podman image inspect --format '{{.Id}}' "$IMAGE_NAME:$VERSION" >"$out/image-id"
# The image this one replaces under the same tag, unless it is the same.
if [[ -n "$previous" && "$previous" != "$(cat "$out/image-id")" ]]; then
  podman rmi "$previous" >/dev/null 2>&1 || true
fi

size=$(podman image inspect --format '{{.Size}}' "$IMAGE_NAME:$VERSION")
echo "Built $IMAGE_NAME:$VERSION ($(cut -c1-12 "$out/image-id")): $((size / 1000000)) MB," \
     "$(wc -l <"$out/packages.txt") packages, in $(( $(date +%s) - start )) s;" \
     "$out/vetrix-serve-$VERSION.tar loads it elsewhere (podman load, docker load)"
