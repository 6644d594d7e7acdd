#!/usr/bin/env bash
# Starts vetrix-serve from the container image's own root file system and audits a photo with
# it. Where a container runtime cannot start (crun cannot set rlimits in some sandboxes), the
# image is mounted (podman image mount) and the service runs under chroot, in its own mount and
# PID namespaces (unshare), as the image's unprivileged user, on 127.0.0.1 only. It must answer
# /healthz and the image's health check, audit a photo as Passed, serve /openapi.json, and exit 0 on SIGTERM.
#
#   packaging/test-image.sh            build the image first (scripts/build-image.sh)
#   packaging/test-image.sh --no-build test the image already built
#
# Needs root, podman, unshare and curl.
set -euo pipefail
cd "$(dirname "$0")/.."

if [[ "${1:-}" != "--no-build" ]]; then
  scripts/build-image.sh
fi
image=$(scripts/build-image.sh --print-name)
root=$(podman image mount "$image")
log=$(mktemp)
server=
cleanup() {
  if [[ -n "$server" ]] && kill -0 "$server" 2>/dev/null; then
    kill -KILL "$server" 2>/dev/null || true
  fi
  podman image unmount "$image" >/dev/null 2>&1 || true
  rm -f "$log"
}
trap cleanup EXIT

user=$(podman image inspect --format '{{.Config.User}}' "$image")
entrypoint=$(podman image inspect --format '{{join .Config.Entrypoint " "}}' "$image")
[[ "$user" =~ ^[1-9][0-9]*:[1-9][0-9]*$ ]] || { echo "the image's user is $user, not unprivileged" >&2; exit 1; }
[[ "$entrypoint" == /usr/bin/vetrix-serve ]] || { echo "unexpected entry point $entrypoint" >&2; exit 1; }
healthcheck=$(podman image inspect --format '{{index .HealthCheck.Test 1}}' "$image")
[[ -x "$root$healthcheck" ]] || { echo "the health check $healthcheck is not in the image" >&2; exit 1; }
# Only what the service needs: no Qt, no window fonts, no package manager.
if chroot "$root" dpkg-query -W -f '${Package}\n' | grep -E '^(libqt6|qt6-|apt$|fonts-noto-cjk)'; then
  echo "the image holds packages the service does not need" >&2
  exit 1
fi

# PID 1 of its namespace is vetrix-serve itself (chroot execs it), with its own /proc for the
# decoder's in-memory files.
unshare --mount --pid --fork --mount-proc="$root/proc" \
  chroot --userspec="$user" "$root" /usr/bin/vetrix-serve --listen 127.0.0.1:0 --workers 2 \
  2>"$log" &
launcher=$!
port=
for _ in $(seq 1 300); do
  port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$log")
  [[ -n "$port" ]] && break
  kill -0 "$launcher" 2>/dev/null || break
  sleep 0.1
done
[[ -n "$port" ]] || { echo "vetrix-serve did not start:" >&2; cat "$log" >&2; exit 1; }
server=$(ps --ppid "$launcher" -o pid= | tr -d ' ')
echo "vetrix-serve from the image listens on 127.0.0.1:$port as $user (pid $server)"

base="http://127.0.0.1:$port"
curl -fsS --max-time 10 "$base/healthz" | grep -q '"ok"'
# The image's own health check, run as its runtime would run it.
chroot --userspec="$user" "$root" env VETRIX_HEALTH_PORT="$port" "$healthcheck"
curl -fsS --max-time 10 "$base/openapi.json" | cmp - serve/openapi.json
answer=$(curl -fsS --max-time 120 --data-binary @tests/data/pass_red_test2_295x413.jpg "$base/v1/audit")
grep -q '"state": "Passed"' <<<"$answer" || { echo "unexpected audit: $answer" >&2; exit 1; }
curl -fsS --max-time 120 --data-binary @tests/data/pass_red_test2_295x413.jpg -o /dev/null \
  -w '%{http_code} %{content_type}\n' "$base/v1/normalise" | grep -q '^200 image/jpeg$'
echo "audited a photo: Passed; normalised it"

# The process runs as the image's user, not as root.
[[ "$(stat -c %u:%g "/proc/$server")" == "$user" ]] || { echo "not running as $user" >&2; exit 1; }

kill -TERM "$server"
status=0
wait "$launcher" || status=$?
server=
[[ $status -eq 0 ]] || { echo "vetrix-serve exited $status on SIGTERM:" >&2; cat "$log" >&2; exit 1; }
grep -q 'vetrix-serve: stopped' "$log"
if chroot --userspec="$user" "$root" env VETRIX_HEALTH_PORT="$port" "$healthcheck" 2>/dev/null; then
  echo "the health check passes with the service stopped" >&2
  exit 1
fi
echo "image test passed: started under chroot from $image, answered an audit, exited 0 on SIGTERM"
