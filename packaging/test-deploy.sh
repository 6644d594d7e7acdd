#!/usr/bin/env bash
# The deployment checks, as CI runs them, each step timed:
#   1. the Debian packages built and checked by lintian (packaging/test-deb.sh --lint-only)
#   2. deploy/ linted and matched against the build (packaging/check-deploy.sh)
#   3. the OpenAPI description linted by Redocly's CLI, and the real answers of the packaged
#      build's vetrix-serve validated against it (tools/openapi, npm ci from the lock file)
#   4. the container image built and started from its own root file system under chroot,
#      answering an audit (packaging/test-image.sh)
# With --install, also each package installed alone into a fresh Debian 12 (packaging/test-deb.sh
# without --lint-only); with --site, fail unless the web page's package was built and linted too
# (run scripts/build-web.sh first). Needs root and the network to Debian's archive and to npm's
# registry.
set -euo pipefail
cd "$(dirname "$0")/.."

install=false
site=()
for arg in "$@"; do
  case "$arg" in
    --install) install=true ;;
    --site) site=(--site) ;;
    *) echo "usage: $0 [--install] [--site]" >&2; exit 2 ;;
  esac
done

timings=()
step() {
  local name=$1 start
  shift
  echo "== $name"
  start=$(date +%s)
  "$@"
  timings+=("$name: $(( $(date +%s) - start )) s")
}

openapi() {
  # Redocly's CLI would otherwise send usage data and look for updates over the network.
  (cd tools/openapi &&
     export REDOCLY_TELEMETRY=off REDOCLY_SUPPRESS_UPDATE_NOTICE=true &&
     npm ci --no-audit --no-fund --loglevel=error &&
     npx redocly lint --config redocly.yaml ../../serve/openapi.json &&
     VETRIX_SERVE="$PWD/../../build-release/bin/vetrix-serve" node --test)
}

step "packages and lintian" packaging/test-deb.sh --lint-only "${site[@]}"
step "deploy/ against the build" packaging/check-deploy.sh
step "OpenAPI lint and real answers" openapi
step "image under chroot" packaging/test-image.sh
if $install; then
  step "each package alone" packaging/test-deb.sh "${site[@]}"
fi
printf '%s\n' "${timings[@]}"
