#!/usr/bin/env bash
# vela3ro-tool's view of the card's files through pcscd: scinfo lists the
# eight containers with names, certificates and public keys, each certificate
# carrying the card's key; ls and cat read the files as a host does.
# usage: tool_files.sh TOOL  (environment: VELA_CARD_SERIAL)
set -uo pipefail
tool=$1
serial=${VELA_CARD_SERIAL:?}
source "$(dirname "$0")/tool_checks.sh"

# The containers of scinfo, each checked on its own.
run scinfo 0 --json scinfo
expected='[
  [0, "DF02-C000", "valid, default", "signature",    "ksc00", "ECS1"],
  [1, "DF02-4331", "valid",          "signature",    "ksc01", "ECS1"],
  [2, "DF02-C500", "valid",          "signature",    "ksc02", "ECS1"],
  [3, "DF02-4371", "valid",          "signature",    "ksc03", "ECS1"],
  [4, "DF02-C200", "valid",          "key exchange", "kxc04", "ECK1"],
  [5, "DF02-43B1", "valid",          "key exchange", "kxc05", "ECK1"],
  [6, "DF02-C201", "valid",          "key exchange", "kxc06", "ECK1"],
  [7, "DF01-C001", "valid",          "signature",    "ksc07", "ECS1"]]'
jq -e --arg serial "$serial" --argjson expected "$expected" '
    (.containers | length) == 8
    and ([.containers[] | [.index, (.name | ltrimstr($serial + "-")), .flags, .keyUse,
                           (.certificate.file | ltrimstr("mscp/")), .publicKey.magic]] == $expected)
    and all(.containers[]; .keySizeBits == 256
            and (.certificate.subject | length) > 0 and (.certificate.issuer | length) > 0
            and (.certificate.serialNumber | length) > 0 and (.certificate.notAfter | length) > 0
            and (.publicKey.x | test("^[0-9A-F]{64}$")) and (.publicKey.y | test("^[0-9A-F]{64}$"))
            and .certificate.publicKey == "04" + .publicKey.x + .publicKey.y
            and .certificateKeyMatchesCard == true)' \
  "$out/scinfo.out" >/dev/null || fail "scinfo: containers not as expected: $(jq -c .containers "$out/scinfo.out")"
# Containers 0 and 1 share a key but not a certificate; 6 and 7 share a key
# file id but live in different directories, so their keys differ.
jq -e '.containers[0].publicKey == .containers[1].publicKey
       and .containers[0].certificate.serialNumber != .containers[1].certificate.serialNumber
       and .containers[6].publicKey.x != .containers[7].publicKey.x' "$out/scinfo.out" >/dev/null ||
  fail "scinfo: shared and distinct keys not as expected"

run text 0 scinfo
grep -qF "certificate key matches card: yes" "$out/text.out" || fail "text: no key check shown"
grep -qF "name: $serial-DF01-C001" "$out/text.out" || fail "text: no container 7"

# ls: the root and the application directory.
run ls_root 0 --json ls
jq -e '.files == ["cardapps", "cardcf", "cardid"]' "$out/ls_root.out" >/dev/null || fail "ls: $(cat "$out/ls_root.out")"
run ls_mscp 0 --json ls mscp
jq -e '.files == ["ksc00","ksc01","ksc02","ksc03","kxc04","kxc05","kxc06","ksc07","cmapfile"]' \
  "$out/ls_mscp.out" >/dev/null || fail "ls mscp: $(cat "$out/ls_mscp.out")"
run ls_other 1 ls apps
grep -qF "SCARD_E_DIR_NOT_FOUND" "$out/ls_other.err" || fail "ls apps: $(cat "$out/ls_other.err")"

# cat: the serial from cardid, a certificate written out that OpenSSL reads,
# and the raw bytes on standard output equal to the written file.
run cardid 0 --json cat cardid
jq -e --arg serial "$serial" '.size == 16 and .content == "000000000000" + $serial' "$out/cardid.out" >/dev/null ||
  fail "cat cardid: $(cat "$out/cardid.out")"
run cert 0 cat mscp/ksc02 -o "$out/ksc02.der"
openssl x509 -inform DER -in "$out/ksc02.der" -noout -subject >/dev/null 2>&1 || fail "cat ksc02: not a certificate"
[ "$(stat -c %s "$out/ksc02.der")" -eq "$(jq '.containers[2].certificate.size' "$out/scinfo.out")" ] ||
  fail "cat ksc02: size differs from scinfo"
"$tool" cat mscp/ksc02 -o - >"$out/ksc02.raw" && cmp -s "$out/ksc02.raw" "$out/ksc02.der" ||
  fail "cat -o -: raw bytes differ"
run missing 1 cat mscp/ksc0F
grep -qF "SCARD_E_FILE_NOT_FOUND" "$out/missing.err" || fail "cat ksc0F: $(cat "$out/missing.err")"
run usage 2 cat

[ "$failures" -eq 0 ] && echo "tool files: all checks passed"
exit $((failures > 0))
