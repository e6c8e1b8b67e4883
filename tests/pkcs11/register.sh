#!/usr/bin/env bash
# vela3ro-tool register and unregister in throwaway HOMEs: a Firefox and a
# Thunderbird profile (profiles.ini and an NSS database each), a Firefox
# profile never started, and no ~/.pki/nssdb yet. Checked with modutil. As
# root, also with a throwaway user's files: root touches none of them.
#   register.sh VELA3RO_TOOL
set -uo pipefail
source "$(dirname "$0")/tier_checks.sh"
tool=${1:?usage: register.sh VELA3RO_TOOL}
other=/usr/lib/x86_64-linux-gnu/pkcs11/p11-kit-trust.so  # someone else's module
sleepers=()
user=
shared=
cleanup() {
  for p in "${sleepers[@]}"; do kill "$p" 2>/dev/null; done
  [ -n "$user" ] && userdel "$user" 2>/dev/null
  rm -rf "$out" "$shared"
}
trap cleanup EXIT

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

# Root with a user's files: a root shell with the user's HOME (sudo -E), or
# root's own HOME whose profiles.ini names the user's profile by its
# absolute path, or whose ~/.pki leads into the user's folders; and a
# database file that is a link out of its folder. Each refuses, and neither
# the user's files (their bytes, owners and modes) nor root's change. The
# user, with a linked ~/.pki and an absolute profile path of its own,
# registers as usual.
if [ "$(id -u)" != 0 ]; then
  echo "not root: root with another user's files is not tried"
  exit $((failures > 0))
fi
user=vela-reg-$$
shared=$(mktemp -d /tmp/vela-register.XXXXXX)
chmod 755 "$shared"
useradd --system --no-create-home --home-dir "$shared/home" --shell /usr/sbin/nologin "$user" || {
  user=
  fail "useradd"
  exit 1
}
# Whatever way this script ends (a SIGKILL included), the user goes.
setsid -f bash -c 'while kill -0 "$1" 2>/dev/null; do sleep 1; done; userdel "$2" 2>/dev/null; rm -rf "$3" "$4"' \
  watch $$ "$user" "$shared" "$out" </dev/null >/dev/null 2>&1
u=$shared/home
mkdir -p "$u/.mozilla/firefox/ff.default" "$shared/tb.profile" "$shared/pki/nssdb"
ln -s "$shared/pki" "$u/.pki"
printf '[Profile0]\nName=default\nIsRelative=1\nPath=ff.default\n' >"$u/.mozilla/firefox/profiles.ini"
mkdir "$u/.thunderbird"
printf '[Profile0]\nName=default\nIsRelative=0\nPath=%s\n' "$shared/tb.profile" >"$u/.thunderbird/profiles.ini"
for db in "$u/.mozilla/firefox/ff.default" "$shared/tb.profile" "$shared/pki/nssdb"; do
  certutil -N -d "sql:$db" --empty-password
  modutil -dbdir "sql:$db" -add other -libfile "$other" -force >/dev/null
done
chown -R "$user:" "$u" "$shared/tb.profile" "$shared/pki"
chown -h "$user:" "$u/.pki"
chmod 700 "$u"
# The user's own register: a linked ~/.pki and an absolute profile path of
# its own are the user's; afterwards "vela3ro" is in each database to unregister.
if runuser -u "$user" -- test -r "$module"; then
  run user_register 0 runuser -u "$user" -- "$tool" --module "$module" register
  grep -q '^changed: 3$' "$out/user_register.out" || fail "the user's own register: $(cat "$out/user_register.out")"
else
  echo "the user cannot read $module: its own register is not tried"
  for db in "$u/.mozilla/firefox/ff.default" "$shared/tb.profile" "$shared/pki/nssdb"; do
    modutil -dbdir "sql:$db" -add vela3ro -libfile "$module" -force >/dev/null
  done
  chown -R "$user:" "$u" "$shared/tb.profile" "$shared/pki"
fi
[ -z "$(find "$shared" ! -user "$user" ! -path "$shared")" ] || fail "the user's own register left files not the user's"

# Root's own HOMEs, each with one way out to files not root's to change:
# the user's profile by its absolute path, a ~/.pki linked to the user's, a
# pkcs11.txt linked out of its folder, and a ~/.pki linked to a folder of
# root's inside one of the user's (what a run as root left there), which the
# user could rename and replace with a link.
roots=$out/root-homes
mkdir -p "$roots/absolute/.mozilla/firefox/own" "$roots/linked" "$roots/file/.pki/nssdb" "$roots/above" \
  "$shared/pki/by-root"
ln -s "$shared/pki/by-root" "$roots/above/.pki"
certutil -N -d "sql:$roots/absolute/.mozilla/firefox/own" --empty-password
printf '[Profile0]\nName=own\nIsRelative=1\nPath=own\n\n[Profile1]\nName=theirs\nIsRelative=0\nPath=%s\n' \
  "$u/.mozilla/firefox/ff.default" >"$roots/absolute/.mozilla/firefox/profiles.ini"
ln -s "$shared/pki" "$roots/linked/.pki"
certutil -N -d "sql:$roots/file/.pki/nssdb" --empty-password
mkdir "$roots/elsewhere"
mv "$roots/file/.pki/nssdb/pkcs11.txt" "$roots/elsewhere/"
ln -s "$roots/elsewhere/pkcs11.txt" "$roots/file/.pki/nssdb/pkcs11.txt"
# Each file and folder: its path, owner, mode and link, and its bytes.
snapshot() {
  find "$shared" "$roots" -printf '%p %U:%G %m %y %l\n' | sort
  find "$shared" "$roots" -type f -exec md5sum {} + | sort
}
before=$(snapshot)
cases=(
  "home:$u:HOME $u belongs to $user"
  "absolute:$roots/absolute:$u/.mozilla/firefox/ff.default belongs to $user"
  "linked:$roots/linked:belongs to $user"
  "file:$roots/file:pkcs11.txt is a link"
  "above:$roots/above:the folder $shared/pki above"
)
for c in "${cases[@]}"; do
  IFS=: read -r name home why <<<"$c"
  for command in register unregister; do
    # Another module file for register: where it got through, it would update every entry.
    run "root_${name}_$command" 1 env HOME="$home" "$tool" --module "$moved" $command
    grep -qF "$why" "$out/root_${name}_$command.out" "$out/root_${name}_$command.err" ||
      fail "root $command, $name: not refused for \"$why\": $(cat "$out/root_${name}_$command.out" "$out/root_${name}_$command.err")"
    grep -q 'nothing changed' "$out/root_${name}_$command.err" || fail "root $command, $name: no clear refusal"
    [ "$(snapshot)" = "$before" ] || {
      fail "root $command, $name: files changed"
      diff <(echo "$before") <(snapshot) | sed 's/^/  | /'
      before=$(snapshot)
    }
  done
done
exit $((failures > 0))
