#!/usr/bin/env bash
# Builds the Debian package build-deb/brindle-receiver_<version>_amd64.deb: a Release build of
# its own with Debian's hardening flags, packed by CPack (stripped binaries, dependencies from
# dpkg-shlibdeps). Prints the package's path.
set -euo pipefail
cd "$(dirname "$0")/.."
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cppflags=$(dpkg-buildflags --get CPPFLAGS)
cmake -S . -B build-deb -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DBRINDLE_BUILD_TESTS=OFF \
  -DCMAKE_C_FLAGS="$cppflags $(dpkg-buildflags --get CFLAGS)" \
  -DCMAKE_CXX_FLAGS="$cppflags $(dpkg-buildflags --get CXXFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >/dev/null
cmake --build build-deb -j"${JOBS:-$(nproc)}"
rm -f build-deb/*.deb
(cd build-deb && cpack -G DEB >/dev/null)
ls build-deb/*.deb
