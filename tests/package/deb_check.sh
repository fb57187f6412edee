#!/usr/bin/env bash
# The Debian package as a user gets it: build it, let lintian judge it (errors fail), install it
# with dpkg, run the installed programs, remove it again and check nothing of it is left.
# Needs root (dpkg -i).
set -euo pipefail
cd "$(dirname "$0")/../.."
fail() { echo "FAIL $*" >&2; exit 1; }

deb=$(bash tools/build-deb.sh | tail -n 1)
version=$(sed -n 's/^project(brindle_receiver VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ "$(basename "$deb")" = "brindle-receiver_${version}_amd64.deb" ] || fail "package name $deb"
echo "package: $deb ($(stat -c %s "$deb") bytes)"
dpkg-deb --field "$deb"
dpkg-deb --contents "$deb" | awk '{print $1, $6}'

echo "lintian:"
lintian --fail-on error "$deb" || fail "lintian reports errors"

dpkg -i "$deb"
trap 'dpkg -r brindle-receiver >/dev/null 2>&1 || true' EXIT
help=$(/usr/bin/brindle-receiver --help)
[ "$help" = "$(build-deb/brindle-receiver --help)" ] || fail "installed --help differs"
case $help in "Brindle receiver"*) ;; *) fail "brindle-receiver --help: $help" ;; esac
echo "ok   /usr/bin/brindle-receiver --help"
/usr/bin/brindle-send --help >/dev/null || fail "brindle-send --help"
# No sound server runs for CI's root: status says so and exits 1.
set +e
status=$(env -u PULSE_SERVER XDG_RUNTIME_DIR="$(mktemp -d)" /usr/bin/brindle-cable status)
rc=$?
set -e
printf '%s\n' "$status"
[ $rc -eq 1 ] && [ "${status%%$'\n'*}" = "installed: no" ] || fail "brindle-cable status ($rc)"
echo "ok   /usr/bin/brindle-cable status"
for page in brindle-receiver brindle-send brindle-cable; do
  man -w "$page" >/dev/null || fail "no manual page for $page"
done
echo "ok   manual pages"

dpkg -r brindle-receiver
trap - EXIT
for f in /usr/bin/brindle-receiver /usr/bin/brindle-send /usr/bin/brindle-cable \
         /usr/share/doc/brindle-receiver; do
  [ ! -e "$f" ] || fail "$f is left after dpkg -r"
done
echo "ok   dpkg -r removes everything"
