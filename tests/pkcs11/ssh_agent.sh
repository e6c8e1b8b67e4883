#!/usr/bin/env bash
# ssh-agent holding the card (ssh-add -s) while another program mistypes the
# PIN (pkcs11-tool): the card drops its verified PIN and counts a try; the
# agent's next signature (ssh-add -T) must still work, the module presenting
# its kept PIN once, which fills the counter again.
set -uo pipefail
source "$(dirname "$0")/tier_checks.sh"

# The user PIN's counter as another program reads it (VERIFY without data).
pin_status() {
  opensc-tool -r 'Virtual PCD 00 00' -c default -s 00:20:00:03 2>&1 |
    sed -n 's/.*SW1=0x\(..\), SW2=0x\(..\).*/\1\2/p' | tr a-f A-F | tail -1
}

run keys 0 ssh-keygen -D "$module"
grep -F "C000 key 80" "$out/keys.out" >"$out/card.pub" || fail "ssh-keygen -D: no key of container 0"

printf '#!/bin/sh\necho %s\n' "$pin" >"$out/askpass"
chmod +x "$out/askpass"
export SSH_ASKPASS="$out/askpass" SSH_ASKPASS_REQUIRE=force DISPLAY=none
eval "$(ssh-agent -s -a "$out/agent.sock" -P "$module")" >/dev/null || { fail "ssh-agent does not start"; exit 1; }
trap 'ssh-agent -k >/dev/null 2>&1; rm -rf "$out"' EXIT

run add 0 ssh-add -s "$module"
run before 0 ssh-add -T "$out/card.pub"

run mistake 1 pkcs11-tool --module "$module" --login --pin 111111 --sign --mechanism ECDSA-SHA256 --id 00 \
  --input-file "$out/card.pub" --output-file "$out/signature"
grep -q CKR_PIN_INCORRECT "$out/mistake.out" "$out/mistake.err" || fail "pkcs11-tool: no CKR_PIN_INCORRECT"
[ "$(pin_status)" = "63C2" ] || fail "the wrong PIN cost no try: $(pin_status)"

run after 0 ssh-add -T "$out/card.pub"
[ "$(pin_status)" = "9000" ] || fail "the agent's PIN is not verified again: $(pin_status)"
# The agent lets the card go: its module resets the card, the counter is full.
run remove 0 ssh-add -e "$module"
[ "$(pin_status)" = "63C3" ] || fail "after the agent: $(pin_status)"
exit $((failures > 0))
