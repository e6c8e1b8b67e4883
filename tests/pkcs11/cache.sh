#!/usr/bin/env bash
# The cache of the card's public objects, seen by pkcs11-tool through pcscd:
# a warm listing sends the card's serial number's read, one short proof per
# certificate and the PIN's status at the end (at most 25 commands and a fifth
# of the cold listing's bytes), and the cache never shows what the card no
# longer holds: cards renewed with the same or new keys, issued by another CA,
# another card under the same serial number (with the same ATR and another), a
# container removed and added again, a certificate of another length. Each
# listing is checked against a cold one of the same card, made with an empty
# cache of its own. A missing ~/.cache is made and used; root running with a
# user's HOME (sudo -E) neither writes nor takes over the user's ~/.cache, nor
# makes one; and a cache folder on a read-only file system is listed past. The
# card is put back as it was.
set -uo pipefail
source "$(dirname "$0")/tier_checks.sh"
pull=${VELA_PULL:?run the pkcs11 tier through ctest}
insert=${VELA_INSERT:?run the pkcs11 tier through ctest}
p11=(pkcs11-tool --module "$module")

commands() { grep -c '^>' "$state/trace.txt"; }
# Bytes each way, as hex pairs after the direction mark.
bytes() { grep -E '^[<>] ' "$state/trace.txt" | cut -c3- | wc -w; }

# list NAME CACHE_HOME: pkcs11-tool --list-objects with that cache (every
# certificate's subject and serial number, every public key's point, in
# $out/NAME.out); what it cost on the card goes to $out/NAME.cost.
list() {
  local name=$1 home=$2 c b
  c=$(commands)
  b=$(bytes)
  run "$name" 0 env XDG_CACHE_HOME="$home" "${p11[@]}" --list-objects
  echo "$(($(commands) - c)) $(($(bytes) - b))" >"$out/$name.cost"
}

# same NAME: NAME's objects equal those of a cold listing of the card there now.
same_as_cold() {
  local name=$1 fresh
  fresh=$(mktemp -d "$out/cold.XXXXXX")
  list "$name.cold" "$fresh"
  cmp -s "$out/$name.out" "$out/$name.cold.out" || fail "$name: the cache showed other objects than the card holds"
}

put_card() {
  $pull >/dev/null || fail "pull"
  $insert "$@" >/dev/null || fail "insert $*"
}

cache=$out/cache
mkdir -p "$cache"
list cold "$cache"
list warm "$cache"
read -r cold_commands cold_bytes <"$out/cold.cost"
read -r warm_commands warm_bytes <"$out/warm.cost"
cmp -s "$out/cold.out" "$out/warm.out" || fail "the warm listing shows other objects than the cold one"
# The serial number (2), per certificate SELECT and one READ BINARY (16), the PIN status asked at the end (1).
[ "$warm_commands" -le 25 ] || fail "a warm --list-objects sent $warm_commands commands (at most 25)"
[ $((warm_bytes * 5)) -le "$cold_bytes" ] ||
  fail "a warm --list-objects moved $warm_bytes bytes, more than a fifth of the cold one's $cold_bytes"
[ "$(stat -c %a "$cache/vela3ro")" = 700 ] || fail "the cache folder is not 0700"
for file in "$cache"/vela3ro/card-*; do
  [ "$(stat -c %a "$file")" = 600 ] || fail "$file is not 0600"
  grep -qa "$pin" "$file" && fail "$file holds the PIN"
done

# A HOME without ~/.cache: the first listing makes it (0700, the user's),
# the next one is a warm one.
bare_home=$(mktemp -d "$out/bare-home.XXXXXX")
for step in first second; do
  c=$(commands)
  run "bare-home-$step" 0 env -u XDG_CACHE_HOME HOME="$bare_home" "${p11[@]}" --list-objects
  cmp -s "$out/bare-home-$step.out" "$out/cold.out" || fail "a HOME without ~/.cache: other objects shown"
  echo $(($(commands) - c)) >"$out/bare-home-$step.commands"
done
[ "$(stat -c %u:%a "$bare_home/.cache" 2>&1)" = "$(id -u):700" ] ||
  fail "a missing ~/.cache was not made the user's alone: $(stat -c %u:%a "$bare_home/.cache" 2>&1)"
[ "$(cat "$out/bare-home-second.commands")" -lt "$cold_commands" ] ||
  fail "a HOME without ~/.cache: the second listing was a cold one ($(cat "$out/bare-home-second.commands") commands)"

# root with a user's HOME: the user's ~/.cache (here nobody's) is left as it
# is, and a HOME of the user's without one gets none; the listing is a cold
# one.
if [ "$(id -u)" = 0 ]; then
  user_home=$(mktemp -d "$out/user-home.XXXXXX")
  mkdir "$user_home/.cache"
  chown -R 65534:65534 "$user_home"
  c=$(commands)
  run root-user-home 0 env -u XDG_CACHE_HOME HOME="$user_home" "${p11[@]}" --list-objects
  cmp -s "$out/root-user-home.out" "$out/cold.out" || fail "root with a user's HOME showed other objects"
  [ $(($(commands) - c)) = "$cold_commands" ] || fail "root with a user's HOME used a cache"
  [ -e "$user_home/.cache/vela3ro" ] && fail "root with a user's HOME made ~/.cache/vela3ro"
  [ "$(stat -c %u:%a "$user_home/.cache")" = 65534:755 ] || fail "root with a user's HOME changed ~/.cache"
  rmdir "$user_home/.cache"
  run root-user-bare-home 0 env -u XDG_CACHE_HOME HOME="$user_home" "${p11[@]}" --list-objects
  [ -e "$user_home/.cache" ] && fail "root with the HOME of a user without ~/.cache made one"
else
  echo "not root: root with a user's HOME is left to the unit tier"
fi

# Certificates issued anew for the same keys.
put_card --cert-generation 1
# The cache folder on a read-only file system (a read-only bind mount of its
# own): the listing is that of the card, and the file there stays as it was.
if [ "$(id -u)" = 0 ] && unshare -m true 2>/dev/null; then
  kept=$(cat "$cache"/vela3ro/card-* | md5sum)
  run renewed.read-only 0 unshare -m sh -c 'mount --bind -o ro "$1" "$1" && shift && exec "$@"' sh "$cache" \
    env XDG_CACHE_HOME="$cache" "${p11[@]}" --list-objects
  same_as_cold renewed.read-only
  [ "$(cat "$cache"/vela3ro/card-* | md5sum)" = "$kept" ] || fail "a read-only cache folder was written"
else
  echo "no mount namespace here: the read-only cache folder is left to the unit tier's full one"
fi
list renewed "$cache"
cmp -s "$out/renewed.out" "$out/warm.out" && fail "after the renewal the old certificates were shown"
same_as_cold renewed
list renewed.warm "$cache"
same_as_cold renewed.warm

# Each card below replaces the one the cache was last written for; the
# first card, the one the other tests know, comes back after each (after the
# card without container 7: a container added). Each listing equals a cold
# one of the card there.
stale_cards=(
  "--key-generation 1 --cert-generation 1"
  "--ca-name Another-Test-CA"
  "--seed 8"
  "--seed 8 --atr 3B8A018056454C414733019000F0"
  "--no-container7"
  "--cert-size C000=480"
)
for n in "${!stale_cards[@]}"; do
  # shellcheck disable=SC2086 # the options are words
  put_card ${stale_cards[$n]}
  list "stale$n" "$cache"
  same_as_cold "stale$n"
  list "stale$n.warm" "$cache"
  same_as_cold "stale$n.warm"
  put_card
  list "stale$n.back" "$cache"
  cmp -s "$out/stale$n.back.out" "$out/cold.out" || fail "after ${stale_cards[$n]}: the first card's objects differ"
done

echo "pkcs11-tool --list-objects: cold $cold_commands commands, $cold_bytes bytes; warm $warm_commands commands," \
  "$warm_bytes bytes"
exit $((failures > 0))
