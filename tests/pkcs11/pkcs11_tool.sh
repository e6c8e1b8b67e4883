#!/usr/bin/env bash
# OpenSC's pkcs11-tool on the module: slots, objects, signatures that openssl
# verifies against the card's certificates, and its self-test. Prints what
# listing and signing cost on the wire.
set -uo pipefail
source "$(dirname "$0")/tier_checks.sh"
p11=(pkcs11-tool --module "$module")

run slots 0 "${p11[@]}" --list-slots
grep -qF "token label        : VELA G3 $serial" "$out/slots.out" || fail "--list-slots: $(cat "$out/slots.out")"
grep -qF "login required, token initialized, PIN initialized, readonly" "$out/slots.out" ||
  fail "--list-slots flags: $(cat "$out/slots.out")"

before=$(apdus)
run objects 0 "${p11[@]}" --list-objects
listing=$(($(apdus) - before))
[ "$(grep -c '^Certificate Object' "$out/objects.out")" -eq 8 ] || fail "--list-objects: $(cat "$out/objects.out")"
[ "$(grep -c '^Public Key Object; EC' "$out/objects.out")" -eq 8 ] || fail "--list-objects: public keys"
grep -q '^Private Key Object' "$out/objects.out" && fail "private keys listed before login"
run objects_login 0 "${p11[@]}" --login --pin $pin --list-objects
[ "$(grep -c '^Private Key Object; EC' "$out/objects_login.out")" -eq 8 ] || fail "--login --list-objects: private keys"

# Signatures with the caller's hash and with the module's hashing, each
# checked with openssl against the container's certificate.
printf 'the contract' >"$out/data"
openssl dgst -sha256 -binary "$out/data" >"$out/hash"
for id in 00 02 07; do
  run "cert$id" 0 "${p11[@]}" --read-object --type cert --id $id --output-file "$out/cert$id.der"
  openssl x509 -inform der -in "$out/cert$id.der" -pubkey -noout >"$out/pub$id.pem"
done
before=$(apdus)
run sign_ecdsa 0 "${p11[@]}" --login --pin $pin --sign --mechanism ECDSA --id 00 --input-file "$out/hash" \
  --output-file "$out/sig00" --signature-format openssl
signing=$(($(apdus) - before))
openssl pkeyutl -verify -pubin -inkey "$out/pub00.pem" -in "$out/hash" -sigfile "$out/sig00" >/dev/null ||
  fail "ECDSA signature does not verify"
run sign_sha256 0 "${p11[@]}" --login --pin $pin --sign --mechanism ECDSA-SHA256 --id 02 --input-file "$out/data" \
  --output-file "$out/sig02" --signature-format openssl
openssl dgst -sha256 -verify "$out/pub02.pem" -signature "$out/sig02" "$out/data" >/dev/null ||
  fail "ECDSA-SHA256 signature does not verify"
run sign_sha256_7 0 "${p11[@]}" --login --pin $pin --sign --mechanism ECDSA-SHA256 --id 07 --input-file "$out/data" \
  --output-file "$out/sig07" --signature-format openssl
openssl dgst -sha256 -verify "$out/pub07.pem" -signature "$out/sig07" "$out/data" >/dev/null ||
  fail "ECDSA-SHA256 signature of container 7 does not verify"
# A key-agreement key does not sign; a wrong PIN is refused.
run sign_exchange 1 "${p11[@]}" --login --pin $pin --sign --mechanism ECDSA --id 04 --input-file "$out/hash" \
  --output-file "$out/sig04"
run wrong_pin 1 "${p11[@]}" --login --pin 000000 --list-objects
grep -q "CKR_PIN_INCORRECT" "$out/wrong_pin.err" || fail "wrong PIN: $(cat "$out/wrong_pin.err")"
run pin_again 0 "${p11[@]}" --login --pin $pin --list-objects

run selftest 0 "${p11[@]}" --login --pin $pin --test
grep -qF "No errors" "$out/selftest.out" || fail "--test: $(cat "$out/selftest.out")"

echo "pkcs11-tool --list-objects: $listing APDUs; --login --sign (ECDSA, one key): $signing APDUs"
exit $((failures > 0))
