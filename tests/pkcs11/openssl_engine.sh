#!/usr/bin/env bash
# OpenSSL with the PKCS#11 engine (libp11) on the module: a signature made
# with a pkcs11: URI, and a TLS handshake on loopback in which the client
# authenticates with the card's key to a server that trusts the card's test CA.
set -uo pipefail
source "$(dirname "$0")/tier_checks.sh"
export PKCS11_MODULE_PATH=$module
key="$token_uri;id=%00;type=private;pin-value=$pin"

pkcs11-tool --module "$module" --read-object --type cert --id 00 --output-file "$out/card.der" >/dev/null 2>&1
openssl x509 -inform der -in "$out/card.der" -out "$out/card.pem" || fail "no certificate for container 0"
openssl x509 -in "$out/card.pem" -pubkey -noout >"$out/card-pub.pem"
printf 'the contract' >"$out/data"

run sign 0 openssl dgst -sha256 -engine pkcs11 -keyform engine -sign "$key" -out "$out/sig" "$out/data"
openssl dgst -sha256 -verify "$out/card-pub.pem" -signature "$out/sig" "$out/data" >/dev/null ||
  fail "the engine's signature does not verify"
openssl verify -CAfile "$state/ca.pem" "$out/card.pem" >/dev/null || fail "the card's certificate is not the test CA's"

# The server: a key and a self-signed certificate of its own; it asks for a
# client certificate issued by the test CA and answers one request.
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$out/server.key" \
  -out "$out/server.pem" -subj /CN=localhost -days 2 >/dev/null 2>&1 || fail "no server certificate"
port=$(free_port) || fail "no free port"
openssl s_server -accept "127.0.0.1:$port" -naccept 1 -cert "$out/server.pem" -key "$out/server.key" \
  -Verify 1 -verify_return_error -CAfile "$state/ca.pem" -www >"$out/server.out" 2>&1 &
server=$!
wait_listening "$port" || fail "s_server does not listen on $port"
printf 'GET / HTTP/1.0\r\n\r\n' >"$out/request"
run tls 0 openssl s_client -connect "127.0.0.1:$port" -CAfile "$out/server.pem" -verify_return_error \
  -engine pkcs11 -keyform engine -key "$key" -cert "$out/card.pem" -ign_eof <"$out/request"
timeout 10 tail --pid=$server -f /dev/null
kill "$server" 2>/dev/null
grep -q "Verify return code: 0 (ok)" "$out/tls.out" || fail "TLS handshake: $(cat "$out/tls.out" "$out/tls.err")"
# The server's page names the client certificate it verified.
grep -qF "C000 key 80" "$out/tls.out" || fail "the server saw no card certificate: $(cat "$out/tls.out" "$out/server.out")"
exit $((failures > 0))
