#!/usr/bin/env bash
# The diagnostic log turned on as an administrator does, in the package's
# settings file: pkcs11-tool's listing of the card through the module writes
# its lines to a log folder that does not exist yet, which the module makes
# for the user alone. Once the folder LogPath names (given with its closing
# slash, as a folder is), once without LogPath: the user's own
# /tmp/vela3ro-UID/, in a /tmp of its own that has none yet.
# The settings file and that /tmp are the test's own, in a mount namespace of
# its own: the machine's /etc/vela3ro and /tmp are left alone. That needs
# root and a kernel that allows it; elsewhere the test is skipped (77).
set -uo pipefail
source "$(dirname "$0")/tier_checks.sh"
settings=$(cd "$(dirname "$0")/../../install/linux" && pwd)/registry.reg

if [ "$(id -u)" -ne 0 ] || ! unshare -m true 2>/dev/null; then
  echo "skipped: a settings file of the test's own needs root and a mount namespace"
  exit 77
fi

# Run in the namespace: ETC_DIR FOLDER COMMAND... mounts /etc with the test's
# settings file over it (and a /tmp of its own when FOLDER lies there, as the
# default folder does), runs COMMAND, then shows FOLDER's mode and owner and
# each file in it.
cat >"$out/in-namespace.sh" <<'SCRIPT'
etc=$1 folder=$2
shift 2
mount -t overlay overlay -o "lowerdir=/etc,upperdir=$etc/upper,workdir=$etc/work" /etc || exit 90
case $folder in /tmp/vela3ro-*) mount -t tmpfs -o mode=1777 tmpfs /tmp || exit 91 ;; esac
[ ! -e "$folder" ] || { echo "the log folder is there before the listing"; exit 92; }
"$@" || exit
echo "folder: $(stat -c "%a %u" "$folder")"
for file in "$folder"*; do echo "file: ${file##*/} $(stat -c "%a %u" "$file")"; cat "$file"; done
SCRIPT

# logged NAME FOLDER [LogPath]: with the log on (and LogPath set, if given),
# pkcs11-tool lists the slots; FOLDER must then be there, the user's alone,
# with a log file of the user's that holds the module's calls.
logged() {
  local name=$1 folder=$2 etc=$out/$1.etc
  shift 2
  mkdir -p "$etc/upper/vela3ro" "$etc/work"
  sed 's/^"LogLevel"="0"/"LogLevel"="3"/' "$settings" >"$etc/upper/vela3ro/registry.reg"
  [ $# -eq 0 ] || printf '"LogPath"="%s"\n' "$1" >>"$etc/upper/vela3ro/registry.reg"
  grep -q '^"LogLevel"="3"' "$etc/upper/vela3ro/registry.reg" || fail "$name: the package's file sets no LogLevel"
  run "$name" 0 unshare -m sh "$out/in-namespace.sh" "$etc" "$folder" pkcs11-tool --module "$module" --list-slots
  grep -qF "token label        : VELA G3 $serial" "$out/$name.out" || fail "$name: the card was not listed"
  grep -qx "folder: 700 0" "$out/$name.out" || fail "$name: no log folder of the user's own at $folder"
  grep -qE "^file: vela3ro-[0-9]{8}-[0-9]{6}\.txt 600 0$" "$out/$name.out" || fail "$name: no log file in $folder"
  grep -qF "[INF] entry_log.cpp" "$out/$name.out" || fail "$name: no line of the module's calls in the log"
}

logged log-path "$out/new-log-folder/" "$out/new-log-folder/"
logged default-folder "/tmp/vela3ro-$(id -u)/"

[ $failures -eq 0 ] && echo "ok log-turned-on"
exit $((failures > 0))
