#!/usr/bin/env bash
# GnuTLS's p11tool on the module: every object, and a signature test with
# the first container's private key.
set -uo pipefail
source "$(dirname "$0")/tier_checks.sh"

run list 0 p11tool --provider "$module" --list-all "$token_uri"
[ "$(grep -c 'Type: X.509 Certificate (EC/ECDSA-SECP256R1)' "$out/list.out")" -eq 8 ] ||
  fail "--list-all certificates: $(cat "$out/list.out")"
[ "$(grep -c 'Type: Public key (EC/ECDSA-SECP256R1)' "$out/list.out")" -eq 8 ] || fail "--list-all public keys"
grep -qF "ID: 00" "$out/list.out" || fail "--list-all ids"

run list_login 0 env GNUTLS_PIN=$pin p11tool --provider "$module" --login --list-all "$token_uri"
[ "$(grep -c 'Type: Private key (EC/ECDSA-SECP256R1)' "$out/list_login.out")" -eq 8 ] ||
  fail "--login --list-all private keys: $(cat "$out/list_login.out")"

run test_sign 0 env GNUTLS_PIN=$pin p11tool --provider "$module" --login --test-sign "$token_uri;id=%00;type=private"
grep -qF "Verifying against public key in the token... ok" "$out/test_sign.out" "$out/test_sign.err" ||
  fail "--test-sign: $(cat "$out/test_sign.out" "$out/test_sign.err")"
exit $((failures > 0))
