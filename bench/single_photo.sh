#!/usr/bin/env bash
# One photo, whole programs: the wall time of `vetrix-audit PHOTO` against `vetrix-bare PHOTO`
# (load the cascade; decode, grey, equalise, detect) with OpenCV's default threads, for the 2 MP
# and the 12 MP benchmark photo, and the ratio of the two. `vetrix-audit --jobs 1 PHOTO`, which
# keeps OpenCV on one thread, is timed too, for comparison.
#
#   bench/single_photo.sh [BUILD_DIR] [RUNS]
#
# BUILD_DIR defaults to build-release; the programs take turns, RUNS times each (default 7), and
# the median and the fastest run of each count.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bin=$(cd "${1:-$root/build-release}" && pwd)/bin
runs=${2:-7}
for program in vetrix-audit vetrix-bare; do
  if [[ ! -x "$bin/$program" ]]; then
    echo "single_photo.sh: no $bin/$program (cmake --build build-release --target $program)" >&2
    exit 2
  fi
done

# Run from an empty folder, so that the working directory holds no cascade or log of its own.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

seconds() {
  local start end
  start=$(date +%s.%N)
  "$@" >/dev/null 2>&1 || { echo "single_photo.sh: $* failed" >&2; exit 1; }
  end=$(date +%s.%N)
  awk "BEGIN { print $end - $start }"
}

stats() { sort -g | awk '{ v[NR] = $1 } END { m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2; printf "%.3f %.3f\n", m, v[1] }'; }

printf '%-6s %10s %10s %10s %10s %10s %10s %9s %9s\n' size "bare med" "bare min" "audit med" \
  "audit min" "-j1 med" "-j1 min" "ratio med" "ratio min"
for entry in "2MP pass_blue_test4_1200x1680.jpg" "12MP large_phone_3000x4000_blue_test4.jpg"; do
  read -r label file <<<"$entry"
  photo=$root/bench/data/$file
  bare=() audit=() single=()
  for ((i = 0; i < runs; ++i)); do
    bare+=("$(seconds "$bin/vetrix-bare" "$photo")")
    audit+=("$(seconds "$bin/vetrix-audit" "$photo")")
    single+=("$(seconds "$bin/vetrix-audit" --jobs 1 "$photo")")
  done
  read -r bm bf < <(printf '%s\n' "${bare[@]}" | stats)
  read -r am af < <(printf '%s\n' "${audit[@]}" | stats)
  read -r sm sf < <(printf '%s\n' "${single[@]}" | stats)
  printf '%-6s %10s %10s %10s %10s %10s %10s %9.3f %9.3f\n' "$label" "$bm" "$bf" "$am" "$af" \
    "$sm" "$sf" "$(awk "BEGIN { print $am / $bm }")" "$(awk "BEGIN { print $af / $bf }")"
done
