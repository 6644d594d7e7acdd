#!/usr/bin/env bash
# Batch throughput of vetrix-audit: the same 40 photos audited with --jobs 1 and with --jobs 2,
# as photos per second, and the ratio of the two, for two sets of 40:
#   mixed: the test and benchmark photos in turn (every verdict, 0.07 to 12 megapixels; two of
#          the 40 are 12 MP, one of them last);
#   small: the same without the 12 MP photo (0.07 to 2 megapixels).
#
#   bench/batch_throughput.sh [VETRIX_AUDIT] [RUNS]
#
# VETRIX_AUDIT defaults to build-bench/bin/vetrix-audit; each setting runs RUNS times
# (default 3), the two settings taking turns, and the fastest run of each counts. Both settings
# must print the same results.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
audit=${1:-$root/build-bench/bin/vetrix-audit}
runs=${2:-3}
count=40

if [[ ! -x "$audit" ]]; then
  echo "batch_throughput.sh: no $audit (cmake --preset bench && cmake --build --preset bench)" >&2
  exit 2
fi

# Run from an empty folder, so that the working directory holds no cascade or log of its own.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

calc() { awk "BEGIN { print ($1) }"; }

# Seconds of wall time for one batch of the photos in "${photos[@]}"; the results go to a file
# so that both settings can be compared afterwards.
run() {
  local jobs=$1 out=$2 start end
  start=$(date +%s.%N)
  "$audit" --jobs "$jobs" --json "${photos[@]}" >"$out" 2>/dev/null || true
  end=$(date +%s.%N)
  calc "$end - $start"
}

# measure NAME FILE...: the 40 photos are FILE... taken in turn.
measure() {
  local name=$1
  shift
  local pool=("$@") best1="" best2="" t1 t2 r
  photos=()
  for ((i = 0; i < count; ++i)); do
    photos+=("${pool[i % ${#pool[@]}]}")
  done
  echo "$name: $count photos ($(printf '%s\n' "${photos[@]}" | sort -u | wc -l) different files)"
  for ((r = 1; r <= runs; ++r)); do
    t1=$(run 1 "$work/jobs1.jsonl")
    t2=$(run 2 "$work/jobs2.jsonl")
    printf '  run %d: --jobs 1 %.2f s, --jobs 2 %.2f s\n' "$r" "$t1" "$t2"
    if [[ -z "$best1" ]] || (($(calc "$t1 < $best1"))); then best1=$t1; fi
    if [[ -z "$best2" ]] || (($(calc "$t2 < $best2"))); then best2=$t2; fi
  done
  if ! cmp -s "$work/jobs1.jsonl" "$work/jobs2.jsonl"; then
    echo "batch_throughput.sh: --jobs 1 and --jobs 2 printed different results" >&2
    exit 1
  fi
  local rate1 rate2 speedup target=missed
  rate1=$(calc "$count / $best1")
  rate2=$(calc "$count / $best2")
  speedup=$(calc "$rate2 / $rate1")
  if (($(calc "$speedup >= 1.3"))); then target=met; fi
  printf -- '  --jobs 1: %.2f photos/s; --jobs 2: %.2f photos/s; ratio %.2fx (target >= 1.3: %s)\n' \
    "$rate1" "$rate2" "$speedup" "$target"
}

echo "machine: $(nproc) cores, $(lscpu | sed -n 's/^Model name: *//p')"
"$audit" --jobs 1 "$root/tests/data/pass_red_test2_295x413.jpg" >/dev/null 2>&1 || true  # warm up

measure mixed "$root"/tests/data/*.jpg "$root"/bench/data/*.jpg
measure small "$root"/tests/data/*.jpg "$root"/bench/data/pass_*.jpg
