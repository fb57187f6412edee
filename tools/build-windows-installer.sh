#!/usr/bin/env bash
# Builds the Windows installer: the Windows build (tools/build-windows.sh), then NSIS.
# Usage: tools/build-windows-installer.sh [BUILD_DIR]   (default: build-win)
# Result: BUILD_DIR/brindle-receiver-setup-{version}.exe, the version being the project's.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$src/build-win}
build=$(mkdir -p "$build" && cd "$build" && pwd)

"$src/tools/build-windows.sh" "$build"

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
if [ -z "$version" ]; then
  echo "no CMAKE_PROJECT_VERSION in $build/CMakeCache.txt" >&2
  exit 1
fi
# The installer names the cable and its download page exactly as the receiver does.
constant() {
  sed -n "s/.*constexpr std::string_view $1 = \"\\(.*\\)\";.*/\\1/p" "$src/$2"
}
cable=$(constant DEFAULT_DEVICE_QUERY src/audio/device_selection.h)
cable_page=$(constant DOWNLOAD_PAGE src/audio/device_selection.cpp)
if [ -z "$cable" ] || [ -z "$cable_page" ]; then
  echo "cannot read the cable name or its download page from src/audio" >&2
  exit 1
fi

out="$build/brindle-receiver-setup-$version.exe"
# -WX: a warning (an unused string, a missing page) fails the build.
makensis -V2 -WX -INPUTCHARSET UTF8 \
  "-DVERSION=$version" "-DBIN_DIR=$build" "-DOUT_FILE=$out" \
  "-DCABLE=$cable" "-DCABLE_PAGE=$cable_page" \
  "$src/installer/windows/brindle-receiver.nsi"
echo "built $out ($(stat -c %s "$out") bytes)"
