# Cross-compiling for 64-bit Windows with Debian's mingw-w64 (POSIX threads model, which
# std::thread and std::mutex need). VETRIX_WIN64_PREFIX names the folder of the libraries built
# for Windows by scripts/build-windows-deps.sh; they and mingw's own files are the only places
# searched for headers, libraries and packages.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_AR x86_64-w64-mingw32-ar CACHE FILEPATH "archiver")
set(CMAKE_RANLIB x86_64-w64-mingw32-ranlib CACHE FILEPATH "ranlib")

list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VETRIX_WIN64_PREFIX)
if(NOT VETRIX_WIN64_PREFIX AND DEFINED ENV{VETRIX_WIN64_PREFIX})
  set(VETRIX_WIN64_PREFIX $ENV{VETRIX_WIN64_PREFIX})
endif()
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 ${VETRIX_WIN64_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
