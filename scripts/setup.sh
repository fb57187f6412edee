#!/usr/bin/env bash
# Installs every Debian package the build, the tools and the test suites need.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  libfmt-dev libpulse-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev clang-format
  pulseaudio pulseaudio-utils sox unicode-data
  python3 python3-zeroconf python3-gi gir1.2-glib-2.0 avahi-utils avahi-daemon dbus dbus-daemon util-linux
  iproute2 bind9-dnsutils strace
  g++-mingw-w64-x86-64 wine wine64 xvfb
  python3-pefile
  pipewire pipewire-bin wireplumber pipewire-pulse lintian dpkg-dev man-db
  nsis osslsigncode openssl
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
fi
