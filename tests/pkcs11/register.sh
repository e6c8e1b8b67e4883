#!/usr/bin/env bash
# vela3ro-tool register and unregister in throwaway HOMEs: a Firefox and a
# Thunderbird profile (profiles.ini and an NSS database each), a Firefox
# profile never started, and no ~/.pki/nssdb yet. Checked with modutil.
#   register.sh VELA3RO_TOOL
set -uo pipefail
source "$(dirname "$0")/tier_checks.sh"
tool=${1:?usage: register.sh VELA3RO_TOOL}
other=/usr/lib/x86_64-linux-gnu/pkcs11/p11-kit-trust.so  # someone else's module
sleepers=()
trap 'rm -rf "$out"; for p in "${sleepers[@]}"; do kill "$p" 2>/dev/null; done' EXIT

# A HOME with its browsers' profiles; prints its path.
make_home() {
  local home
  home=$(mktemp -d "$out/home.XXXXXX")
  mkdir -p "$home/.mozilla/firefox/ff.default-esr" "$home/.mozilla/firefox/new.profile" "$home/.thunderbird/tb.default"
  certutil -N -d "sql:$home/.mozilla/firefox/ff.default-esr" --empty-password
  certutil -N -d "sql:$home/.thunderbird/tb.default" --empty-password
  printf '[Profile1]\nName=fresh\nIsRelative=1\nPath=new.profile\n\n[Profile0]\nName=default-esr\nIsRelative=1\nPath=ff.default-esr\nDefault=1\n\n[Install4F96D1932A9F858E]\nDefault=ff.default-esr\n' \
    >"$home/.mozilla/firefox/profiles.ini"
  printf '[Profile0]\nName=default\nIsRelative=0\nPath=%s\n' "$home/.thunderbird/tb.default" >"$home/.thunderbird/profiles.ini"
  modutil -dbdir "sql:$home/.mozilla/firefox/ff.default-esr" -add other -libfile "$other" -force >/dev/null
  echo "$home"
}

dbs() { echo "$1/.mozilla/firefox/ff.default-esr $1/.thunderbird/tb.default $1/.pki/nssdb"; }
# The library NSS lists for a module name in a database ("" when absent).
library_of() { modutil -dbdir "sql:$1" -list "$2" 2>/dev/null | sed -n 's/^[[:space:]]*Library file: //p'; }
sums() { cat "$1"/.mozilla/firefox/*/pkcs11.txt "$1"/.thunderbird/*/pkcs11.txt "$1"/.pki/nssdb/pkcs11.txt 2>/dev/null | md5sum; }

home=$(make_home)
run register 0 env HOME="$home" "$tool" --module "$module" register
for db in $(dbs "$home"); do
  [ "$(library_of "$db" vela3ro)" = "$module" ] || fail "register: not in $db: $(modutil -dbdir "sql:$db" -list 2>&1)"
done
[ "$(stat -c %a "$home/.pki/nssdb")" = 700 ] || fail "~/.pki/nssdb is not the user's own"
grep -q 'result: no NSS database yet' "$out/register.out" || fail "register: the fresh profile is not reported"
[ ! -e "$home/.mozilla/firefox/new.profile/pkcs11.txt" ] || fail "register: a database made for a profile never started"
[ "$(library_of "$home/.mozilla/firefox/ff.default-esr" other)" = "$other" ] || fail "register: another module changed"
grep -q '^changed: 3$' "$out/register.out" || fail "register: $(cat "$out/register.out")"

before=$(sums "$home")
run register_again 0 env HOME="$home" "$tool" --module "$module" register
grep -q '^changed: 0$' "$out/register_again.out" || fail "register again changed something: $(cat "$out/register_again.out")"
[ "$(sums "$home")" = "$before" ] || fail "register again: a database changed"

# Another build of the module (with its minidriver beside it): the entry
# follows it. One that does not load leaves the entry as it was.
mkdir "$out/moved"
cp "$module" "$(dirname "$module")/../libvela3ro.so" "$out/moved/"
moved=$out/moved/$(basename "$module")
run register_moved 0 env HOME="$home" "$tool" --module "$moved" register
[ "$(library_of "$home/.pki/nssdb" vela3ro)" = "$moved" ] || fail "register --module: the entry not updated"
grep -q "updated \"vela3ro\" (was $module)" "$out/register_moved.out" || fail "register --module: $(cat "$out/register_moved.out")"
cp "$module" "$out/broken.so"
run register_broken 1 env HOME="$home" "$tool" --module "$out/broken.so" register
[ "$(library_of "$home/.pki/nssdb" vela3ro)" = "$moved" ] || fail "a failed update lost the entry"

run unregister 0 env HOME="$home" "$tool" unregister
for db in $(dbs "$home"); do
  [ -z "$(library_of "$db" vela3ro)" ] || fail "unregister: still in $db"
done
[ "$(library_of "$home/.mozilla/firefox/ff.default-esr" other)" = "$other" ] || fail "unregister: another module changed"
run unregister_again 0 env HOME="$home" "$tool" unregister
grep -q '^changed: 0$' "$out/unregister_again.out" || fail "unregister again: $(cat "$out/unregister_again.out")"

# Firefox running on a profile, as its lock shows it: a live `lock` link, or
# a lock held on .parentlock. Nothing changes anywhere.
profile="$home/.mozilla/firefox/ff.default-esr"
sleep 300 &
sleepers+=($!)
for held in link parentlock; do
  before=$(sums "$home")
  if [ $held = link ]; then
    ln -s "127.0.1.1:+${sleepers[0]}" "$profile/lock"
  else
    touch "$profile/.parentlock"
    python3 -c 'import fcntl, sys, time; f = open(sys.argv[1], "r+"); fcntl.lockf(f, fcntl.LOCK_EX); print("held", flush=True); time.sleep(300)' \
      "$profile/.parentlock" >"$out/locker.out" &
    sleepers+=($!)
    for _ in $(seq 50); do grep -q held "$out/locker.out" && break; sleep 0.1; done
  fi
  run "refused_$held" 1 env HOME="$home" "$tool" --module "$module" register
  grep -q 'refused: Firefox is running on this profile' "$out/refused_$held.out" ||
    fail "register with the $held held: $(cat "$out/refused_$held.out" "$out/refused_$held.err")"
  grep -q 'nothing changed' "$out/refused_$held.err" || fail "register with the $held held: no clear refusal"
  [ "$(sums "$home")" = "$before" ] || fail "register with the $held held changed a database"
  [ -z "$(library_of "$home/.pki/nssdb" vela3ro)" ] || fail "register with the $held held registered in ~/.pki/nssdb"
  rm -f "$profile/lock"
  [ $held = parentlock ] && kill "${sleepers[-1]}" 2>/dev/null && wait "${sleepers[-1]}" 2>/dev/null
done
# A stale link of a Firefox that crashed holds nothing.
ln -s "127.0.1.1:+999999999" "$profile/lock"
run stale_lock 0 env HOME="$home" "$tool" --module "$module" register
rm -f "$profile/lock"
exit $((failures > 0))
