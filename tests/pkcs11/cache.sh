#!/usr/bin/env bash
# The cache of the card's public objects, seen by pkcs11-tool through pcscd:
# a warm listing reads the certificates and no public key, and the cache
# never shows what the card no longer holds: a certificate renewed
# (vela-card --cert-generation) or another card under the same serial number
# (another --seed). Each listing is checked against a cold one of the same
# card, made with an empty cache of its own. A missing ~/.cache is made and
# used; root running with a user's HOME (sudo -E) neither writes nor takes
# over the user's ~/.cache, nor makes one; and a cache folder on a
# read-only file system is listed past. The card is put back as it was.
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
# The acquire and end (8), the PIN status asked at the end, the container map, and per certificate SELECT and
# its READ BINARY chain; the eight public keys' reads (some 640 bytes) are saved.
[ "$warm_commands" -le 36 ] || fail "a warm --list-objects sent $warm_commands commands (at most 36)"
[ $((warm_bytes + 600)) -le "$cold_bytes" ] || fail "a warm --list-objects moved $warm_bytes bytes, cold $cold_bytes"
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

# Certificates issued anew for the same keys; then another card, same serial.
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

put_card --seed 8
list other "$cache"
same_as_cold other

# The card the other tests know.
put_card
list back "$cache"
cmp -s "$out/back.out" "$out/cold.out" || fail "the first card's objects are not shown again"

echo "pkcs11-tool --list-objects: cold $cold_commands commands, $cold_bytes bytes; warm $warm_commands commands," \
  "$warm_bytes bytes"
exit $((failures > 0))
