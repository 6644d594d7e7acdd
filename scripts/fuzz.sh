#!/usr/bin/env bash
# Builds the libFuzzer targets with the fuzz preset (clang, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for SECONDS (default 60) over its seed corpus in
# fuzz/corpus/<target>/. Installs nothing: clang and libclang-rt-14-dev must be present
# (scripts/setup.sh --extra).
#
# The committed corpus is only read. New inputs go to a temporary folder that is removed at the
# end; an input that makes a target fail is kept in build-fuzz/findings/<target>/.
#
# Exit status: 0 when every target ran clean, 1 when any found a crash, a sanitizer report, a
# leak, a timeout or ran out of memory, 2 for a usage or build error.
set -euo pipefail

seconds=${1:-60}
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || ((seconds < 1)); then
  echo "usage: $0 [SECONDS]" >&2
  exit 2
fi

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

if ! command -v clang++ >/dev/null; then
  echo "fuzz.sh: clang++ not found (scripts/setup.sh --extra installs it)" >&2
  exit 2
fi
cmake --preset fuzz >/dev/null || exit 2
cmake --build build-fuzz --parallel "$(nproc)" --target fuzz_audit_file fuzz_checks || exit 2

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Per target: extra libFuzzer flags. The audit target's decoder writes a warning to stderr for
# every damaged JPEG; closing the target's stderr keeps the log readable, while libFuzzer and the
# sanitizers still report on their own descriptor.
declare -A extra=(
  [fuzz_audit_file]="-close_fd_mask=2"
  [fuzz_checks]=""
)

status=0
for target in fuzz_audit_file fuzz_checks; do
  findings="build-fuzz/findings/$target"
  mkdir -p "$work/$target" "$findings"
  echo "== $target: ${seconds} s over fuzz/corpus/$target" >&2
  # Formats the engine measures only after decoding (PNM, HDR, Sun raster, JPEG 2000) are
  # bounded by OpenCV's own limit alone, read when the library loads: it is lowered to the audit
  # target's 4 megapixels, so that a few bytes announcing a gigapixel stay within the RSS limit.
  # shellcheck disable=SC2086  # the extra flags are words
  if ! TMPDIR="$work" OPENCV_IO_MAX_IMAGE_PIXELS=4194304 "build-fuzz/bin/$target" \
      -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$findings/" ${extra[$target]} \
      "$work/$target" "fuzz/corpus/$target"; then
    echo "== $target FAILED; the input is in $findings/" >&2
    status=1
  fi
done
exit "$status"
