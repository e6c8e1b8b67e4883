#!/usr/bin/env bash
# Java's SunPKCS11 KeyAgreement("ECDH") with the card's key-agreement key:
# the secret, and the secret key made from it on the token, equal OpenSSL's
# own ECDH from the peer's side. Skipped where no JDK is installed.
set -uo pipefail
source "$(dirname "$0")/tier_checks.sh"
if ! command -v java >/dev/null || ! java --list-modules 2>/dev/null | grep -q '^jdk.compiler'; then
  echo "SKIP: no JDK (java with its compiler) on this machine"
  exit 77
fi

pkcs11-tool --module "$module" --read-object --type cert --id 05 --output-file "$out/kxc05.der" >/dev/null 2>&1
openssl x509 -inform der -in "$out/kxc05.der" -pubkey -noout >"$out/card.pub" || fail "no certificate for container 5"
openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$out/peer.key" 2>/dev/null
openssl pkey -in "$out/peer.key" -pubout -outform DER -out "$out/peer.der"
openssl pkeyutl -derive -inkey "$out/peer.key" -peerkey "$out/card.pub" -out "$out/expected.bin" ||
  fail "OpenSSL's own ECDH failed"
printf 'name = vela\nlibrary = %s\nslotListIndex = 0\n' "$module" >"$out/provider.cfg"

run java 0 java "$(dirname "$0")/JavaEcdh.java" "$out/provider.cfg" "$pin" "$out/kxc05.der" "$out/peer.der" \
  "$out/secret.bin" "$out/key.bin"
cmp -s "$out/expected.bin" "$out/secret.bin" || fail "Java's secret is not OpenSSL's own"
cmp -s "$out/expected.bin" "$out/key.bin" || fail "Java's secret key is not the secret"
exit $((failures > 0))
