#!/usr/bin/env bash
# vela3ro-tool.1 from the tool's own --help, so the manual page says what the
# program says; gzipped without a timestamp for the Debian package.
# usage: manpage.sh TOOL VERSION OUTPUT.1.gz
set -euo pipefail
tool=$1 version=$2 output=$3
help=$("$tool" --help)
{
  echo ".TH VELA3RO-TOOL 1 \"\" \"vela3ro $version\" \"User Commands\""
  echo ".SH NAME"
  echo "vela3ro-tool \\- look at a VELA generation-3 card through the vela3ro module"
  echo ".SH SYNOPSIS"
  echo ".B vela3ro-tool"
  echo "[\\fB\\-\\-module\\fR \\fIPATH\\fR] [\\fB\\-\\-reader\\fR \\fINAME\\fR] [\\fB\\-\\-json\\fR] \\fICOMMAND\\fR [\\fIARGS\\fR]"
  echo ".SH DESCRIPTION"
  echo "vela3ro-tool loads libvela3ro.so as a host does, connects to the card through pcscd and"
  echo "shows what the module reports; \\fBcheck\\fR tells why the module is or is not used for the"
  echo "card in each reader. It exits with 0 on success, else with 1 and the reason."
  echo ".SH OPTIONS AND COMMANDS"
  echo ".nf"
  # Backslashes doubled, and a line that would start with a dot or quote
  # kept as text.
  sed -e 's/\\/\\\\/g' -e "s/^\\([.']\\)/\\\\\\&\\1/" -e 's/-/\\-/g' <<<"$help"
  echo ".fi"
  echo ".SH PINS"
  echo "A PIN not given as an option is asked for at the terminal without echo, or read as one"
  echo "line from standard input when that is not a terminal (\\fB< pin.txt\\fR). A PIN given as an"
  echo "option stands on the command line, where every local user can read it."
  echo ".SH FILES"
  echo ".TP"
  echo ".I /etc/vela3ro/registry.reg"
  echo "the settings of the module, in the format of the Windows registry editor's exports"
}  | gzip -9n >"$output"
