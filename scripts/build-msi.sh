#!/usr/bin/env bash
# Builds one Windows Installer package from install/vela3ro.wxs with wixl
# (Debian wixl and msitools).
# usage: scripts/build-msi.sh x64 VERSION OUTPUT.msi X64_DLL X86_DLL TOOL_EXE
#        scripts/build-msi.sh x86 VERSION OUTPUT.msi X86_DLL TOOL_EXE
set -euo pipefail
usage() { sed -n '4,5s/^# //p' "$0" >&2; exit 2; }
[ $# -ge 4 ] || usage
arch=$1 version=$2 output=$3
case $arch in
  x64) [ $# -eq 6 ] || usage; dll_x64=$4 dll_x86=$5 tool=$6 ;;
  x86) [ $# -eq 5 ] || usage; dll_x64= dll_x86=$4 tool=$5 ;;
  *) usage ;;
esac
[[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || { echo "version $version is not MAJOR.MINOR.PATCH" >&2; exit 2; }
# The file version of a DLL's version block (VS_FIXEDFILEINFO, found by its
# signature FEEF04BD).
dll_version() {
  local offset
  offset=$(LC_ALL=C grep -obUaP '\xbd\x04\xef\xfe' "$1" | head -n 1 | cut -d: -f1)
  [ -n "$offset" ] || return 0
  set -- $(od -An -tu2 -j $((offset + 8)) -N 8 "$1")
  echo "$2.$1.$4.$3"
}
# A DLL of another version (a stale build) is never packaged.
for dll in $dll_x64 $dll_x86; do
  [ -f "$dll" ] || { echo "no DLL at $dll" >&2; exit 1; }
  found=$(dll_version "$dll")
  [ "$found" = "$version.0" ] || { echo "$dll has version ${found:-none}, not $version.0" >&2; exit 1; }
done
[ -f "$tool" ] || { echo "no vela3ro-tool.exe at $tool" >&2; exit 1; }
source=$(cd "$(dirname "$0")/../install" && pwd)
output=$(cd "$(dirname "$output")" && pwd)/$(basename "$output")

# The product code follows from the architecture and the version (a
# name-based UUID), so a package rebuilt at the same version is the same
# product to Windows Installer, never a second installation beside the first.
product_code() {
  local h
  h=$(printf 'vela3ro %s %s' "$1" "$2" | sha1sum)
  printf '%s-%s-5%s-%x%s-%s\n' "${h:0:8}" "${h:8:4}" "${h:13:3}" $(((16#${h:16:1} & 3) | 8)) "${h:17:3}" \
    "${h:20:12}" | tr a-f A-F
}

# wixl finds sources relative to its working directory only: the DLLs are
# staged as x64/vela3ro.dll and x86/vela3ro.dll, the tool in the package's
# architecture's folder.
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
log=$stage/wixl.log
for dll_arch in x64 x86; do
  dll_var=dll_$dll_arch
  [ -z "${!dll_var}" ] || install -D -m 644 "${!dll_var}" "$stage/$dll_arch/vela3ro.dll"
done
install -D -m 644 "$tool" "$stage/$arch/vela3ro-tool.exe"
if ! (cd "$stage" && wixl -a "$arch" -D Arch="$arch" -D Version="$version" \
  -D ProductCode="$(product_code "$arch" "$version")" -o "$output" "$source/vela3ro.wxs") >"$log" 2>&1 ||
  grep -q WARNING "$log"; then
  # wixl drops attributes it does not know with only a warning: treat it as an error.
  cat "$log" >&2
  rm -f "$output"
  exit 1
fi

# What wixl 0.101 leaves out, set in the tables:
# - it writes a binary registry value without the "#x" that makes it binary
#   (the ATR would become a string);
# - it ignores Component/@Permanent (the settings component keeps its values
#   at uninstall: msidbComponentAttributesPermanent, 16);
# - it leaves the files' Version empty, and Windows Installer never replaces a
#   versioned file with an unversioned one, so a vela3ro.dll already in
#   System32 (copied there by hand) would stay. The DLLs' version block holds
#   the project version.
table_field() {  # TABLE KEY_COLUMN_NUMBER KEY VALUE_COLUMN_NUMBER
  msiinfo export "$output" "$1" | tr -d '\r' | awk -F'\t' -v k="$3" -v key="$2" -v col="$4" 'NR > 3 && $key == k { print $col }'
}
sql() { msibuild "$output" -q "$1"; }
for name in ATR ATRMask; do
  value=$(table_field Registry 4 "$name" 5 | head -n 1)
  [ -n "$value" ] || { echo "no $name value in the Registry table" >&2; exit 1; }
  [[ $value == '#x'* ]] || sql "UPDATE \`Registry\` SET \`Value\` = '#x$value' WHERE \`Name\` = '$name'"
done
for file in $(msiinfo export "$output" File | awk -F'\t' 'NR > 3 { print $1 }'); do
  sql "UPDATE \`File\` SET \`Version\` = '$version.0', \`Language\` = '1031' WHERE \`File\` = '$file'"
done
attributes=$(table_field Component 1 Settings 4)
sql "UPDATE \`Component\` SET \`Attributes\` = $((attributes | 16)) WHERE \`Component\` = 'Settings'"
# - it writes the summary's language as 1033 whatever Package/@Languages says:
#   the template is set to the product's language, German (1031);
# - Programs and Features shows the size Windows Installer was told (ARPSIZE,
#   in KiB): what the package puts on the disk.
uuid=$(msiinfo suminfo "$output" | sed -n 's/^Revision number (UUID): //p')
subject=$(msiinfo suminfo "$output" | sed -n 's/^Subject: //p')
template=$(msiinfo suminfo "$output" | sed -n 's/^Template: //p')
msibuild "$output" -s "$subject" Norvantis "${template%%;*};1031" "$uuid"
size=0
for file in "$stage"/x64/* "$stage"/x86/*; do [ -f "$file" ] && size=$((size + $(stat -c %s "$file"))); done
sql "INSERT INTO \`Property\` (\`Property\`, \`Value\`) VALUES ('ARPSIZE', '$(((size + 1023) / 1024))')"
echo "built $output ($arch, version $version)"
