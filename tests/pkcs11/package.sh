#!/usr/bin/env bash
# The Debian package of this build: accepted by lintian, installed, the card
# seen through p11-kit by a program that is not told where the module is,
# then purged again; and
# once more with an administrator's own file in /etc/vela3ro, which the purge
# leaves there together with its directory (dpkg removes a directory of a
# package only when nothing else is left in it).
# All of it runs under dpkg's frontend lock, so that no other dpkg run (apt,
# or someone removing the package by hand) changes what it finds between its
# steps.
# Skipped (77) where it cannot install: not root, a vela3ro already there, or
# an /etc/vela3ro that holds files (someone's settings, not this test's).
# usage: package.sh BUILD_DIR DPKG_LOCK
set -uo pipefail
build=${1:?usage: package.sh BUILD_DIR DPKG_LOCK}
dpkg_lock=${2:?usage: package.sh BUILD_DIR DPKG_LOCK}

if [ "$(id -u)" -ne 0 ]; then echo "skipped: installing a package needs root"; exit 77; fi
[ -n "${DPKG_FRONTEND_LOCKED:-}" ] || exec "$dpkg_lock" "$0" "$@"
source "$(dirname "$0")/tier_checks.sh"

if dpkg-query -W vela3ro >/dev/null 2>&1; then
  echo "skipped: a vela3ro is installed on this machine already"
  exit 77
fi
if [ -e /etc/vela3ro ] && [ -n "$(ls -A /etc/vela3ro 2>&1)" ]; then
  echo "skipped: /etc/vela3ro holds files already: $(ls -A /etc/vela3ro 2>&1 | tr '\n' ' ')"
  exit 77
fi

run cpack 0 cpack --config "$build/CPackConfig.cmake" -B "$out/package"
deb=$(ls "$out"/package/vela3ro_*.deb 2>/dev/null | head -1)
[ -n "$deb" ] || { fail "cpack made no package: $(cat "$out/cpack.out")"; exit 1; }
# Debian's checker accepts it: no error, no warning (the deliberate layout is
# overridden in the package, with its reason).
run lintian 0 lintian --fail-on error,warning --no-tag-display-limit "$deb"
grep -qE "^(E|W):" "$out/lintian.out" && fail "lintian: $(cat "$out/lintian.out")"
run contents 0 dpkg-deb --contents "$deb"
for file in "/usr/lib/x86_64-linux-gnu/libvela3ro.so" "/usr/lib/x86_64-linux-gnu/pkcs11/libvela3ro-pkcs11.so" \
  "/usr/share/p11-kit/modules/vela3ro.module" "/usr/bin/vela3ro-tool" "/etc/vela3ro/registry.reg"; do
  grep -qF ".$file" "$out/contents.out" || fail "the package lacks $file"
done
# Everything in the package but its directories (the sixth column: ./path).
packaged=$(awk '$1 !~ /^d/ { print substr($6, 2) }' "$out/contents.out")

admin_file=/etc/vela3ro/site.reg
trap 'dpkg --purge vela3ro >/dev/null 2>&1; rm -f "$admin_file"; rmdir /etc/vela3ro 2>/dev/null; rm -rf "$out"' EXIT

# purge ROUND: purges the package; none of its files may be left. What dpkg
# said goes with a failure: its warnings tell why it kept something.
purge() {
  local round=$1 file
  run "$round.purge" 0 dpkg --purge vela3ro
  for file in $packaged; do
    [ -e "$file" ] && fail "$round: $file is left after the purge: $(cat "$out/$round.purge.out" "$out/$round.purge.err")"
  done
}

run install 0 dpkg -i "$deb"
run modules 0 p11-kit list-modules
grep -q "^vela3ro:" "$out/modules.out" || fail "p11-kit does not list the module: $(cat "$out/modules.out")"
# No --provider: p11tool goes through p11-kit, which found the module file.
run list 0 p11tool --list-all "$token_uri"
[ "$(grep -c 'Type: X.509 Certificate (EC/ECDSA-SECP256R1)' "$out/list.out")" -eq 8 ] ||
  fail "p11tool through p11-kit: $(cat "$out/list.out" "$out/list.err")"
run tool 0 vela3ro-tool --reader "Virtual PCD 00 00" scinfo
grep -qF "$serial" "$out/tool.out" || fail "the installed vela3ro-tool: $(cat "$out/tool.out" "$out/tool.err")"
purge alone
[ -e /etc/vela3ro ] &&
  fail "alone: /etc/vela3ro is left after the purge: $(ls -la /etc/vela3ro; cat "$out/alone.purge.out" "$out/alone.purge.err")"

# An administrator's file beside the package's registry.reg stays, and with
# it the directory.
mkdir -p /etc/vela3ro
echo "; the administrator's own" >"$admin_file"
run install_beside 0 dpkg -i "$deb"
purge beside
[ "$(cat "$admin_file" 2>&1)" = "; the administrator's own" ] || fail "beside: the purge took or changed $admin_file"
[ "$(ls -A /etc/vela3ro 2>&1)" = "site.reg" ] || fail "beside: /etc/vela3ro after the purge: $(ls -A /etc/vela3ro 2>&1)"
exit $((failures > 0))
