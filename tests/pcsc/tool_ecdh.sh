#!/usr/bin/env bash
# vela3ro-tool ecdh through pcscd: for each key-exchange container, an
# agreement with a fresh peer key and each derivation, which --check repeats
# with OpenSSL from the peer's private key and the card's public key.
# usage: tool_ecdh.sh TOOL  (environment: VELA_CARD_PIN, default 123456)
set -uo pipefail
tool=$1
pin=${VELA_CARD_PIN:-123456}
source "$(dirname "$0")/tool_checks.sh"

openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$out/peer.pem" 2>/dev/null
openssl pkey -in "$out/peer.pem" -pubout -out "$out/peer-public.pem"
seed=$(printf '%02X' $(seq 0 63) | tr -d '\n')

for container in 4 5 6; do
  for kdf in "HASH" "HASH --hash SHA512 --prepend 0102 --append 03" "HMAC --hash SHA256" \
             "HMAC --hash MD5 --hmac-key 0A0B0C0D" "HMAC --hash SHA384 --secret-as-hmac-key" \
             "TLS_PRF --label master-secret --seed $seed"; do
    name="ecdh-$container-${kdf%% *}"
    # shellcheck disable=SC2086
    run "$name" 0 --json ecdh --container "$container" --peer "$out/peer.pem" --pin "$pin" --kdf $kdf --check
    jq -e '.check == "module and OpenSSL agree" and (.derived | test("^[0-9A-F]{32,128}$"))' "$out/$name.out" \
      >/dev/null || fail "$name ($kdf): $(cat "$out/$name.out")"
  done
done

# Only the derived bytes without --check; a public key is enough for that.
run public-only 0 --json ecdh --container 4 --peer "$out/peer-public.pem" --pin "$pin" --kdf HASH --length 16
jq -e '(.derived | length) == 32 and .check == null' "$out/public-only.out" >/dev/null ||
  fail "public-only: $(cat "$out/public-only.out")"
run check-needs-private 1 ecdh --container 4 --peer "$out/peer-public.pem" --pin "$pin" --check
run signature-container 1 ecdh --container 0 --peer "$out/peer.pem" --pin "$pin"
run lower-case-hash 1 ecdh --container 4 --peer "$out/peer.pem" --pin "$pin" --kdf HMAC --hash sha256
run no-container 2 ecdh --peer "$out/peer.pem" --pin "$pin"
run bad-kdf 2 ecdh --container 4 --peer "$out/peer.pem" --pin "$pin" --kdf PBKDF2

exit $((failures > 0))
