#!/usr/bin/env bash
# The daemons scripts/emulated-card.sh starts (the card and pcscd) keep no
# descriptor of their caller's: a lock the caller holds while it starts them
# is free again once the caller lets it go, though they still run.
source "$(dirname "$0")/tier_checks.sh"

lock=$out/held.lock
exec {held}>>"$lock"
flock "$held"

# A descriptor of PID's that names FILE, if any.
holds() { find "/proc/$1/fd" -lname "$2" 2>/dev/null | grep -q .; }
free_again() { flock -n "$lock" true; }

# The card taken out and put in again, and pcscd restarted, while the lock is held.
$VELA_PULL >/dev/null || fail "the card could not be taken out"
$VELA_INSERT >/dev/null || fail "the card could not be put in again"
read -r card_pid _ <"$state/card.pid"
$VELA_RESTART_PCSCD >/dev/null || fail "pcscd could not be restarted"
pcscd_pid=$(pidof pcscd)

holds "$card_pid" "$lock" && fail "the card (pid $card_pid) holds the caller's lock"
holds "$pcscd_pid" "$lock" && fail "pcscd (pid $pcscd_pid) holds the caller's lock"
exec {held}>&-
free_again || fail "the lock is still held after its holder let it go"
kill -0 "$card_pid" && kill -0 "$pcscd_pid" || fail "the card or pcscd stopped"
[ $failures -eq 0 ] && echo "ok daemons-own-descriptors"
exit $((failures > 0))
