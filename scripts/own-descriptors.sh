#!/usr/bin/env bash
# Runs a command with standard input, output and error only. The daemons the
# tiers start (the emulated card, pcscd, sshd, Xvfb) outlive the shell that
# starts them: one that kept a descriptor of its caller open (a lock held on
# it, a pipe a caller reads to the end) would hold it until it is stopped.
#   scripts/own-descriptors.sh COMMAND [ARGS...]
# Bash keeps this script open on 255 and closes that itself at exec.
for fd in /proc/$$/fd/*; do
  fd=${fd##*/}
  case $fd in
    0 | 1 | 2 | 255) ;;
    *) exec {fd}>&- ;;
  esac
done
exec "$@"
