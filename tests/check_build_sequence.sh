#!/usr/bin/env bash
# The README's build commands and the scripts, in either order, on a clean
# copy of the source tree: `cmake --preset linux` by hand configures with
# Ninja, as the scripts do, so a script's configure after it goes through;
# and a build directory configured earlier with another generator is
# configured afresh by the scripts' configure step instead of stopping them.
# Configures only, so it is cheap.
# usage: check_build_sequence.sh SOURCE_DIR
set -euo pipefail
source_dir=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# A clean clone: the files git knows (tracked and new), no build tree.
git -C "$source_dir" ls-files -z --cached --others --exclude-standard |
  (cd "$source_dir" && xargs -0 tar -cf - --no-recursion) | tar -xf - -C "$work"
cd "$work"
# shellcheck source=scripts/configure.sh
source scripts/configure.sh
status=0
generator() { sed -n 's/^CMAKE_GENERATOR:INTERNAL=//p' "build/$1/CMakeCache.txt"; }

# The documented sequence: configure by hand, then a script's step.
if cmake --preset linux >"$work/by-hand.out" 2>&1 &&
  configure_preset linux 2>"$work/script.err" && [ "$(generator linux)" = Ninja ] && [ ! -s "$work/script.err" ]; then
  echo "ok preset-then-script"
else
  echo "FAIL preset-then-script ($(generator linux)):"; cat "$work/by-hand.out" "$work/script.err"; status=1
fi

# A directory configured with another generator: the script's step says so
# and configures it afresh with Ninja.
rm -rf build/linux
cmake -S . -B build/linux -G "Unix Makefiles" >/dev/null
if configure_preset linux 2>"$work/fresh.err" && [ "$(generator linux)" = Ninja ] &&
  grep -q 'configured with "Unix Makefiles"' "$work/fresh.err" && cmake --build --preset linux --target help >/dev/null; then
  echo "ok other-generator-configured-afresh"
else
  echo "FAIL other-generator-configured-afresh ($(generator linux)):"; cat "$work/fresh.err"; status=1
fi
exit $status
