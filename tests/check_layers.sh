#!/usr/bin/env bash
# Fails when a file includes a header from a floor above its own. The module's
# floors, top to bottom: frontend; the subsystems files, auth, keys and
# properties (which do not import each other); card; crypto; core; platform.
# The hosts (host/ and the programs on it) see the module only through its
# interface header, plus the few ground-floor pieces the table names (result
# names, the registry and its file reader, crypto/'s primitives, the wipe,
# and the card's profile table, whose files the PKCS#11 cache proves). The
# PKCS#11 module also sends the card layer's key-agreement command itself, for
# the raw secret the function table does not give, with the log settings the
# minidriver reads.
#
#   check_layers.sh SOURCE_DIR     check the tree
#   check_layers.sh --self-test    check that a planted upward include is found
set -euo pipefail

# folder -> what its files may include: a folder name admits the whole folder,
# a path admits that one header.
declare -A allowed=(
  [platform]="platform"
  [core]="core platform"
  [crypto]="crypto core/secure_wipe.h"
  [card]="card core platform"
  [files]="files card crypto core platform"
  [auth]="auth card crypto core platform"
  [keys]="keys card crypto core platform"
  [properties]="properties card crypto core platform"
  [frontend]="frontend files auth keys properties card crypto core platform"
  [host]="host core/minidriver_abi.h core/result_names.h"
  [tool]="tool host core/minidriver_abi.h core/secure_wipe.h platform/reg_file.h"
  [pkcs11]="pkcs11 host crypto core/minidriver_abi.h core/secure_wipe.h platform/registry.h platform/unique_fd.h card/profile_table.h card/card_commands.h core/card_context.h core/settings.h"
  [emulator]="emulator"
)

check() {
  local root=$1 failures=0 folder file line target ok entry
  cd "$root"
  for folder in "${!allowed[@]}"; do
    [ -d "$folder" ] || continue
    while IFS= read -r file; do
      while IFS= read -r line; do
        target=${line#*\"}
        target=${target%%\"*}
        # Only project paths (folder/name); headers beside the file are its own.
        [[ $target == */* ]] || continue
        ok=0
        for entry in ${allowed[$folder]}; do
          if [ "$target" = "$entry" ] || [[ $target == "$entry"/* ]]; then
            ok=1
            break
          fi
        done
        if [ $ok -eq 0 ]; then
          echo "$file includes $target: $folder/ may include only: ${allowed[$folder]}"
          failures=$((failures + 1))
        fi
      done < <(grep -E '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$file" || true)
    done < <(find "$folder" -type f \( -name '*.h' -o -name '*.cpp' \) | sort)
  done
  [ $failures -eq 0 ] || { echo "$failures include(s) against the layering"; return 1; }
  echo "layering holds"
}

if [ "${1:-}" = "--self-test" ]; then
  tree=$(mktemp -d)
  trap 'rm -rf "$tree"' EXIT
  mkdir -p "$tree/core" "$tree/card" "$tree/frontend"
  printf '#include "core/card_context.h"\n#include <vector>\n' > "$tree/card/good.cpp"
  ( check "$tree" ) >/dev/null || { echo "self-test: a sound tree was refused"; exit 1; }
  printf '#include "frontend/entry.h"\n' > "$tree/core/bad.h"
  if out=$( check "$tree" ); then
    echo "self-test: an upward include was not found"
    exit 1
  fi
  grep -q 'core/bad.h includes frontend/entry.h' <<< "$out" || { echo "self-test: wrong report: $out"; exit 1; }
  echo "self-test: an upward include is found"
  exit 0
fi

check "${1:?usage: check_layers.sh SOURCE_DIR | --self-test}"
