#!/usr/bin/env bash
# Builds the libraries of the Windows build with Debian's mingw-w64 from Debian's own source
# packages: zlib, libpng, libjpeg-turbo, libtiff, libwebp and OpenCV at exactly the versions of
# the native libraries (the verdicts and saved bytes equal the desktop's only with the same
# code), and Qt at the version of the native Qt, all as static libraries. Nothing prebuilt is
# downloaded. The result is cached outside the clone, keyed by the versions, so that later builds
# (and other clones on the same machine) reuse it.
#
# Prints the folder of the built libraries on stdout. Needs scripts/setup.sh --windows first.
# VETRIX_WIN64_CACHE overrides the cache folder.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck disable=SC2034  # read by lib/debian-sources.sh
me="build-windows-deps"
# shellcheck source=scripts/lib/debian-sources.sh
source scripts/lib/debian-sources.sh

# Raise this when the way the libraries are built changes, so that no stale build is reused.
readonly recipe=1
toolchain=$PWD/cmake/mingw-w64.cmake
# The shared compiler cache would keep objects of libraries that are built once per version.
unset CMAKE_C_COMPILER_LAUNCHER CMAKE_CXX_COMPILER_LAUNCHER

declare -A source_of=(
  [opencv]=libopencv-dev
  [libjpeg-turbo]=libjpeg62-turbo-dev
  [libpng1.6]=libpng-dev
  [zlib]=zlib1g-dev
  [tiff]=libtiff-dev
  [libwebp]=libwebp-dev
  [qt6-base]=qt6-base-dev
)
sources=(zlib libpng1.6 libjpeg-turbo tiff libwebp opencv qt6-base)
declare -A version
for src in "${sources[@]}"; do
  version[$src]=$(native_source_version "${source_of[$src]}")
done
compiler_version=$(dpkg-query -W -f='${Version}' g++-mingw-w64-x86-64-posix 2>/dev/null) ||
  fail "the mingw-w64 compiler is not installed; run scripts/setup.sh --windows"

key_text="recipe $recipe
mingw-w64 g++ $compiler_version
$(for src in "${sources[@]}"; do echo "$src ${version[$src]}"; done)
toolchain $(sha256sum <"$toolchain" | cut -c1-16)"
open_cache "${VETRIX_WIN64_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/vetrix}" win64 "$key_text"
# The libraries are installed straight into their final folder, because CMake and Qt record
# where they are; VERSIONS, written last, is what marks the folder complete.
rm -rf "$work" "$prefix"
mkdir -p "$work/src" "$prefix"/{include,lib}
started=$SECONDS
log() { echo "$me: [$((SECONDS - started)) s] $*" >&2; }
jobs=$(nproc)

log "fetching Debian sources"
declare -A used
pairs=()
for src in "${sources[@]}"; do pairs+=("$src=${version[$src]}"); done
fetch_sources "$work/src" "${pairs[@]}"
src_dir() { source_dir "$work/src" "$1"; }

# cmake_build NAME SOURCE [OPTIONS...]: configures, builds and installs one library.
cmake_build() {
  local name=$1 src=$2
  shift 2
  cmake -S "$src" -B "$work/$name" -G Ninja -Wno-dev -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DVETRIX_WIN64_PREFIX="$prefix" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DCMAKE_INSTALL_LIBDIR=lib -DBUILD_SHARED_LIBS=OFF "$@" >"$work/$name.log" 2>&1 ||
    { tail -80 "$work/$name.log" >&2; fail "$name: configure failed"; }
  cmake --build "$work/$name" -j "$jobs" >>"$work/$name.log" 2>&1 &&
    cmake --install "$work/$name" >>"$work/$name.log" 2>&1 ||
    { tail -50 "$work/$name.log" >&2; fail "$name: build failed"; }
}

log "zlib ${used[zlib]}"
build_zlib "$(src_dir zlib)" "$work/zlib" "$prefix" x86_64-w64-mingw32-ar \
  x86_64-w64-mingw32-gcc-posix -O2
zlib=(-DZLIB_LIBRARY="$prefix/lib/libz.a" -DZLIB_INCLUDE_DIR="$prefix/include")

log "libpng ${used[libpng1.6]}"
cmake_build libpng "$(src_dir libpng1.6)" -DPNG_SHARED=OFF -DPNG_STATIC=ON -DPNG_TESTS=OFF \
  -DPNG_EXECUTABLES=OFF -DPNG_BUILD_ZLIB=OFF "${zlib[@]}"

log "libjpeg-turbo ${used[libjpeg-turbo]}"
# The SIMD code would need nasm; the C code gives the same bytes.
# Its own install-folder logic takes a relative library folder as relative to the current folder.
cmake_build libjpeg "$(src_dir libjpeg-turbo)" -DWITH_SIMD=0 -DENABLE_SHARED=OFF \
  -DENABLE_STATIC=ON -DWITH_TURBOJPEG=OFF -DWITH_JAVA=0 -DCMAKE_INSTALL_LIBDIR="$prefix/lib"
[[ -f "$prefix/lib/libjpeg.a" ]] || fail "libjpeg-turbo: libjpeg.a was not installed into $prefix/lib"
jpeg=(-DJPEG_LIBRARY="$prefix/lib/libjpeg.a" -DJPEG_INCLUDE_DIR="$prefix/include")

log "libtiff ${used[tiff]}"
cmake_build tiff "$(src_dir tiff)" -Dtiff-tools=OFF -Dtiff-tests=OFF -Dtiff-contrib=OFF \
  -Dtiff-docs=OFF -Dcxx=OFF -Djbig=OFF -Dlerc=OFF -Dlzma=OFF -Dzstd=OFF -Dwebp=OFF \
  -Dlibdeflate=OFF -Dzlib=ON -Djpeg=ON "${zlib[@]}" "${jpeg[@]}"

log "libwebp ${used[libwebp]}"
webp_off=()
for t in ANIM_UTILS CWEBP DWEBP GIF2WEBP IMG2WEBP VWEBP WEBPINFO WEBPMUX EXTRAS; do
  webp_off+=("-DWEBP_BUILD_$t=OFF")
done
cmake_build libwebp "$(src_dir libwebp)" "${webp_off[@]}"

log "OpenCV ${used[opencv]}"
ocv_off=()
# Everything that is not decoding JPEG, PNG, TIFF and WebP is left out, above all whatever
# OpenCV would download (IPP, FFmpeg's DLL).
for w in IPP TBB OPENCL OPENCL_SVM OPENCLAMDFFT OPENCLAMDBLAS OPENCL_D3D11_NV VA VA_INTEL \
         OPENJPEG JASPER OPENEXR GDAL GDCM FFMPEG GSTREAMER V4L GTK QT VTK 1394 EIGEN LAPACK \
         OPENMP PROTOBUF ITT QUIRC ADE CUDA OPENGL OPENVX HALIDE ONNX CAROTENE VULKAN AVIF \
         OPENNI OPENNI2 XIMEA GPHOTO2 DSHOW MSMF AVFOUNDATION PVAPI ARAVIS ANDROID_MEDIANDK \
         TESSERACT HDF5 CLP LIBREALSENSE WIN32UI DIRECTX IMGCODEC_HDR IMGCODEC_SUNRASTER \
         IMGCODEC_PXM IMGCODEC_PFM; do
  ocv_off+=("-DWITH_$w=OFF")
done
cmake_build opencv "$(src_dir opencv)" \
  -DBUILD_LIST=core,imgproc,imgcodecs,objdetect -DCV_TRACE=OFF \
  -DBUILD_TESTS=OFF -DBUILD_PERF_TESTS=OFF -DBUILD_EXAMPLES=OFF -DBUILD_opencv_apps=OFF \
  -DBUILD_DOCS=OFF -DBUILD_JAVA=OFF -DBUILD_opencv_python2=OFF -DBUILD_opencv_python3=OFF \
  -DOPENCV_GENERATE_PKGCONFIG=OFF -DINSTALL_C_EXAMPLES=OFF -DENABLE_CCACHE=OFF \
  -DOPENCV_LIB_INSTALL_PATH=lib -DOPENCV_3P_LIB_INSTALL_PATH=lib/opencv4/3rdparty \
  -DOPENCV_CONFIG_INSTALL_PATH=lib/cmake/opencv4 -DOPENCV_INCLUDE_INSTALL_PATH=include/opencv4 \
  -DOPENCV_BIN_INSTALL_PATH=bin -DOPENCV_OTHER_INSTALL_PATH=share/opencv4 \
  -DBUILD_JPEG=OFF -DBUILD_PNG=OFF -DBUILD_ZLIB=OFF -DBUILD_TIFF=OFF -DBUILD_WEBP=OFF \
  -DBUILD_OPENJPEG=OFF -DBUILD_OPENEXR=OFF -DBUILD_ITT=OFF -DBUILD_IPP_IW=OFF \
  -DWITH_JPEG=ON -DWITH_PNG=ON -DWITH_TIFF=ON -DWITH_WEBP=ON "${ocv_off[@]}" \
  "${zlib[@]}" "${jpeg[@]}" \
  -DPNG_LIBRARY="$prefix/lib/libpng16.a" -DPNG_PNG_INCLUDE_DIR="$prefix/include" \
  -DTIFF_LIBRARY="$prefix/lib/libtiff.a" -DTIFF_INCLUDE_DIR="$prefix/include" \
  -DWEBP_LIBRARY="$prefix/lib/libwebp.a" -DWEBP_INCLUDE_DIR="$prefix/include"
for codec in JPEG PNG TIFF WEBP; do
  grep -q "$codec:.*$prefix" "$work/opencv.log" ||
    { grep -A40 'Media I/O' "$work/opencv.log" >&2; fail "OpenCV did not take $codec from $prefix"; }
done

log "Qt ${used[qt6-base]} (the longest part: half an hour and more on two cores)"
# Core, Gui, Widgets and the Windows platform plugin. PNG and zlib are the libraries built above,
# so that one copy of each is linked into the window; Qt's own JPEG, GIF and ICO readers are left
# out (the window reads photos through OpenCV). Tablet support needs a header Debian's source
# removes; dynamicgl must be off with OpenGL off; direct2d stays on, as the plugin needs it.
qt_off=()
for f in sql network printsupport opengl dbus concurrent xml testlib vulkan icu jpeg gif ico \
         tabletevent dynamicgl zstd system_jpeg system_freetype system_harfbuzz system_pcre2; do
  qt_off+=("-DFEATURE_$f=OFF")
done
cmake_build qt "$(src_dir qt6-base)" -DQT_HOST_PATH=/usr \
  -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
  -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF \
  -DFEATURE_system_zlib=ON -DFEATURE_system_libpng=ON "${qt_off[@]}" \
  "${zlib[@]}" -DPNG_LIBRARY="$prefix/lib/libpng16.a" -DPNG_PNG_INCLUDE_DIR="$prefix/include"

{
  echo "$key_text"
  echo -n "built from:"
  for src in "${sources[@]}"; do echo -n " $src ${used[$src]}"; done
  echo
  echo "built in $((SECONDS - started)) s on $(nproc) cores"
} >"$prefix/VERSIONS"
rm -rf "$work"
log "done: $prefix"
echo "$prefix"
