#!/usr/bin/env bash
# Cross-builds the Windows product (brindle-receiver.exe, brindle-send.exe) and its tests with
# MinGW-w64, as a Release build (stripped; what users download) unless told otherwise.
# Usage: tools/build-windows.sh [BUILD_DIR [BUILD_TYPE]]   (default: build-win Release; JOBS=2)
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$src/build-win}
build_type=${2:-Release}
cmake -S "$src" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE="$build_type" -DBRINDLE_E2E=OFF
cmake --build "$build" -j"${JOBS:-2}"
# Only system DLLs may be needed: a foreign DLL name here means a runtime was not linked in.
dlls=$(x86_64-w64-mingw32-objdump -p "$build/brindle-receiver.exe" | awk '/DLL Name/ {print tolower($3)}')
for dll in $dlls; do
  case $dll in
    kernel32.dll|user32.dll|shell32.dll|ole32.dll|ws2_32.dll|iphlpapi.dll|avrt.dll|msvcrt.dll|advapi32.dll) ;;
    *) echo "brindle-receiver.exe needs a non-system DLL: $dll" >&2; exit 1 ;;
  esac
done
echo "built $build/brindle-receiver.exe ($build_type, $(stat -c %s "$build/brindle-receiver.exe") bytes;" \
  "DLLs: $(echo $dlls | tr '\n' ' '))"
