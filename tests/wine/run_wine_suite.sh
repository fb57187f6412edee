#!/usr/bin/env bash
# The Windows build and all of its tests under Wine: the unit tests through ctest (in a
# throwaway Wine prefix) and the end-to-end Wine suites (tests/wine/wine_e2e.py and
# installer_e2e.py, which make their own prefix, PulseAudio server and network namespaces;
# need root).
# Usage: tests/wine/run_wine_suite.sh   (BRINDLE_WIN_BUILD_DIR, BRINDLE_NATIVE_BUILD_DIR, JOBS)
set -euo pipefail
src=$(cd "$(dirname "$0")/../.." && pwd)
build=${BRINDLE_WIN_BUILD_DIR:-$src/build-win}
native=${BRINDLE_NATIVE_BUILD_DIR:-$src/build}

# The Windows build (tools/build-windows.sh), then its installer for the installer suite.
"$src/tools/build-windows-installer.sh" "$build"
# The phone of the suite is the native brindle-send (Wine's sockets live in wineserver, which
# sits in the PC's namespace).
if [ ! -x "$native/brindle-send" ]; then
  cmake -S "$src" -B "$native" -G Ninja
  cmake --build "$native" --target brindle-send -j"${JOBS:-2}"
fi

prefix=$(mktemp -d /tmp/brindle-wine-unit.XXXXXX)
wineserver=/usr/lib/wine/wineserver64
[ -x "$wineserver" ] || wineserver=wineserver
cleanup() {
  WINEPREFIX=$prefix "$wineserver" -k >/dev/null 2>&1 || true
  rm -rf "$prefix"
}
trap cleanup EXIT
export WINEPREFIX=$prefix WINEDEBUG=-all BRINDLE_NATIVE_BUILD_DIR=$native
/usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1
ctest --test-dir "$build" --output-on-failure
