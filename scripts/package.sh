#!/usr/bin/env bash
# The release in dist/ (or --dist DIR), with a SHA256SUMS file over it:
#   vela3ro-VERSION-x64.msi   both DLLs, the card in both registry views
#   vela3ro-VERSION-x86.msi   for 32-bit Windows
#   x64/ and x86/             vela3ro.dll, stripped, and vela3ro.dll.debug;
#                             x64/vela3ro-tool.exe, the administrator's check
#   vela3ro.reg, vela3ro-remove.reg   the manual install of the x64 DLL
#   vela3ro_VERSION_amd64.deb the Linux module, the PKCS#11 module with its
#                             p11-kit registration, vela3ro-tool
# The DLLs and the packages are signed when a certificate is given (options
# or environment as for scripts/sign.sh; the password from a file, from
# VELA_SIGN_PASSWORD or typed at the prompt, never on the command line);
# otherwise they stay unsigned and scripts/sign.sh says so. An existing DIR is
# cleared only when it is an earlier release (scripts/release-dir.sh).
# usage: scripts/package.sh [--dist DIR] [--pkcs12 FILE] [--password-file FILE] [--timestamp URL]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dist=$root/dist
sign_options=()
usage() { sed -n 's/^# usage: /usage: /p' "$0" >&2; exit 2; }
while [ $# -gt 0 ]; do
  case $1 in
    --dist) [ $# -ge 2 ] || usage; dist=$2; shift 2 ;;
    --pkcs12 | --password-file | --timestamp) [ $# -ge 2 ] || usage; sign_options+=("$1" "$2"); shift 2 ;;
    --password | --password=*)
      echo "package.sh: a password on the command line is visible to every local user;" \
        "use --password-file FILE, VELA_SIGN_PASSWORD or the prompt" >&2
      exit 2 ;;
    *) usage ;;
  esac
done
sign() { "$root/scripts/sign.sh" "${sign_options[@]}" "$@"; }
# With a certificate and no password given, the password is typed once here
# and handed to both signing rounds through the environment.
ask_password() {
  local option has_pkcs12=${VELA_SIGN_PKCS12:+1} has_file=
  for option in "${sign_options[@]}"; do
    case $option in --pkcs12) has_pkcs12=1 ;; --password-file) has_file=1 ;; esac
  done
  [ -n "$has_pkcs12" ] && [ -z "$has_file" ] && [ -z "${VELA_SIGN_PASSWORD+set}" ] && [ -t 0 ] || return 0
  IFS= read -r -s -p "password of the signing certificate: " VELA_SIGN_PASSWORD
  echo >&2
  export VELA_SIGN_PASSWORD
}

# Builds targets of a preset (configured once; the preset names Ninja).
build_targets() {
  local preset=$1
  shift
  [ -f "$root/build/$preset/CMakeCache.txt" ] || cmake -S "$root" --preset "$preset" >/dev/null
  (cd "$root" && cmake --build --preset "$preset" --target "$@" -j "$(nproc)")
}

windows_release() {
  build_targets windows vela3ro vela3ro-tool
  build_targets windows-x86 vela3ro vela3ro-tool
  version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$root/build/windows/CMakeCache.txt")
  local arch preset
  for arch in x64 x86; do
    preset=windows
    [ $arch = x64 ] || preset=windows-x86
    mkdir -p "$dist/$arch"
    cp "$root/build/$preset/vela3ro.dll" "$root/build/$preset/vela3ro.dll.debug" \
      "$root/build/$preset/tool/vela3ro-tool.exe" "$dist/$arch/"
  done
  # The DLLs and the tools are signed before they go into the packages.
  sign "$dist/x64/vela3ro.dll" "$dist/x86/vela3ro.dll" "$dist/x64/vela3ro-tool.exe" "$dist/x86/vela3ro-tool.exe"
  "$root/scripts/build-msi.sh" x64 "$version" "$dist/vela3ro-$version-x64.msi" "$dist/x64/vela3ro.dll" \
    "$dist/x86/vela3ro.dll" "$dist/x64/vela3ro-tool.exe"
  "$root/scripts/build-msi.sh" x86 "$version" "$dist/vela3ro-$version-x86.msi" "$dist/x86/vela3ro.dll" \
    "$dist/x86/vela3ro-tool.exe"
  sign "$dist/vela3ro-$version-x64.msi" "$dist/vela3ro-$version-x86.msi"
  cp "$root/install/vela3ro.reg" "$root/install/vela3ro-remove.reg" "$dist/"
}

# The Debian package, made by CPack from the linux preset's build.
linux_release() {
  [ -f "$root/build/linux/CMakeCache.txt" ] || cmake -S "$root" --preset linux >/dev/null
  (cd "$root" && cmake --build --preset linux --target vela3ro vela3ro-pkcs11 vela3ro-tool vela3ro-package-docs -j "$(nproc)")
  cpack --config "$root/build/linux/CPackConfig.cmake" -B "$root/build/linux/package" >/dev/null
  cp "$root/build/linux/package/vela3ro_${version}_amd64.deb" "$dist/"
}

write_checksums() {
  (cd "$dist" && find . -type f ! -name SHA256SUMS | sed 's|^\./||' | LC_ALL=C sort | xargs sha256sum >SHA256SUMS)
}

# shellcheck source=scripts/release-dir.sh
. "$root/scripts/release-dir.sh"
prepare_release_dir "$dist"
dist=$(cd "$dist" && pwd)
ask_password
windows_release
linux_release
write_checksums
echo "release $version in $dist:"
(cd "$dist" && find . -type f | sed 's|^\./|  |' | LC_ALL=C sort)
