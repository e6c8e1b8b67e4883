#!/usr/bin/env bash
# Serves the emulated card through the real PC/SC stack, and takes it down
# again. Shared by the pcsc test tier (its ctest fixture), run-tests.sh and
# demo.sh.
#
#   scripts/emulated-card.sh start STATE_DIR VELA_CARD [vela-card options]
#       starts pcscd if it is not running (with its vpcd reader driver), then
#       VELA_CARD with --trace STATE_DIR/trace.txt; returns once the card is
#       ready and the reader shows it. What it started is noted in STATE_DIR.
#   scripts/emulated-card.sh ensure STATE_DIR VELA_CARD [vela-card options]
#       the same, unless a card already sits in the vpcd reader: then that
#       card is used and nothing is started.
#   scripts/emulated-card.sh stop STATE_DIR
#       stops what start noted, and nothing else.
#   scripts/emulated-card.sh pull STATE_DIR
#       takes the card out of the reader (stops the card that start noted,
#       leaves pcscd running); returns once the reader shows no card.
#   scripts/emulated-card.sh insert STATE_DIR VELA_CARD [vela-card options]
#       puts a card in again after pull; stop still stops what start noted.
#   scripts/emulated-card.sh restart-pcscd STATE_DIR
#       stops pcscd and starts it again under the running card, which
#       connects to the new vpcd by itself; returns once the reader shows the
#       card. A pcscd that start started is noted anew, so stop stops it.
set -euo pipefail

reader="Virtual PCD 00 00"
# Daemons start with no descriptor of the caller's (a lock the caller holds
# among them), so they hold nothing of it once the caller is gone.
own_descriptors=$(cd "$(dirname "$0")" && pwd)/own-descriptors.sh
vpcd_port=35963

usage() {
  echo "usage: $0 start|ensure|insert STATE_DIR VELA_CARD [vela-card options] | stop|pull|restart-pcscd STATE_DIR" >&2
  exit 2
}

# Notes a process as "pid program", so that stop can tell it from a later
# process that got the same pid.
note_pid() { echo "$1 $(cat "/proc/$1/comm")" >"$2"; }

# The pid noted in a file, if that process still runs the noted program.
noted_pid() {
  local pid program
  [ -f "$1" ] || return 1
  read -r pid program <"$1" || return 1
  [ -n "$pid" ] && [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = "$program" ] || return 1
  echo "$pid"
}

stop_pid() {
  local pid=$1 i
  kill -TERM "$pid" 2>/dev/null || return 0
  for i in $(seq 50); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
}

# TCP sockets on the vpcd port in a state (0A listening, 01 connected), from
# /proc: no tool needed, and no connection that vpcd would take for a card.
vpcd_socket() {
  awk -v port="$(printf ':%04X' "$vpcd_port")" -v state="$1" \
    'substr($2, length($2) - 4) == port && $4 == state { found = 1 } END { exit !found }' \
    /proc/net/tcp /proc/net/tcp6 2>/dev/null
}
vpcd_listening() { vpcd_socket 0A; }
vpcd_has_card() { vpcd_socket 01; }
reader_shows_card() { opensc-tool -l 2>/dev/null | grep -E "^[0-9]+ +Yes .*$reader" >/dev/null; }

start() {
  local state=$1 card=$2 i
  shift 2
  mkdir -p "$state"
  state=$(cd "$state" && pwd)
  [ -x "$card" ] || { echo "emulated-card: no vela-card at $card (build it first)" >&2; exit 1; }
  if noted_pid "$state/card.pid" >/dev/null; then
    echo "emulated-card: a card started from $state still runs; stop it first" >&2
    exit 1
  fi
  rm -f "$state/card.pid" "$state/pcscd.pid" "$state/trace.txt" "$state/card.log"

  if ! pidof pcscd >/dev/null; then
    launch_pcscd "$state"
  fi
  for i in $(seq 50); do
    vpcd_listening && break
    sleep 0.1
  done
  if ! vpcd_listening; then
    echo "emulated-card: pcscd runs without the vpcd reader (is vsmartcard-vpcd installed? then restart pcscd)" >&2
    exit 1
  fi
  launch_card "$state" "$card" "$@"
}

# Starts pcscd and notes it in STATE_DIR.
launch_pcscd() {
  local state=$1 i pcscd_pid
  "$own_descriptors" pcscd </dev/null >/dev/null 2>&1
  for i in $(seq 100); do
    [ -S /run/pcscd/pcscd.comm ] && [ -s /run/pcscd/pcscd.pid ] && break
    sleep 0.1
  done
  # pcscd ends its pid file with a zero byte.
  pcscd_pid=$(tr -d '\0' </run/pcscd/pcscd.pid)
  note_pid "$pcscd_pid" "$state/pcscd.pid"
  echo "emulated-card: started pcscd (pid $pcscd_pid)"
}

# Starts VELA_CARD on the vpcd reader and notes it in STATE_DIR.
launch_card() {
  local state=$1 card=$2 i
  shift 2
  if vpcd_has_card; then
    echo "emulated-card: another card is already connected to the vpcd reader" >&2
    exit 1
  fi

  # Its own output goes to a file: whoever runs this script (ctest among
  # them) must not wait on a pipe the card keeps open. The file is emptied
  # here, before the card starts, and the card appends to it: the shell
  # started in the background opens its redirection only once it runs, which
  # on a busy machine may come after the first looks below, and a file it
  # emptied then could first show the ready line of the card before (pulled,
  # its log kept) and then nothing.
  : >"$state/card.log"
  "$own_descriptors" "$card" --trace "$state/trace.txt" "$@" </dev/null >>"$state/card.log" 2>&1 &
  local pid=$!
  # Until the card is ready and noted, a failed start takes it down itself.
  trap "stop_pid $pid" EXIT
  for i in $(seq 300); do
    grep -q "^vela-card ready" "$state/card.log" && break
    if ! kill -0 "$pid" 2>/dev/null; then
      echo "emulated-card: the card stopped before it was ready:" >&2
      cat "$state/card.log" >&2
      exit 1
    fi
    sleep 0.1
  done
  grep -q "^vela-card ready" "$state/card.log" || { echo "emulated-card: the card never became ready" >&2; exit 1; }
  # Ready means the program runs (no longer the shell that started it).
  note_pid "$pid" "$state/card.pid"
  for i in $(seq 100); do
    reader_shows_card && break
    sleep 0.2
  done
  reader_shows_card || { echo "emulated-card: \"$reader\" shows no card" >&2; exit 1; }
  trap - EXIT
  echo "emulated-card: card ready in \"$reader\" (trace: $state/trace.txt)"
}

stop() {
  local state=$1 pid
  [ -d "$state" ] || return 0
  if pid=$(noted_pid "$state/card.pid"); then stop_pid "$pid"; fi
  rm -f "$state/card.pid"
  if pid=$(noted_pid "$state/pcscd.pid"); then
    stop_pid "$pid"
    echo "emulated-card: stopped pcscd (pid $pid)"
  fi
  rm -f "$state/pcscd.pid"
}

pull() {
  local state=$1 pid i
  if pid=$(noted_pid "$state/card.pid"); then stop_pid "$pid"; fi
  rm -f "$state/card.pid"
  for i in $(seq 100); do
    reader_shows_card || break
    sleep 0.1
  done
  ! reader_shows_card || { echo "emulated-card: \"$reader\" still shows a card" >&2; exit 1; }
  echo "emulated-card: card taken out of \"$reader\""
}

insert() {
  local state=$1 card=$2
  shift 2
  state=$(cd "$state" && pwd)
  if noted_pid "$state/card.pid" >/dev/null; then
    echo "emulated-card: a card started from $state still runs; pull it first" >&2
    exit 1
  fi
  launch_card "$state" "$card" "$@"
}

restart_pcscd() {
  local state=$1 pid ours=0 i
  state=$(cd "$state" && pwd)
  noted_pid "$state/pcscd.pid" >/dev/null && ours=1
  for pid in $(pidof pcscd); do stop_pid "$pid"; done
  rm -f "$state/pcscd.pid"
  for i in $(seq 50); do
    [ -e /run/pcscd/pcscd.comm ] || break
    sleep 0.1
  done
  launch_pcscd "$state"
  # Someone else's pcscd is not ours to stop later.
  [ $ours -eq 1 ] || rm -f "$state/pcscd.pid"
  for i in $(seq 150); do
    reader_shows_card && break
    sleep 0.2
  done
  reader_shows_card || { echo "emulated-card: \"$reader\" shows no card after the restart" >&2; exit 1; }
  echo "emulated-card: pcscd restarted, card in \"$reader\""
}

ensure() {
  if pidof pcscd >/dev/null && vpcd_has_card && reader_shows_card; then
    echo "emulated-card: using the card already in \"$reader\""
    return 0
  fi
  start "$@"
}

case "${1:-}" in
  start) [ $# -ge 3 ] || usage; shift; start "$@" ;;
  ensure) [ $# -ge 3 ] || usage; shift; ensure "$@" ;;
  stop) [ $# -eq 2 ] || usage; stop "$2" ;;
  pull) [ $# -eq 2 ] || usage; pull "$2" ;;
  insert) [ $# -ge 3 ] || usage; shift; insert "$@" ;;
  restart-pcscd) [ $# -eq 2 ] || usage; restart_pcscd "$2" ;;
  *) usage ;;
esac
