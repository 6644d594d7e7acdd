#!/usr/bin/env bash
# The web build against the native one, in the same run:
#  - the time of vetrix-audit.js (WebAssembly under node) over that of the native vetrix-audit
#    with one job, on the same photos (best of three runs each, alternating), for each variant
#    that was built (build-web: scalar; build-web-simd, build-web-simd-threads: the same code
#    and libraries as the site's SIMD and threads engines);
#  - the size of the site, every file gzipped (what a first visit with its service worker
#    fetches; bench/web-load.mjs measures what comes before the engine is ready).
# Usage: bench/web.sh [PHOTO|FOLDER]...  (default: /work/shared/photos if present, else
# tests/data). Needs build/bin/vetrix-audit (cmake --preset release works too: set
# VETRIX_NATIVE_BIN) and scripts/build-web.sh.
set -euo pipefail
cd "$(dirname "$0")/.."

native=${VETRIX_NATIVE_BIN:-build/bin}/vetrix-audit
site=build-web/site
for f in "$native" build-web/bin/vetrix-audit.js "$site/index.html"; do
  [[ -e "$f" ]] || { echo "bench/web.sh: $f is missing; build it first" >&2; exit 2; }
done
declare -A web=([scalar]=build-web/bin/vetrix-audit.js)
variants=(scalar)
for v in simd simd-threads; do
  if [[ -e build-web-$v/bin/vetrix-audit.js ]]; then
    web[$v]=build-web-$v/bin/vetrix-audit.js
    variants+=("$v")
  fi
done
inputs=("$@")
if ((${#inputs[@]} == 0)); then
  inputs=(tests/data)
  [[ -d /work/shared/photos ]] && inputs=(/work/shared/photos)
fi

nanoseconds() {  # runs the command quietly and prints its wall time in nanoseconds
  local start status=0
  start=$(date +%s%N)
  "$@" >/dev/null 2>&1 || status=$?
  ((status <= 1)) || { echo "bench/web.sh: $* failed ($status)" >&2; exit 1; }
  echo $(($(date +%s%N) - start))
}
echo "load average at the start: $(cut -d' ' -f1-3 /proc/loadavg)"
best_native=0
declare -A best
for v in "${variants[@]}"; do best[$v]=0; done
for _ in 1 2 3; do
  t=$(nanoseconds "$native" --jobs 1 --json "${inputs[@]}")
  ((best_native == 0 || t < best_native)) && best_native=$t
  for v in "${variants[@]}"; do
    t=$(nanoseconds node "${web[$v]}" --json "${inputs[@]}")
    ((best[$v] == 0 || t < best[$v])) && best[$v]=$t
  done
done
photos=$("$native" --jobs 1 "${inputs[@]}" 2>/dev/null | wc -l || true)
awk -v n="$best_native" -v p="$photos" -v names="${inputs[*]}" 'BEGIN {
  printf "photos: %d (%s)\n", p, names
  printf "native vetrix-audit --jobs 1: %.2f s (%.1f ms a photo)\n", n / 1e9, n / 1e6 / p
}'
for v in "${variants[@]}"; do
  awk -v v="$v" -v n="$best_native" -v w="${best[$v]}" -v s="${best[scalar]}" -v p="$photos" \
      -v node="$(node --version)" 'BEGIN {
    printf "vetrix-audit.js %-12s (node %s): %.2f s (%.1f ms a photo)  wasm / native %.2f" \
           "  scalar / this %.2f\n", v, node, w / 1e9, w / 1e6 / p, w / n, s / w
  }'
done
echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"

echo
echo "site transfer size (gzip -9 of every file of the site):"
total=0; raw=0
while IFS= read -r -d '' f; do
  size=$(stat -c %s "$f")
  gz=$(gzip -9 -c "$f" | wc -c)
  raw=$((raw + size)); total=$((total + gz))
  printf '  %-36s %9d -> %8d\n' "${f#"$site"/}" "$size" "$gz"
done < <(find "$site" -type f -print0 | sort -z)
awk -v r="$raw" -v t="$total" \
  'BEGIN { printf "  %-36s %9d -> %8d bytes (%.2f MB gzipped)\n", "total", r, t, t / 1e6 }'
