#!/usr/bin/env bash
# Cross-builds Vetrix for 64-bit Windows with mingw-w64, statically linked:
#   build-windows/bin/vetrix.exe, vetrix-audit.exe   the programs (no DLL beyond Windows' own)
#   build-windows/bin/*_test.exe                     the engine's and the platform's tests
#   build-windows/vetrix-<version>-win64.zip          the portable package
#   build-windows/vetrix-<version>-setup.exe          the installer (per user, no admin rights)
# The first run also builds Qt, OpenCV and the image libraries for Windows from Debian's
# sources (scripts/build-windows-deps.sh); later runs take them from the cache.
#   --no-packages   build the programs and tests only
set -euo pipefail
cd "$(dirname "$0")/.."

packages=1
for arg in "$@"; do
  case "$arg" in
    --no-packages) packages=0 ;;
    *) echo "usage: $0 [--no-packages]" >&2; exit 2 ;;
  esac
done

scripts/setup.sh --windows
prefix=$(scripts/build-windows-deps.sh)
export VETRIX_WIN64_PREFIX=$prefix
# pkg-config looks at the libraries built for Windows only, never at the system's own.
export PKG_CONFIG_LIBDIR=$prefix/lib/pkgconfig
unset PKG_CONFIG_PATH

cmake --preset windows >/dev/null
jobs=${VETRIX_JOBS:-2}
targets=(vetrix vetrix-audit windows_tests)
((packages)) && targets+=(windows_packages)
nice -n 10 cmake --build --preset windows -j "$jobs" --target "${targets[@]}"

# Nothing but Windows' own libraries may be needed at run time.
allowed='^(KERNEL32|USER32|GDI32|SHELL32|SHCORE|ADVAPI32|AUTHZ|OLE32|OLEAUT32|COMDLG32|IMM32|WINMM|WS2_32|VERSION|UXTHEME|DWMAPI|SHLWAPI|SETUPAPI|CFGMGR32|NETAPI32|USERENV|WTSAPI32|MPR|RPCRT4|D3D9|D3D11|D3D12|DXGI|DWRITE|D2D1|bcrypt|msvcrt|api-ms-win-.*)\.dll$'
for exe in build-windows/bin/*.exe; do
  bad=$(x86_64-w64-mingw32-objdump -p "$exe" | awk '/DLL Name:/ { print $3 }' |
          grep -Eiv "$allowed" || true)
  if [[ -n "$bad" ]]; then
    echo "build-windows: $exe needs libraries Windows does not have: $bad" >&2
    exit 1
  fi
done
echo "build-windows: the programs are in build-windows/bin$( ((packages)) &&
  echo ", the packages in build-windows")" >&2
