#!/usr/bin/env bash
# The main job on a machine without a reader: installs what is missing,
# builds, serves the emulated card through pcscd and vpcd (unless a card is
# already there), and shows what the module reports about it with
# `vela3ro-tool scinfo`. Stops what it started.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --minimal
source scripts/configure.sh

build=build/linux
configure_preset linux
cmake --build --preset linux -j "$(nproc)" --target vela3ro vela3ro-tool vela-card

state=$build/demo-card
trap 'scripts/emulated-card.sh stop "$state" >/dev/null' EXIT
scripts/emulated-card.sh ensure "$state" "$build/emulator/vela-card" --serial 0A1B2C3D4E5F60718293 "$@"
echo
"$build/tool/vela3ro-tool" --reader "Virtual PCD 00 00" scinfo
