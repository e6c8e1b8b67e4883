#!/usr/bin/env bash
# The DLLs import only what the module calls: every import of each DLL given
# must be on the allow-list, and every line of the list must be imported by
# one of them (a stale line would let its function back in unseen).
# usage: check_imports.sh ALLOW_LIST OBJDUMP DLL [OBJDUMP DLL]...
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
allow=$1
shift
allowed=$(sed 's/#.*//; s/[[:space:]]*$//' "$allow" | grep -v '^$' | LC_ALL=C sort -u)
status=0
all=
while [ $# -ge 2 ]; do
  objdump=$1 dll=$2
  shift 2
  imports=$("$here/list_imports.sh" "$objdump" "$dll")
  [ -n "$imports" ] || { echo "FAIL no imports read from $dll"; exit 1; }
  echo "$dll: $(wc -l <<<"$imports") imports from $(cut -d'!' -f1 <<<"$imports" | sort -u | tr '\n' ' ')"
  unlisted=$(LC_ALL=C comm -23 <(echo "$imports") <(echo "$allowed"))
  if [ -n "$unlisted" ]; then
    echo "FAIL $dll imports what the allow-list does not hold:"
    sed 's/^/  /' <<<"$unlisted"
    status=1
  fi
  all+=$imports$'\n'
done
stale=$(LC_ALL=C comm -13 <(echo -n "$all" | LC_ALL=C sort -u) <(echo "$allowed"))
if [ -n "$stale" ]; then
  echo "FAIL on the allow-list but imported by none of the DLLs:"
  sed 's/^/  /' <<<"$stale"
  status=1
fi
[ $status -ne 0 ] || echo "ok imports-allowed"
exit $status
