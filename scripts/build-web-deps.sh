#!/usr/bin/env bash
# Builds the libraries of the web build for WebAssembly from Debian's own source packages:
# zlib, libpng, libjpeg-turbo and OpenCV, each at exactly the version of the native library,
# because the page's verdicts and saved bytes equal the desktop's only with the same code.
# Nothing prebuilt is downloaded. The result is cached outside the clone, keyed by the versions,
# so that later builds (and other clones on the same machine) reuse it.
#
# Usage: build-web-deps.sh [VARIANT], where VARIANT is one of
#   scalar        one thread, no vector instructions: runs in every browser (the default)
#   simd          WebAssembly SIMD: OpenCV's own vector code (its wasm intrinsics) is compiled in
#   simd-threads  SIMD, and OpenCV's parallel_for_ over pthreads; every library is compiled with
#                 -pthread (atomics, bulk memory), as a program with shared memory must be
# Prints the folder of the built libraries (include/, lib/, lib/cmake/opencv4) on stdout.
# Needs scripts/setup.sh --web first. VETRIX_WASM_CACHE overrides the cache folder.
set -euo pipefail
cd "$(dirname "$0")/.."

variant=${1:-scalar}
case "$variant" in
  scalar) variant_flags="" simd=OFF threads=OFF ;;
  simd) variant_flags="-msimd128" simd=ON threads=OFF ;;
  simd-threads) variant_flags="-msimd128 -pthread" simd=ON threads=ON ;;
  *)
    echo "build-web-deps: unknown variant '$variant' (scalar, simd, simd-threads)" >&2
    exit 2
    ;;
esac

# Raise this when the way the libraries are built changes, so that no stale build is reused.
readonly recipe=1

export NODE_PATH=/usr/share/nodejs  # emcc needs Debian's node-acorn
# emcc runs under Debian's python, not one that a version manager put first in PATH.
[[ -x /usr/bin/python3 ]] && export EMSDK_PYTHON=/usr/bin/python3
# The shared compiler cache does not know emcc.
unset CMAKE_C_COMPILER_LAUNCHER CMAKE_CXX_COMPILER_LAUNCHER

# shellcheck disable=SC2034  # read by lib/debian-sources.sh
me="build-web-deps"
# shellcheck source=scripts/lib/debian-sources.sh
source scripts/lib/debian-sources.sh

declare -A source_of=(
  [opencv]=libopencv-dev
  [libjpeg-turbo]=libjpeg62-turbo-dev
  [libpng1.6]=libpng-dev
  [zlib]=zlib1g-dev
)
declare -A version
for src in opencv libjpeg-turbo libpng1.6 zlib; do
  version[$src]=$(native_source_version "${source_of[$src]}")
done
emcc_version=$(dpkg-query -W -f='${Version}' emscripten 2>/dev/null) ||
  fail "emscripten is not installed; run scripts/setup.sh --web"

key_text="recipe $recipe
emscripten $emcc_version
opencv ${version[opencv]}
libjpeg-turbo ${version[libjpeg-turbo]}
libpng1.6 ${version[libpng1.6]}
zlib ${version[zlib]}"
# The scalar build's key text is the one it always had, so that its cache stays valid.
[[ "$variant" == scalar ]] || key_text+="
variant $variant"
open_cache "${VETRIX_WASM_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/vetrix}" wasm "$key_text"
rm -rf "$work" "$prefix"
mkdir -p "$work/src"
started=$SECONDS
log() { echo "build-web-deps: [$((SECONDS - started)) s] $*" >&2; }

log "fetching Debian sources"
declare -A used
fetch_sources "$work/src" "opencv=${version[opencv]}" "libjpeg-turbo=${version[libjpeg-turbo]}" \
  "libpng1.6=${version[libpng1.6]}" "zlib=${version[zlib]}"
src_dir() { source_dir "$work/src" "$1"; }

mkdir -p "$prefix.tmp"/{include,lib}
stage=$prefix.tmp
lib_flags="-sDISABLE_EXCEPTION_CATCHING=0${variant_flags:+ $variant_flags}"
jobs=$(nproc)

log "variant $variant${variant_flags:+ ($variant_flags)}"
log "zlib ${used[zlib]}"
# shellcheck disable=SC2086  # $lib_flags is a list of flags
build_zlib "$(src_dir zlib)" "$work/zlib" "$stage" emar emcc -O3 -DHAVE_UNISTD_H $lib_flags

log "libpng ${used[libpng1.6]}"
emcmake cmake -S "$(src_dir libpng1.6)" -B "$work/libpng" -G Ninja -Wno-dev \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$stage" -DCMAKE_C_FLAGS="$lib_flags" \
  -DPNG_SHARED=OFF -DPNG_STATIC=ON -DPNG_TESTS=OFF -DPNG_EXECUTABLES=OFF \
  -DPNG_HARDWARE_OPTIMIZATIONS=OFF -DPNG_BUILD_ZLIB=OFF \
  -DZLIB_LIBRARY="$stage/lib/libz.a" -DZLIB_INCLUDE_DIR="$stage/include" >"$work/libpng.log" 2>&1 ||
  { cat "$work/libpng.log" >&2; fail "libpng: configure failed"; }
cmake --build "$work/libpng" -j "$jobs" >>"$work/libpng.log" 2>&1 &&
  cmake --install "$work/libpng" >>"$work/libpng.log" 2>&1 ||
  { tail -50 "$work/libpng.log" >&2; fail "libpng: build failed"; }

log "libjpeg-turbo ${used[libjpeg-turbo]}"
# The type-size checks give wrong answers under emcmake, which breaks the Huffman coder, so the
# sizes of wasm32 are given.
emcmake cmake -S "$(src_dir libjpeg-turbo)" -B "$work/libjpeg" -G Ninja -Wno-dev \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$stage" -DCMAKE_INSTALL_LIBDIR=lib \
  -DCMAKE_C_FLAGS="$lib_flags" \
  -DSIZE_T=4 -DHAVE_SIZE_T=1 -DUNSIGNED_LONG=4 -DHAVE_UNSIGNED_LONG=1 \
  -DWITH_SIMD=0 -DENABLE_SHARED=OFF -DENABLE_STATIC=ON -DWITH_TURBOJPEG=OFF -DWITH_JAVA=0 \
  >"$work/libjpeg.log" 2>&1 || { cat "$work/libjpeg.log" >&2; fail "libjpeg-turbo: configure failed"; }
cmake --build "$work/libjpeg" -j "$jobs" --target jpeg-static >>"$work/libjpeg.log" 2>&1 ||
  { tail -50 "$work/libjpeg.log" >&2; fail "libjpeg-turbo: build failed"; }
jsrc=$(src_dir libjpeg-turbo)
cp "$work/libjpeg/libjpeg.a" "$stage/lib/"
cp "$jsrc/jpeglib.h" "$jsrc/jerror.h" "$jsrc/jmorecfg.h" "$work/libjpeg/jconfig.h" "$stage/include/"

log "OpenCV ${used[opencv]} (configure takes minutes: each check runs through emcc)"
ocv_off=()
for w in IPP TBB OPENCL OPENCL_SVM OPENCLAMDFFT OPENCLAMDBLAS VA VA_INTEL TIFF WEBP OPENJPEG JASPER \
         OPENEXR GDAL GDCM FFMPEG GSTREAMER V4L GTK QT VTK 1394 EIGEN LAPACK OPENMP PROTOBUF ITT \
         QUIRC ADE CUDA OPENGL OPENVX HALIDE ONNX CAROTENE VULKAN AVIF \
         OPENNI OPENNI2 XIMEA GPHOTO2 DSHOW MSMF AVFOUNDATION PVAPI ARAVIS ANDROID_MEDIANDK \
         TESSERACT HDF5 CLP LIBREALSENSE; do
  ocv_off+=("-DWITH_$w=OFF")
done
emcmake cmake -S "$(src_dir opencv)" -B "$work/opencv" -G Ninja -Wno-dev \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$stage" \
  -DCMAKE_C_FLAGS="$lib_flags" -DCMAKE_CXX_FLAGS="$lib_flags" \
  -DBUILD_LIST=core,imgproc,imgcodecs,objdetect \
  -DCPU_BASELINE= -DCPU_DISPATCH= -DCV_ENABLE_INTRINSICS=$simd -DWITH_PTHREADS_PF=$threads \
  -DCV_TRACE=OFF \
  -DBUILD_SHARED_LIBS=OFF -DENABLE_PIC=FALSE \
  -DBUILD_TESTS=OFF -DBUILD_PERF_TESTS=OFF -DBUILD_EXAMPLES=OFF -DBUILD_opencv_apps=OFF \
  -DBUILD_DOCS=OFF -DBUILD_JAVA=OFF -DBUILD_opencv_python2=OFF -DBUILD_opencv_python3=OFF \
  -DBUILD_opencv_js=OFF -DOPENCV_GENERATE_PKGCONFIG=OFF -DINSTALL_C_EXAMPLES=OFF \
  -DENABLE_CCACHE=OFF \
  -DBUILD_JPEG=OFF -DBUILD_PNG=OFF -DBUILD_ZLIB=OFF -DBUILD_TIFF=OFF -DBUILD_WEBP=OFF \
  -DBUILD_OPENJPEG=OFF -DBUILD_OPENEXR=OFF -DBUILD_ITT=OFF -DBUILD_IPP_IW=OFF \
  -DWITH_JPEG=ON -DWITH_PNG=ON "${ocv_off[@]}" \
  -DJPEG_LIBRARY="$stage/lib/libjpeg.a" -DJPEG_INCLUDE_DIR="$stage/include" \
  -DPNG_LIBRARY="$stage/lib/libpng16.a" -DPNG_PNG_INCLUDE_DIR="$stage/include" \
  -DZLIB_LIBRARY="$stage/lib/libz.a" -DZLIB_INCLUDE_DIR="$stage/include" \
  >"$work/opencv.log" 2>&1 || { tail -80 "$work/opencv.log" >&2; fail "OpenCV: configure failed"; }
grep -q 'JPEG:.*libjpeg.a' "$work/opencv.log" && grep -q 'PNG:.*libpng16.a' "$work/opencv.log" ||
  { grep -A40 'Media I/O' "$work/opencv.log" >&2; fail "OpenCV: did not take the libjpeg and libpng built here"; }
if [[ "$threads" == ON ]]; then
  grep -q 'Parallel framework:.*pthreads' "$work/opencv.log" ||
    { grep -A5 'Parallel framework' "$work/opencv.log" >&2; fail "OpenCV: no pthreads parallel_for_"; }
fi
log "OpenCV build"
cmake --build "$work/opencv" -j "$jobs" >>"$work/opencv.log" 2>&1 &&
  cmake --install "$work/opencv" >>"$work/opencv.log" 2>&1 ||
  { tail -50 "$work/opencv.log" >&2; fail "OpenCV: build failed"; }

{
  echo "$key_text"
  echo "built from: opencv ${used[opencv]}, libjpeg-turbo ${used[libjpeg-turbo]}," \
    "libpng1.6 ${used[libpng1.6]}, zlib ${used[zlib]}"
} >"$stage/VERSIONS"
# The CMake packages name their libraries by absolute path: point them at the final folder.
# Only text files (CMake's package files) name the staging folder for later use; the archives
# also carry it in their objects' strings, and rewriting those to a path of another length would
# break the archives, so binary files (-I) are left as they are.
grep -rlIF "$stage" "$stage/lib" | xargs -r sed -i "s|$stage|$prefix|g"
mv "$stage" "$prefix"
rm -rf "$work"
log "done: $prefix"
echo "$prefix"
