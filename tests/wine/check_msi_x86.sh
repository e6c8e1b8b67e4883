#!/usr/bin/env bash
# The x86 package, which this machine cannot install, read from its tables:
# the x86 DLL (byte for byte) into the system directory of 32-bit Windows, the
# card registered in the one registry view, the settings written only where
# absent and kept at uninstall, refused on 64-bit Windows, upgrades by version;
# and the help desk's vela3ro-tool.exe, a 32-bit program with system imports
# only, in Program Files.
# usage: check_msi_x86.sh SOURCE_DIR VERSION X86_DLL X86_TOOL OBJDUMP WORK_DIR
set -euo pipefail
source_dir=$1 version=$2 dll=$3 tool=$4 objdump=$5 work=$6
[ -f "$dll" ] || { echo "no x86 DLL at $dll (build the windows-x86 preset)"; exit 1; }
[ -f "$tool" ] || { echo "no x86 vela3ro-tool.exe at $tool (build the windows-x86 preset)"; exit 1; }
rm -rf "$work"
mkdir -p "$work"
msi=$work/vela3ro-$version-x86.msi
"$source_dir/scripts/build-msi.sh" x86 "$version" "$msi" "$dll" "$tool"
status=0

# Rows of TABLE with the given columns (1-based), tab-separated and sorted.
rows() {
  local table=$1
  shift
  msiinfo export "$msi" "$table" | awk -F'\t' -v cols="$*" 'NR > 3 {
    n = split(cols, c, " "); line = $c[1]
    for (i = 2; i <= n; i++) line = line "\t" $c[i]
    print line }' | tr -d '\r' | sort
}
expect() {  # NAME, then the expected rows on stdin, compared with the rest
  local name=$1 expected actual
  expected=$(sort)
  actual=$(cat "$work/actual")
  if [ "$expected" = "$actual" ]; then
    echo "ok $name"
  else
    echo "FAIL $name"
    diff <(echo "$expected") <(echo "$actual") | sed 's/^/  /'
    status=1
  fi
}

card='SOFTWARE\Microsoft\Cryptography\Calais\SmartCards\VELA G3 ReadOnly'
settings='SOFTWARE\Norvantis\CardMiniDriverRO'
size=$(stat -c %s "$dll") tool_size=$(stat -c %s "$tool")

# The system directory, which is System32 on 32-bit Windows, and the tool's
# folder in Program Files.
rows Directory 1 2 3 >"$work/actual"
expect directories <<EOF
ProgramFilesFolder	TARGETDIR	.
SystemFolder	TARGETDIR	.
TARGETDIR		SourceDir
ToolFolder	VendorFolder	vela3ro
VendorFolder	ProgramFilesFolder	Norvantis
EOF
# Component, directory, attributes: none 64-bit (256); 4 has a registry key
# path; 16 is permanent.
rows Component 1 3 4 >"$work/actual"
expect components <<EOF
CardRegistration32	TARGETDIR	4
ModuleX86	SystemFolder	0
Settings	TARGETDIR	20
Tool	ToolFolder	0
EOF
rows File 2 3 4 5 6 >"$work/actual"
expect files <<EOF
ModuleX86	vela3ro.dll	$size	$version.0	1031
Tool	vela3ro-tool.exe	$tool_size	$version.0	1031
EOF
rows Registry 2 3 4 5 6 >"$work/actual"
expect registry <<EOF
2	$card	80000001	vela3ro.dll	CardRegistration32
2	$card	ATR	#x3B8A018056454C41473300900000	CardRegistration32
2	$card	ATRMask	#xFFFFFFFFFFFFFFFFFFFF00FFFF00	CardRegistration32
2	$card	Crypto Provider	Microsoft Base Smart Card Crypto Provider	CardRegistration32
2	$card	Smart Card Key Storage Provider	Microsoft Smart Card Key Storage Provider	CardRegistration32
2	$settings	CacheMode	[VELA_CACHEMODE]	Settings
2	$settings	LogAPDU	[VELA_LOGAPDU]	Settings
2	$settings	LogLevel	[VELA_LOGLEVEL]	Settings
2	$settings	LogPath	[VELA_LOGPATH]	Settings
2	$settings	UserPCP	[VELA_USERPCP]	Settings
2	$settings	usePinPad	[VELA_USEPINPAD]	Settings
EOF
# Each setting's property starts at its default and takes the value found
# (type 2: raw, in the 32-bit view).
rows AppSearch 1 2 >"$work/found"
join -t $'\t' -1 2 -2 1 -o 1.1,2.2,2.3,2.4 <(sort -t $'\t' -k 2 "$work/found") \
  <(rows RegLocator 1 3 4 5 | sort -t $'\t' -k 1) | sort >"$work/searches"
join -t $'\t' <(cat "$work/searches") <(rows Property 1 2) | cut -f 1,3- | sort >"$work/actual"
expect settings-defaults <<EOF
VELA_CACHEMODE	CacheMode	2	3
VELA_LOGAPDU	LogAPDU	2	FALSE
VELA_LOGLEVEL	LogLevel	2	0
VELA_LOGPATH	LogPath	2	C:\Windows\Temp\\
VELA_USEPINPAD	usePinPad	2	FALSE
VELA_USERPCP	UserPCP	2	0
EOF
rows LaunchCondition 1 >"$work/actual"
expect launch-conditions <<EOF
NOT VersionNT64
NOT WIX_DOWNGRADE_DETECTED
EOF
# Older versions of this package are replaced, newer ones detected (and
# refused by the launch condition).
upgrade_code=$(rows Property 1 2 | sed -n 's/^UpgradeCode\t//p')
rows Upgrade 1 2 3 5 7 >"$work/actual"
expect upgrades <<EOF
$upgrade_code		$version	1	WIX_UPGRADE_DETECTED
$upgrade_code	$version		2	WIX_DOWNGRADE_DETECTED
EOF
# Programs and Features: no Modify, a help link and a contact, the size in
# KiB of what the package installs.
rows Property 1 2 | grep -E '^(ProductVersion|ProductLanguage|ALLUSERS|ARP[A-Z]*)'$'\t' >"$work/actual"
expect properties <<EOF
ALLUSERS	1
ARPCONTACT	Norvantis Support, support@norvantis.example
ARPHELPLINK	https://www.norvantis.example/support/vela3ro
ARPNOMODIFY	1
ARPSIZE	$(((size + tool_size + 1023) / 1024))
ARPURLINFOABOUT	https://www.norvantis.example/support/vela3ro
ProductLanguage	1031
ProductVersion	$version
EOF
# One language throughout: the summary's too.
template=$(msiinfo suminfo "$msi" | sed -n 's/^Template: //p')
[ "$template" = "Intel;1031" ] && echo "ok platform-intel-language-1031" || { echo "FAIL template: $template"; status=1; }

# The file in the package's cabinet is the build's DLL.
msiextract -C "$work/extracted" "$msi" >/dev/null
if cmp "$work/extracted/vela3ro.dll" "$dll"; then echo "ok packed-dll"; else echo "FAIL packed-dll"; status=1; fi
packed_tool=$(find "$work/extracted" -name vela3ro-tool.exe | head -n 1)
if [ -n "$packed_tool" ] && cmp "$packed_tool" "$tool"; then echo "ok packed-tool"; else echo "FAIL packed-tool"; status=1; fi
# The tool runs where 32-bit Windows runs it: an i386 image that imports
# system DLLs only (the runtime linked in).
dump=$("$objdump" -p "$tool")
grep -q '^architecture: i386' <<<"$(LC_ALL=C "$objdump" -f "$tool")" && grep -Eq '^Magic[[:space:]]+010b' <<<"$dump" &&
  echo "ok tool-i386" || { echo "FAIL tool-i386: not a 32-bit x86 image"; status=1; }
foreign=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$dump" | tr '[:upper:]' '[:lower:]' |
  grep -vxE 'kernel32.dll|advapi32.dll|user32.dll|winscard.dll|msvcrt.dll|crypt32.dll|version.dll' || true)
[ -z "$foreign" ] && echo "ok tool-system-imports" || { echo "FAIL tool-system-imports: $foreign"; status=1; }
exit $status
