# Helpers of the pkcs11 tier's scripts, sourced by them. ctest gives the
# environment: VELA_P11_MODULE (the PKCS#11 module), VELA_CARD_STATE (the
# emulated card's folder: trace.txt, ca.pem), VELA_CARD_SERIAL. Each run's
# output is kept in $out/NAME.out and $out/NAME.err.
module=${VELA_P11_MODULE:?run the pkcs11 tier through ctest}
state=${VELA_CARD_STATE:?run the pkcs11 tier through ctest}
serial=${VELA_CARD_SERIAL:?run the pkcs11 tier through ctest}
pin=123456
failures=0
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# run NAME EXPECTED_STATUS COMMAND...: runs a program and checks its exit status.
run() {
  local name=$1 expected=$2 status
  shift 2
  timeout 120 "$@" >"$out/$name.out" 2>"$out/$name.err"
  status=$?
  if [ "$status" -ne "$expected" ]; then
    fail "$name: exit status $status, expected $expected: $*"
    sed 's/^/  | /' "$out/$name.out" "$out/$name.err"
  fi
  return 0
}

# The commands the card has received so far.
apdus() { grep -c '^>' "$state/trace.txt"; }

# A TCP port on loopback that nothing listens on.
free_port() {
  local port
  for port in $(shuf -i 20000-40000 -n 50); do
    if ! awk -v p="$(printf ':%04X' "$port")" 'substr($2, length($2) - 4) == p { found = 1 } END { exit !found }' \
      /proc/net/tcp /proc/net/tcp6 2>/dev/null; then
      echo "$port"
      return 0
    fi
  done
  return 1
}

# Waits until something listens on the loopback port.
wait_listening() {
  local port=$1 i
  for i in $(seq 100); do
    awk -v p="$(printf ':%04X' "$port")" 'substr($2, length($2) - 4) == p && $4 == "0A" { found = 1 } END { exit !found }' \
      /proc/net/tcp /proc/net/tcp6 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

# The token of the emulated card as a pkcs11: URI (the card's serial in the label).
token_uri="pkcs11:model=VELA%20G3;token=VELA%20G3%20$serial"
