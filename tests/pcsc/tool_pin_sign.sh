#!/usr/bin/env bash
# vela3ro-tool's PIN and sign commands through pcscd: a signature that OpenSSL
# verifies against the container's certificate, the refusals with the attempts
# left, a blocked PIN unblocked with the unblocking code, and a changed PIN
# that signs. The card ends with the PIN and counters it started with, also
# when a step fails or the script is cut short.
# usage: tool_pin_sign.sh TOOL
set -uo pipefail
tool=$1
source "$(dirname "$0")/tool_checks.sh"
pin=123456
code=12345678

# One card serves the whole tier: the unblocking code puts the PIN and both
# retry counters back, whatever state the steps below left it in.
restore_card() {
  local status=$?
  if ! "$tool" unblock-pin --unblock-code $code --new-pin $pin >"$out/restore.out" 2>&1; then
    echo "FAIL: the card's PIN could not be restored: $(cat "$out/restore.out")"
    status=1
  fi
  rm -rf "$out"
  exit $status
}
trap restore_card EXIT
hash=$(printf 'the contract' | openssl dgst -sha256 -r | cut -d' ' -f1)

run verify 0 --json verify-pin --pin $pin
jq -e '.verified == true' "$out/verify.out" >/dev/null || fail "verify-pin: $(cat "$out/verify.out")"

run sign_hash 0 --json sign --container 0 --hash "$hash" --pin $pin
jq -e --arg hash "${hash^^}" '.signatureValid == true and .hash == $hash and (.signature | length) == 128
       and .certificate == "mscp/ksc00"' "$out/sign_hash.out" >/dev/null ||
  fail "sign --hash: $(cat "$out/sign_hash.out")"
printf 'the contract' >"$out/contract.txt"
run sign_file 0 sign --container 2 --file "$out/contract.txt" --alg sha256 --pin $pin
grep -qF "signature valid: yes" "$out/sign_file.out" || fail "sign --file: $(cat "$out/sign_file.out")"

# Refusals: no PIN, a key-exchange container, wrong PINs with the attempts left.
run no_pin 1 sign --container 0 --hash "$hash" --no-pin
grep -qF "no PIN verified" "$out/no_pin.err" || fail "sign --no-pin: $(cat "$out/no_pin.err")"
run exchange_key 1 sign --container 4 --hash "$hash" --pin $pin
grep -qF "SCARD_E_INVALID_PARAMETER" "$out/exchange_key.err" || fail "sign 4: $(cat "$out/exchange_key.err")"
run wrong1 1 verify-pin --pin 000000
grep -qF "wrong PIN: 2 attempts left" "$out/wrong1.err" || fail "wrong PIN: $(cat "$out/wrong1.err")"
run wrong2 1 --json verify-pin --pin 000000
jq -e '.attemptsRemaining == 1' "$out/wrong2.out" >/dev/null || fail "wrong PIN json: $(cat "$out/wrong2.out")"
run wrong3 1 verify-pin --pin 000000
grep -qF "PIN blocked: 0 attempts left" "$out/wrong3.err" || fail "third wrong PIN: $(cat "$out/wrong3.err")"
run blocked 1 sign --container 0 --hash "$hash" --pin $pin
grep -qF "PIN blocked" "$out/blocked.err" || fail "sign while blocked: $(cat "$out/blocked.err")"

# Unblock with the code, setting the same PIN again, so the card ends as it began.
run bad_code 1 unblock-pin --unblock-code 87654321 --new-pin $pin
grep -qF "wrong unblocking code" "$out/bad_code.err" || fail "wrong code: $(cat "$out/bad_code.err")"
run unblock 0 unblock-pin --unblock-code $code --new-pin $pin
run after_unblock 0 sign --container 0 --hash "$hash" --pin $pin

# A changed PIN signs, the old one is refused; then changed back. The PINs
# come on standard input here, as typed at the prompt.
printf '%s\n%s\n%s\n' $pin 6543210 6543210 | run change 0 change-pin
run old_pin 1 verify-pin --pin $pin
run new_pin_sign 0 sign --container 1 --hash "$hash" --pin 6543210
run change_back 0 change-pin --pin 6543210 --new-pin $pin
printf '%s\n%s\n%s\n' $pin 111111 222222 | run differ 1 change-pin
grep -qF "the two new PINs differ" "$out/differ.err" || fail "change-pin with differing PINs: $(cat "$out/differ.err")"
run final 0 verify-pin --pin $pin

exit $((failures > 0))
