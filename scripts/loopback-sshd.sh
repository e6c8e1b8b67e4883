# A loopback sshd of our own, for the pkcs11 tier's ssh test and the card-time
# benchmark: sourced, not run.
#   start_loopback_sshd DIR AUTHORIZED_KEYS
# makes a host key and a configuration in DIR (an absolute path), starts
# /usr/sbin/sshd on a free port of 127.0.0.1 that accepts the keys of
# AUTHORIZED_KEYS only, and waits until it listens. Sets $sshd_port and
# $sshd_pid (stop it with kill); returns 1, its log in DIR/sshd.log, when it
# does not come up. The sshd gets no descriptor of the caller's (a lock held
# on one ends with the caller).

loopback_sshd_scripts=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

# Whether something listens on (state 0A) or holds (any state) a loopback port.
port_in_use() {
  awk -v p="$(printf ':%04X' "$1")" -v listening="${2:-}" \
    'substr($2, length($2) - 4) == p && (listening == "" || $4 == "0A") { found = 1 } END { exit !found }' \
    /proc/net/tcp /proc/net/tcp6 2>/dev/null
}

start_loopback_sshd() {
  local dir=$1 keys=$2 port="" candidate i
  # sshd needs its privilege separation folder.
  mkdir -p /run/sshd 2>/dev/null || true
  ssh-keygen -q -t ed25519 -N '' -f "$dir/host_key" </dev/null || return 1
  for candidate in $(shuf -i 20000-40000 -n 50); do
    if ! port_in_use "$candidate"; then
      port=$candidate
      break
    fi
  done
  [ -n "$port" ] || return 1
  cat >"$dir/sshd_config" <<CONFIG
ListenAddress 127.0.0.1:$port
HostKey $dir/host_key
PidFile $dir/sshd.pid
AuthorizedKeysFile $keys
StrictModes no
UsePAM no
PasswordAuthentication no
KbdInteractiveAuthentication no
PubkeyAuthentication yes
PermitRootLogin prohibit-password
CONFIG
  "$loopback_sshd_scripts/own-descriptors.sh" /usr/sbin/sshd -D -e -f "$dir/sshd_config" 2>"$dir/sshd.log" &
  sshd_pid=$!
  sshd_port=$port
  for i in $(seq 100); do
    port_in_use "$port" listening && return 0
    sleep 0.1
  done
  return 1
}
