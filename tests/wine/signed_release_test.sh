#!/usr/bin/env bash
# A release signed with a throwaway self-signed certificate: the setup and every PE file it
# holds (unpacked with 7z, the uninstaller's own plug-ins included) and the uninstaller it installs
# (under Wine) verify with osslsigncode; a wrong password or an ECC key fails the build with one
# line; without a certificate the build says it is unsigned. No time-stamp: no network.
# Usage: signed_release_test.sh SOURCE_DIR WINDOWS_BUILD_DIR
set -euo pipefail
src=$1
build=$2
work=$(mktemp -d /tmp/brindle-signing.XXXXXX)
export WINEPREFIX=$work/prefix WINEDEBUG=-all
cleanup() {
  [ -d "$WINEPREFIX" ] && /usr/lib/wine/wineserver64 -k >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
failed=0
check() { # name, then the command that must succeed
  local name=$1
  shift
  if "$@"; then echo "ok   $name"; else echo "FAIL $name"; failed=1; fi
}

for name in brindle-receiver.exe brindle-send.exe CMakeCache.txt; do
  cp "$build/$name" "$work/"
done
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Brindle test signer" \
  -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
openssl pkcs12 -export -in "$work/cert.pem" -inkey "$work/key.pem" -out "$work/signer.pfx" \
  -passout pass:throwaway
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
  -subj "/CN=Brindle test signer" -keyout "$work/ec-key.pem" -out "$work/ec-cert.pem" 2>/dev/null
openssl pkcs12 -export -in "$work/ec-cert.pem" -inkey "$work/ec-key.pem" -out "$work/ec.pfx" \
  -passout pass:throwaway
package() {
  BRINDLE_WINDOWS_PREBUILT=1 BRINDLE_SIGN_TIMESTAMP_URL= bash "$src/tools/build-windows-installer.sh" "$work" 2>&1
}
verified() {
  osslsigncode verify -CAfile "$work/cert.pem" -in "$1" >"$work/verify.log" 2>&1 ||
    { cat "$work/verify.log"; return 1; }
}

out=$(BRINDLE_SIGN_PFX= BRINDLE_SIGN_PASSWORD= package)
check "unsigned build says so in one line" \
  test "$(grep -c '^not signed: ' <<<"$out")" = 1
check "unsigned setup carries no signature" bash -c "! osslsigncode verify -in $work/*-setup-*.exe >/dev/null 2>&1"

status=0
out=$(BRINDLE_SIGN_PFX=$work/signer.pfx BRINDLE_SIGN_PASSWORD=wrong package) || status=$?
check "a wrong password fails the build with one line" \
  test "$status" != 0 -a "$out" = "BRINDLE_SIGN_PFX: $work/signer.pfx does not open with BRINDLE_SIGN_PASSWORD (wrong password?)"

status=0
out=$(BRINDLE_SIGN_PFX=$work/ec.pfx BRINDLE_SIGN_PASSWORD=throwaway package) || status=$?
check "an ECC key fails the build with one line" \
  test "$status" != 0 -a "$out" = "BRINDLE_SIGN_PFX: $work/ec.pfx holds a non-RSA key (id-ecPublicKey); Smart App Control accepts only RSA signatures"

out=$(BRINDLE_SIGN_PFX=$work/signer.pfx BRINDLE_SIGN_PASSWORD=throwaway package) ||
  { echo "$out"; exit 1; }
setup=$(ls "$work"/brindle-receiver-setup-*.exe)
check "the setup is signed and verifies" verified "$setup"

# Every PE file inside, and inside the uninstaller it holds (it unpacks plug-ins of its own).
7z x -y -o"$work/unpacked" "$setup" >/dev/null
7z x -y -o"$work/unpacked/uninstaller" "$work/unpacked/uninstall.exe" >/dev/null
inside=()
while IFS= read -r -d '' file; do
  [ "$(head -c 2 "$file")" = MZ ] && inside+=("${file#"$work/unpacked/"}")
done < <(find "$work/unpacked" -type f -print0 | sort -z)
check "the setup holds both programs, the uninstaller and the plug-ins it loads" test \
  "${inside[*]}" = "\$PLUGINSDIR/System.dll \$PLUGINSDIR/nsDialogs.dll \$PLUGINSDIR/nsExec.dll brindle-receiver.exe brindle-send.exe uninstall.exe uninstaller/\$PLUGINSDIR/System.dll uninstaller/\$PLUGINSDIR/nsExec.dll"
for file in "${inside[@]}"; do
  check "$file in the setup is signed and verifies" verified "$work/unpacked/$file"
done

/usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1
/usr/lib/wine/wine64 "$setup" /S /AUTOSTART=0 /FIREWALL=0 "/D=C:\\brindle" >/dev/null 2>&1
check "the installed uninstaller is signed and verifies" verified "$WINEPREFIX/drive_c/brindle/uninstall.exe"
check "the installed receiver is the signed one" cmp -s "$work/brindle-receiver.exe" \
  "$WINEPREFIX/drive_c/brindle/brindle-receiver.exe"
exit $failed
