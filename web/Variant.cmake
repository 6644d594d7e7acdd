# The variant of the WebAssembly build, which sets how every part of the program is compiled
# (included before the first target, so that the engine's libraries get the flags too):
#   scalar        one thread, no vector instructions: runs in every browser
#   simd          WebAssembly SIMD (-msimd128), with OpenCV's own vector code
#   simd-threads  SIMD, and OpenCV's parallel_for_ over pthreads (-pthread: shared memory)
# Each variant links against the OpenCV built for it (scripts/build-web-deps.sh VARIANT); the
# scalar build is the full one (site, node command), the others build their engine and node
# command, which the scalar build's site gathers.
set(VETRIX_WEB_VARIANT scalar CACHE STRING "The WebAssembly build: scalar, simd or simd-threads")
set_property(CACHE VETRIX_WEB_VARIANT PROPERTY STRINGS scalar simd simd-threads)
if(VETRIX_WEB_VARIANT STREQUAL "simd")
  add_compile_options(-msimd128)
elseif(VETRIX_WEB_VARIANT STREQUAL "simd-threads")
  add_compile_options(-msimd128 -pthread)
  add_link_options(-pthread)
elseif(NOT VETRIX_WEB_VARIANT STREQUAL "scalar")
  message(FATAL_ERROR "VETRIX_WEB_VARIANT must be scalar, simd or simd-threads")
endif()
