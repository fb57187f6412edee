#!/usr/bin/env bash
# Builds the Windows installer: the Windows build (tools/build-windows.sh), then NSIS.
# Usage: tools/build-windows-installer.sh [BUILD_DIR]   (default: build-win)
# Result: BUILD_DIR/brindle-receiver-setup-{version}.exe, the version being the project's.
# BRINDLE_WINDOWS_PREBUILT=1 packages the .exe files already in BUILD_DIR without building.
# Signing: with BRINDLE_SIGN_PFX (a PKCS#12 file with an RSA key) and BRINDLE_SIGN_PASSWORD set,
# every PE file in the setup is signed with osslsigncode (SHA-256): both programs, the NSIS
# plug-ins (signed copies the build packs instead of NSIS's own), the uninstaller and the setup;
# time-stamped when BRINDLE_SIGN_TIMESTAMP_URL names an RFC 3161 server.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)

# Signs FILE in place. The password goes through a descriptor, never on a command line.
sign_file() {
  local file=$1 timestamp=() log
  if [ -n "${BRINDLE_SIGN_TIMESTAMP_URL:-}" ]; then
    timestamp=(-ts "$BRINDLE_SIGN_TIMESTAMP_URL")
  fi
  if ! log=$(osslsigncode sign -pkcs12 "$BRINDLE_SIGN_PFX" -readpass /dev/fd/3 -h sha256 \
    -n "Brindle receiver" "${timestamp[@]}" -in "$file" -out "$file.signing" 2>&1 \
    3<<<"$BRINDLE_SIGN_PASSWORD"); then
    rm -f "$file.signing"
    echo "signing $(basename "$file") failed: $(grep -v '^\s*$' <<<"$log" | head -n 1)" >&2
    return 1
  fi
  mv "$file.signing" "$file"
}

# makensis signs the uninstaller through this script before it packs it.
if [ "${1:-}" = --sign-file ]; then
  sign_file "$2"
  exit
fi

signing=
if [ -n "${BRINDLE_SIGN_PFX:-}" ] && [ -n "${BRINDLE_SIGN_PASSWORD:-}" ]; then
  if [ ! -r "$BRINDLE_SIGN_PFX" ]; then
    echo "BRINDLE_SIGN_PFX: cannot read $BRINDLE_SIGN_PFX" >&2
    exit 1
  fi
  # Before a long build: a wrong password or a key Windows would not accept is told in one line.
  # -legacy opens older exports.
  pfx() {
    openssl pkcs12 -in "$BRINDLE_SIGN_PFX" -passin fd:3 "$@" 3<<<"$BRINDLE_SIGN_PASSWORD" \
      2>/dev/null || openssl pkcs12 -legacy -in "$BRINDLE_SIGN_PFX" -passin fd:3 "$@" \
      3<<<"$BRINDLE_SIGN_PASSWORD" 2>/dev/null
  }
  if ! pfx -noout >/dev/null; then
    echo "BRINDLE_SIGN_PFX: $BRINDLE_SIGN_PFX does not open with BRINDLE_SIGN_PASSWORD (wrong password?)" >&2
    exit 1
  fi
  # Smart App Control trusts RSA signatures only: an ECC-signed setup would still be blocked.
  key=$(pfx -nokeys -clcerts | openssl x509 -noout -text 2>/dev/null |
    sed -n 's/^ *Public Key Algorithm: *//p' | head -n 1)
  if [ "$key" != rsaEncryption ]; then
    echo "BRINDLE_SIGN_PFX: $BRINDLE_SIGN_PFX holds a non-RSA key (${key:-unreadable}); Smart App Control accepts only RSA signatures" >&2
    exit 1
  fi
  signing=1
fi
build=${1:-$src/build-win}
build=$(mkdir -p "$build" && cd "$build" && pwd)

if [ "${BRINDLE_WINDOWS_PREBUILT:-}" != 1 ]; then
  "$src/tools/build-windows.sh" "$build"
fi

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
sign_define=()
if [ -n "$signing" ]; then
  sign_file "$build/brindle-receiver.exe"
  sign_file "$build/brindle-send.exe"
  # Setup unpacks its plug-ins and loads them: it packs signed copies of all of NSIS's own, so
  # that none it uses can come from NSIS's folder unsigned.
  nsis_dir=$(makensis -HDRINFO | grep -o 'NSISDIR=[^,]*' | head -n 1)
  plugins="$build/nsis-plugins"
  rm -rf "$plugins"
  mkdir -p "$plugins"
  cp "${nsis_dir#NSISDIR=}"/Plugins/amd64-unicode/*.dll "$plugins/"
  for plugin in "$plugins"/*.dll; do
    sign_file "$plugin"
  done
  sign_define=("-DSIGN_FILE_COMMAND=bash \"$src/tools/build-windows-installer.sh\" --sign-file"
    "-DSIGNED_PLUGINS=$plugins")
else
  echo "not signed: set BRINDLE_SIGN_PFX and BRINDLE_SIGN_PASSWORD to sign the release"
fi
# -WX: a warning (an unused string, a missing page) fails the build.
makensis -V2 -WX -INPUTCHARSET UTF8 \
  "-DVERSION=$version" "-DBIN_DIR=$build" "-DOUT_FILE=$out" \
  "-DCABLE=$cable" "-DCABLE_PAGE=$cable_page" "${sign_define[@]}" \
  "$src/installer/windows/brindle-receiver.nsi"
if [ -n "$signing" ]; then
  sign_file "$out"
fi
echo "built $out ($(stat -c %s "$out") bytes${signing:+, signed})"
