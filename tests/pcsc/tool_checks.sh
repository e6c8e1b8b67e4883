# Helpers of the tool's pcsc checks, sourced by tool_*.sh. The caller sets
# `tool`; each run's output is kept in $out/NAME.out and $out/NAME.err.
failures=0
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# run NAME EXPECTED_STATUS ARGS...: runs the tool and checks its exit status
# and that it left no host block over.
run() {
  local name=$1 expected=$2 status
  shift 2
  "$tool" "$@" >"$out/$name.out" 2>"$out/$name.err"
  status=$?
  if [ "$status" -ne "$expected" ]; then
    fail "$name: exit status $status, expected $expected"
    sed 's/^/  | /' "$out/$name.out" "$out/$name.err"
  fi
  if grep -q "left over" "$out/$name.err"; then fail "$name: $(cat "$out/$name.err")"; fi
}
