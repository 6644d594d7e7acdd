#!/usr/bin/env bash
# The Windows build's audit time under Wine against the native Linux build, on the same photos:
# the example photos (tests/data, 0.07 to 1.5 megapixels, every verdict) audited with --jobs 1,
# RUNS times each (default 3), taking turns; the fastest run of each counts. Prints seconds per
# batch and the ratio. A rough figure: Wine is not Windows. The first Wine run of a fresh
# prefix (which creates it) is not counted; the start of a Wine process is told apart.
#
#   bench/windows_wine.sh [LINUX_VETRIX_AUDIT] [RUNS]
#
# LINUX_VETRIX_AUDIT defaults to build/bin/vetrix-audit; the Windows one is
# build-windows/bin/vetrix-audit.exe (scripts/build-windows.sh).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
native=${1:-$root/build/bin/vetrix-audit}
runs=${2:-3}
windows=$root/build-windows/bin/vetrix-audit.exe
for program in "$native" "$windows"; do
  [[ -f "$program" ]] || { echo "windows_wine.sh: no $program" >&2; exit 2; }
done

work=$(mktemp -d)
trap 'WINEPREFIX=$work/prefix wineserver -k 2>/dev/null || true; rm -rf "$work"' EXIT
export WINEPREFIX=$work/prefix WINEDEBUG=-all
cp "$root"/tests/data/*.jpg "$work"/
cd "$work"
photos=(*.jpg)
wine "$windows" --version >/dev/null 2>&1

calc() { awk "BEGIN { print ($1) }"; }
run() {
  local start end
  start=$(date +%s.%N)
  "$@" --jobs 1 --json "${photos[@]}" >/dev/null 2>&1 || true
  end=$(date +%s.%N)
  calc "$end - $start"
}

startup() {
  local start end
  start=$(date +%s.%N)
  wine "$windows" --version >/dev/null 2>&1
  end=$(date +%s.%N)
  calc "$end - $start"
}

best_native="" best_wine="" best_start=""
for ((i = 0; i < runs; ++i)); do
  t=$(startup)
  [[ -z "$best_start" || $(calc "$t < $best_start") == 1 ]] && best_start=$t
  t=$(run "$native")
  [[ -z "$best_native" || $(calc "$t < $best_native") == 1 ]] && best_native=$t
  t=$(run wine "$windows")
  [[ -z "$best_wine" || $(calc "$t < $best_wine") == 1 ]] && best_wine=$t
done
printf '%d photos, --jobs 1, fastest of %d: native %.2f s, Wine %.2f s, Wine / native %.2f\n' \
  "${#photos[@]}" "$runs" "$best_native" "$best_wine" "$(calc "$best_wine / $best_native")"
printf 'of which starting the program under Wine (--version): %.2f s; without it %.2f\n' \
  "$best_start" "$(calc "($best_wine - $best_start) / $best_native")"
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
