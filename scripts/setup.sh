#!/usr/bin/env bash
# Installs the Debian packages the build, the tools and the test suites need. With "run" only
# those that building and running the receiver need (scripts/run.sh), not the test toolchain.
set -euo pipefail

run_packages=(
  build-essential cmake ninja-build pkg-config
  libfmt-dev libpulse-dev libpipewire-0.3-dev
  pulseaudio pulseaudio-utils
)
packages=(
  "${run_packages[@]}" git
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev clang-format
  sox unicode-data
  python3 python3-zeroconf python3-gi gir1.2-glib-2.0 avahi-utils avahi-daemon dbus dbus-daemon util-linux
  iproute2 bind9-dnsutils strace
  g++-mingw-w64-x86-64 wine wine64 xvfb
  python3-pefile
  pipewire pipewire-bin wireplumber pipewire-pulse lintian dpkg-dev man-db
  nsis osslsigncode openssl p7zip-full
)

[ "${1:-}" = run ] && packages=("${run_packages[@]}")

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
