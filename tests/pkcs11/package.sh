#!/usr/bin/env bash
# The Debian package of this build: installed, the card seen through p11-kit
# by a program that is not told where the module is, then removed again.
# Skipped (77) where it cannot install: not root, or a vela3ro already there.
# usage: package.sh BUILD_DIR
set -uo pipefail
source "$(dirname "$0")/tier_checks.sh"
build=${1:?usage: package.sh BUILD_DIR}

if [ "$(id -u)" -ne 0 ]; then echo "skipped: installing a package needs root"; exit 77; fi
if dpkg-query -W vela3ro >/dev/null 2>&1 || [ -e /etc/vela3ro/registry.reg ]; then
  echo "skipped: a vela3ro is installed on this machine already"
  exit 77
fi

run cpack 0 cpack --config "$build/CPackConfig.cmake" -B "$out/package"
deb=$(ls "$out"/package/vela3ro_*.deb 2>/dev/null | head -1)
[ -n "$deb" ] || { fail "cpack made no package: $(cat "$out/cpack.out")"; exit 1; }
run contents 0 dpkg-deb --contents "$deb"
for file in "/usr/lib/x86_64-linux-gnu/libvela3ro.so" "/usr/lib/x86_64-linux-gnu/pkcs11/libvela3ro-pkcs11.so" \
  "/usr/share/p11-kit/modules/vela3ro.module" "/usr/bin/vela3ro-tool" "/etc/vela3ro/registry.reg"; do
  grep -qF ".$file" "$out/contents.out" || fail "the package lacks $file"
done

trap 'dpkg --purge vela3ro >/dev/null 2>&1; rm -rf "$out"' EXIT
run install 0 dpkg -i "$deb"
run modules 0 p11-kit list-modules
grep -q "^vela3ro:" "$out/modules.out" || fail "p11-kit does not list the module: $(cat "$out/modules.out")"
# No --provider: p11tool goes through p11-kit, which found the module file.
run list 0 p11tool --list-all "$token_uri"
[ "$(grep -c 'Type: X.509 Certificate (EC/ECDSA-SECP256R1)' "$out/list.out")" -eq 8 ] ||
  fail "p11tool through p11-kit: $(cat "$out/list.out" "$out/list.err")"
run tool 0 vela3ro-tool --reader "Virtual PCD 00 00" scinfo
grep -qF "$serial" "$out/tool.out" || fail "the installed vela3ro-tool: $(cat "$out/tool.out" "$out/tool.err")"

run remove 0 dpkg --purge vela3ro
for file in /usr/lib/x86_64-linux-gnu/libvela3ro.so /usr/share/p11-kit/modules/vela3ro.module /etc/vela3ro; do
  [ -e "$file" ] && fail "$file is left after removal: $(ls -la "$file" 2>&1; cat "$out/remove.out" "$out/remove.err")"
done
exit $((failures > 0))
