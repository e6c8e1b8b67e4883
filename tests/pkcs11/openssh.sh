#!/usr/bin/env bash
# OpenSSH on the module: ssh-keygen -D lists the card's keys, and ssh -I logs
# in to an sshd started here on a loopback port with a configuration of its
# own that authorises the first container's key; the sshd is stopped after.
set -uo pipefail
source "$(dirname "$0")/tier_checks.sh"

run keys 0 ssh-keygen -D "$module"
[ "$(grep -c '^ecdsa-sha2-nistp256 ' "$out/keys.out")" -ge 3 ] || fail "ssh-keygen -D: $(cat "$out/keys.out" "$out/keys.err")"
grep -F "C000 key 80" "$out/keys.out" >"$out/authorized_keys" || fail "ssh-keygen -D: no key of container 0"

# An sshd of our own on a loopback port, which accepts container 0's key.
source "$(dirname "$0")/../../scripts/loopback-sshd.sh"
start_loopback_sshd "$out" "$out/authorized_keys" || fail "sshd does not listen: $(cat "$out/sshd.log")"
sshd=$sshd_pid
port=$sshd_port
trap 'kill $sshd 2>/dev/null; rm -rf "$out"' EXIT

# The PIN comes from an askpass program, as from a desktop's PIN dialog.
# (IdentitiesOnly would drop the card's keys: ssh keeps a PKCS#11 key then
# only when its public key file is named too.)
printf '#!/bin/sh\necho %s\n' "$pin" >"$out/askpass"
chmod +x "$out/askpass"
run login 0 env SSH_ASKPASS="$out/askpass" SSH_ASKPASS_REQUIRE=force DISPLAY=none \
  ssh -F /dev/null -I "$module" -p "$port" -o IdentityAgent=none \
  -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null -o PasswordAuthentication=no \
  -o KbdInteractiveAuthentication=no -o ConnectTimeout=20 "$(id -un)@127.0.0.1" echo logged-in-with-the-card </dev/null
grep -qx "logged-in-with-the-card" "$out/login.out" || fail "ssh -I: $(cat "$out/login.out" "$out/login.err" "$out/sshd.log")"
grep -q "Accepted publickey" "$out/sshd.log" || fail "sshd did not accept the card's key: $(cat "$out/sshd.log")"

kill "$sshd" 2>/dev/null
wait "$sshd" 2>/dev/null
exit $((failures > 0))
