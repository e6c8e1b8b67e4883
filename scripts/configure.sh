# Configures a preset's build directory, for the scripts that build (sourced,
# from the source root). The presets name Ninja, so `cmake --preset NAME`
# typed by hand and the scripts make the same directory. One configured
# before with another generator (a build from before the presets named one,
# or `cmake -B build/linux` by hand) cannot be switched in place: it is
# configured afresh, and the script says so.
# usage: configure_preset PRESET
configure_preset() {
  local preset=$1 cache generator
  cache=build/$preset/CMakeCache.txt
  generator=$( [ -f "$cache" ] && sed -n 's/^CMAKE_GENERATOR:INTERNAL=//p' "$cache" || true)
  if [ -n "$generator" ] && [ "$generator" != Ninja ]; then
    echo "build/$preset was configured with \"$generator\", the presets use Ninja: configuring it afresh" >&2
    cmake --preset "$preset" --fresh >/dev/null
  else
    cmake --preset "$preset" >/dev/null
  fi
}
