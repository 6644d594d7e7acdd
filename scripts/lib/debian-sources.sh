# shellcheck shell=bash disable=SC2154  # `me` is set by the script that sources this file
# Fetching Debian's own sources of the libraries that Vetrix builds for another system, at
# exactly the version of the native library: verdicts and saved bytes equal the desktop's only
# with the same code. Sourced by the scripts that build those libraries; they set `me` (their
# name in messages) first.

fail() {
  echo "$me: $*" >&2
  exit 1
}

# The source package version the installed native package came from.
native_source_version() {
  local v
  v=$(dpkg-query -W -f='${source:Version}' "$1" 2>/dev/null) || true
  [[ -n "$v" ]] || fail "$1 is not installed; run scripts/setup.sh"
  echo "$v"
}

upstream_of() {  # 1:2.1.5-2 -> 2.1.5
  local v=${1#*:}
  echo "${v%-*}"
}

# fetch_sources DIR SRC=VERSION...: unpacks each source package into DIR and records the
# revision taken in the associative array `used`. The security archive does not always serve
# its sources; then the newest served revision of the same upstream version is taken (Debian
# revisions of a stable release carry only fixes for malformed input), and the build says so.
# A different upstream version is never taken.
fetch_sources() {
  local dir=$1 pair src want v
  shift
  chmod 755 "$dir"  # apt's download sandbox user must be able to write here
  for pair in "$@"; do
    src=${pair%%=*}
    want=${pair#*=}
    local candidates=("$want")
    while read -r v; do
      if [[ "$v" != "$want" && "$(upstream_of "$v")" == "$(upstream_of "$want")" ]]; then
        candidates+=("$v")
      fi
    done < <(apt-cache showsrc "$src" 2>/dev/null | sed -n 's/^Version: //p' | sort -u -r -V)
    for v in "${candidates[@]}"; do
      if (cd "$dir" && apt-get source -qq "$src=$v" >"$src.log" 2>&1); then
        used[$src]=$v
        break
      fi
    done
    if [[ -z "${used[$src]:-}" ]]; then
      cat "$dir/$src.log" >&2
      fail "cannot fetch the source of $src $(upstream_of "$want"), the version of the native" \
        "library ($want). Without the same version the build would not match the desktop." \
        "Check the deb-src entries (scripts/setup.sh adds them) and that the archive serves it."
    fi
    if [[ "${used[$src]}" != "$want" ]]; then
      echo "$me: note: $src $want is not served as source; built ${used[$src]} (same upstream" \
        "version)" >&2
    fi
  done
}

# source_dir DIR SRC: the unpacked source folder of a package fetched into DIR.
source_dir() {
  local d
  d="$1/$2-$(upstream_of "${used[$2]}")"
  [[ -d "$d" ]] || d=$(find "$1" -maxdepth 1 -mindepth 1 -type d -name "${2%1.6}*" | head -1)
  [[ -d "$d" ]] || fail "unpacked source of $2 not found in $1"
  echo "$d"
}

# open_cache ROOT KIND KEY_TEXT: the cache folder of a build of libraries, named by a hash of
# KEY_TEXT (every version the build depends on). Sets `prefix` (ROOT/KIND-<key>, the finished
# libraries) and `work` (the folder to build in). When the prefix is complete (its VERSIONS file
# is written last) it prints the prefix and ends the script. Otherwise it returns holding a lock
# on descriptor 9, so that only one build of a key runs at a time: a second caller waits, then
# finds the finished prefix.
# shellcheck disable=SC2034  # prefix and work are the caller's
open_cache() {
  local root=$1 kind=$2 key
  key=$(sha256sum <<<"$3" | cut -c1-16)
  prefix=$root/$kind-$key
  work=$root/.$kind-$key.work
  if [[ -f "$prefix/VERSIONS" ]]; then
    echo "$prefix"
    exit 0
  fi
  mkdir -p "$root"
  exec 9>"$root/.$kind-$key.lock"
  flock 9
  if [[ -f "$prefix/VERSIONS" ]]; then
    echo "$prefix"
    exit 0
  fi
}

# build_zlib SOURCE BUILD PREFIX ARCHIVER COMPILER [FLAGS...]: builds zlib from its Debian source
# into PREFIX/lib/libz.a and PREFIX/include. Debian's zlib source lacks files its CMake build
# expects; the library is 15 C files.
build_zlib() {
  local src=$1 build=$2 dest=$3 archiver=$4 f
  shift 4
  mkdir -p "$build"
  [[ -f "$src/zconf.h" ]] || cp "$src/zconf.h.included" "$src/zconf.h"
  for f in adler32 compress crc32 deflate gzclose gzlib gzread gzwrite infback inffast inflate \
           inftrees trees uncompr zutil; do
    "$@" -c "$src/$f.c" -o "$build/$f.o"
  done
  "$archiver" rcs "$dest/lib/libz.a" "$build"/*.o
  cp "$src/zlib.h" "$src/zconf.h" "$dest/include/"
}
