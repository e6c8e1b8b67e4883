#!/usr/bin/env bash
# PyKCS11 on the module: four programs sign at once, each asking every
# length first (slot list, signature) and logging out and in again midway,
# which resets the card under the others; five runs in a row. A length
# asked and the call that follows must agree whatever the card went through.
set -uo pipefail
source "$(dirname "$0")/tier_checks.sh"

# Debian's python3 holds PyKCS11 (python3-pykcs11); another python on the
# PATH may not.
python=/usr/bin/python3
if ! "$python" -c 'import PyKCS11, cryptography' 2>/dev/null; then
  echo "SKIP: no PyKCS11 for $python (Debian python3-pykcs11)"
  exit 77
fi

for round in 1 2 3 4 5; do
  pids=()
  for program in 1 2 3 4; do
    "$python" "$(dirname "$0")/pykcs11_sign.py" >"$out/sign-$round-$program.out" 2>"$out/sign-$round-$program.err" &
    pids+=($!)
  done
  for i in "${!pids[@]}"; do
    wait "${pids[$i]}" || fail "run $round, program $((i + 1)): $(cat "$out/sign-$round-$((i + 1)).err")"
  done
done
exit $((failures > 0))
