#!/usr/bin/env bash
# Load test of vetrix-serve with wrk (runs bounded in time) and ab (runs bounded in requests),
# aimed only at 127.0.0.1. Measures requests per second, p50/p99 latency and errors for /v1/verify and
# /v1/audit on a 295 x 413 photo and a 2 MP photo, the peak RSS before and after 10,000
# requests, and vetrix-audit --jobs 2 on the same photos repeated, in the same run.
#
#   bench/serve_load.sh [BIN_DIR]     (default build-release/bin; DURATION=10 TOTAL=10000)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
bin=${1:-$root/build-release/bin}
duration=${DURATION:-10}
total=${TOTAL:-10000}
workers=2

small=$root/tests/data/pass_red_test2_295x413.jpg
saved=$root/tests/data/expected-saved/pass_white_test1_358x441.jpg  # a saved 295 x 413 photo
large=$root/bench/data/pass_blue_test4_1200x1680.jpg               # 2.0 MP

work=$(mktemp -d)
pid=
cleanup() {
  if [[ -n $pid ]]; then kill -TERM "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

"$bin/vetrix-serve" --listen 127.0.0.1:0 --workers $workers --queue 64 2>"$work/serve.log" &
pid=$!
for _ in $(seq 100); do
  grep -q listening "$work/serve.log" 2>/dev/null && break
  sleep 0.1
done
port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/serve.log" | head -1)
[[ -n $port ]] || { echo "vetrix-serve did not start" >&2; cat "$work/serve.log" >&2; exit 1; }
url=http://127.0.0.1:$port

# Prints the RESULT line of one wrk run bounded in time: PATH FILE [SECONDS].
load() {
  BODY=$2 wrk -t2 -c4 -d"${3:-$duration}s" --timeout 30s -s "$root/bench/serve_post.lua" \
    "$url$1" | grep '^RESULT' | cut -d' ' -f2-
}

# The same figures for a run of exactly COUNT requests, with ab (wrk has no bound on requests):
# PATH FILE COUNT. ab's -s bounds each request's wait, -t none of its own requests.
bounded() {
  ab -q -n "$3" -c 4 -s 30 -p "$2" -T application/octet-stream "$url$1" >"$work/ab.txt" 2>&1 ||
    { cat "$work/ab.txt" >&2; return 1; }
  awk '/^Complete requests:/ {n = $3} /^Requests per second:/ {rps = $4}
       /^Failed requests:/ {failed = $3} /^Non-2xx responses:/ {non2xx = $3}
       /^  50%/ {p50 = $2} /^  99%/ {p99 = $2}
       END {printf "requests=%d rps=%.2f p50_ms=%.1f p99_ms=%.1f errors=%d\n",
            n, rps, p50, p99, failed + non2xx}' "$work/ab.txt"
}

peak() { awk '/VmHWM|VmRSS/ {printf "%s %s kB  ", $1, $2}' "/proc/$pid/status"; echo; }

echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs)"
echo "load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"
bounded /v1/verify "$saved" 100 >/dev/null   # warm-up
echo "after warm-up:            $(peak)"
printf '%-34s %s\n' "verify, saved 295 x 413:" "$(load /v1/verify "$saved")"
printf '%-34s %s\n' "verify, 2 MP (no trailer):" "$(load /v1/verify "$large")"
printf '%-34s %s\n' "audit, 295 x 413:" "$(load /v1/audit "$small")"
audit_large=$(load /v1/audit "$large" $((duration * 2)))
printf '%-34s %s\n' "audit, 2 MP:" "$audit_large"
echo "before $total requests:   $(peak)"
printf '%-34s %s\n' "audit, 295 x 413, $total requests:" "$(bounded /v1/audit "$small" "$total")"
echo "after $total requests:    $(peak)"

# The command on the same photos repeated, for the ratio.
cli_rate() {
  mkdir -p "$work/cli"
  rm -f "$work/cli"/*
  for i in $(seq "$2"); do ln -s "$1" "$work/cli/$i.jpg"; done
  local start end
  start=$(date +%s.%N)
  "$bin/vetrix-audit" --jobs $workers --json "$work/cli" >/dev/null 2>&1 || true
  end=$(date +%s.%N)
  echo "$2 / ($end - $start)" | bc -l
}
small_cli=$(cli_rate "$small" 300)
large_cli=$(cli_rate "$large" 40)
audit_small=$(load /v1/audit "$small")
printf '%-34s %s\n' "audit, 295 x 413 (again):" "$audit_small"
rate() { sed -n 's/.*rps=\([0-9.]*\).*/\1/p' <<<"$1"; }
printf 'vetrix-audit --jobs 2, 295 x 413: %.2f photos/s; service/command = %.3f\n' \
  "$small_cli" "$(echo "$(rate "$audit_small") / $small_cli" | bc -l)"
printf 'vetrix-audit --jobs 2, 2 MP:      %.2f photos/s; service/command = %.3f\n' \
  "$large_cli" "$(echo "$(rate "$audit_large") / $large_cli" | bc -l)"
echo "load average at end: $(cut -d' ' -f1-3 /proc/loadavg)"
