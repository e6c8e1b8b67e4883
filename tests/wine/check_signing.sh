#!/usr/bin/env bash
# scripts/sign.sh on the DLL and an MSI package, checked by osslsigncode
# against a throwaway root CA made here: the signatures verify (SHA-256), one
# changed byte or another CA makes verification fail, and without a
# certificate, or with a wrong password, the files stay as they were; the
# password comes from a file, the environment or the prompt, and is on no
# process's command line while the files are signed. Then
# scripts/package.sh with that certificate: every DLL and package in the
# release verifies, inside the x64 package too, and SHA256SUMS covers them.
# usage: check_signing.sh SOURCE_DIR VERSION X64_DLL X86_DLL TOOL_EXE WORK_DIR
set -euo pipefail
absolute() { echo "$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"; }
source_dir=$(absolute "$1") version=$2 dll_x64=$(absolute "$3") dll_x86=$(absolute "$4") tool=$(absolute "$5") work=$6
rm -rf "$work"
mkdir -p "$work"
cd "$work"
status=0
ok() { echo "ok $1"; }
bad() { echo "FAIL $*"; status=1; }

# The CA, a code-signing certificate it issues, and the PKCS#12 file of the
# certificate and its key; another CA that issued nothing here.
quiet() { "$@" >/dev/null 2>&1 || { echo "failed: $*"; exit 1; }; }
for ca in ca other-ca; do
  quiet openssl req -x509 -newkey rsa:2048 -nodes -keyout "$ca.key" -out "$ca.pem" -days 2 -subj "/CN=vela3ro test $ca" \
    -addext basicConstraints=critical,CA:true -addext keyUsage=critical,keyCertSign,cRLSign
done
quiet openssl req -newkey rsa:2048 -nodes -keyout signer.key -out signer.csr -subj "/CN=vela3ro test signer"
printf '%s\n' basicConstraints=CA:false keyUsage=critical,digitalSignature extendedKeyUsage=codeSigning >signer.ext
quiet openssl x509 -req -in signer.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile signer.ext -out signer.pem
quiet openssl pkcs12 -export -inkey signer.key -in signer.pem -certfile ca.pem -passout pass:test-password -out signer.p12

cp "$dll_x64" vela3ro.dll
"$source_dir/scripts/build-msi.sh" x64 "$version" package.msi "$dll_x64" "$dll_x86" "$tool" >/dev/null
cp vela3ro.dll unsigned.dll
cp package.msi unsigned.msi

# The output stays in logs/FILE.CA.
mkdir -p logs
log_of() { echo "logs/${1//\//_}.${2:-ca.pem}"; }
verify() { osslsigncode verify -CAfile "${2:-ca.pem}" -in "$1" >"$(log_of "$@")" 2>&1; }

# Without a certificate: said, and nothing changed.
message=$(env -u VELA_SIGN_PKCS12 "$source_dir/scripts/sign.sh" vela3ro.dll package.msi)
if [[ $message == *"left unsigned"* ]] && cmp -s vela3ro.dll unsigned.dll && cmp -s package.msi unsigned.msi; then
  ok no-certificate-leaves-files-unsigned
else
  bad no-certificate-leaves-files-unsigned: "$message"
fi
printf 'wrong\n' >wrong.pass
printf 'test-password\n' >right.pass
# A wrong password fails and changes nothing.
if ! "$source_dir/scripts/sign.sh" --pkcs12 signer.p12 --password-file wrong.pass vela3ro.dll >/dev/null 2>&1 &&
  cmp -s vela3ro.dll unsigned.dll; then
  ok wrong-password-fails
else
  bad wrong-password-fails
fi
# A password on the command line is refused, by both scripts, before anything is done.
for script in sign.sh package.sh; do
  rc=0
  "$source_dir/scripts/$script" --pkcs12 signer.p12 --password test-password vela3ro.dll >/dev/null 2>&1 || rc=$?
  if [ $rc -eq 2 ] && cmp -s vela3ro.dll unsigned.dll; then ok "$script-refuses-password-argument"; else
    bad "$script-refuses-password-argument" "(status $rc)"; fi
done

# Every command line of the machine, recorded while osslsigncode runs: the
# password must be on none of them (the scripts' own or osslsigncode's).
mkdir -p spy
cat >spy/osslsigncode <<SPY
#!/usr/bin/env bash
for f in /proc/[0-9]*/cmdline; do tr '\\0' ' ' <"\$f" 2>/dev/null; echo; done >>"$work/cmdlines"
PATH=${PATH}
exec osslsigncode "\$@"
SPY
chmod +x spy/osslsigncode
spied() { PATH=$work/spy:$PATH "$@"; }

# The password once from a file, once from the environment, once typed at
# the prompt (a terminal made by script(1)).
spied "$source_dir/scripts/sign.sh" --pkcs12 signer.p12 --password-file right.pass vela3ro.dll
VELA_SIGN_PKCS12=signer.p12 VELA_SIGN_PASSWORD=test-password spied "$source_dir/scripts/sign.sh" package.msi
cp unsigned.dll typed.dll
printf 'test-password\n' | spied script -qec "$source_dir/scripts/sign.sh --pkcs12 signer.p12 typed.dll" /dev/null \
  >typed.log 2>&1 || true
if osslsigncode verify -CAfile ca.pem -in typed.dll >/dev/null 2>&1; then ok password-typed-at-prompt; else
  bad password-typed-at-prompt; cat typed.log; fi

# Apart from the spy, which sees only what runs beside osslsigncode: every
# program started by the script on each of the three ways, short-lived ones
# too, traced by strace; the password is in none of their arguments (the
# environment is not shown: VELA_SIGN_PASSWORD is one of the ways), and no
# file is left in the temporary directory.
mkdir -p tmp
traced() {  # NAME COMMAND...
  TMPDIR=$work/tmp strace -f -qq -s 4096 -e trace=execve -o "exec-$1.trace" "${@:2}" >"exec-$1.log" 2>&1 </dev/null
}
cp unsigned.dll traced.dll
traced file "$source_dir/scripts/sign.sh" --pkcs12 signer.p12 --password-file right.pass traced.dll
VELA_SIGN_PASSWORD=test-password traced environment "$source_dir/scripts/sign.sh" --pkcs12 signer.p12 traced.dll
printf 'test-password\n' | TMPDIR=$work/tmp strace -f -qq -s 4096 -e trace=execve -o exec-prompt.trace \
  script -qec "$source_dir/scripts/sign.sh --pkcs12 signer.p12 traced.dll" /dev/null >exec-prompt.log 2>&1 || true
for way in file environment prompt; do
  if grep -q 'osslsigncode.*"sign"' "exec-$way.trace" && ! grep -q test-password "exec-$way.trace" &&
    [ -z "$(ls -A tmp)" ]; then
    ok "password-in-no-program-started-$way"
  else
    bad "password-in-no-program-started-$way"
    grep test-password "exec-$way.trace" | head -n 3 || true
    ls -A tmp
  fi
done

# One byte in each file to change: the export's name in the DLL, the product
# name in the MSI's string pool.
for case in "vela3ro.dll CardAcquireContext" "package.msi VELA BaseCSP ReadOnly Minitreiber"; do
  file=${case%% *} text=${case#* }
  if verify "$file" && grep -q 'Message digest algorithm *: SHA256' "$(log_of "$file")"; then
    ok "$file-verifies-sha256"
  else
    bad "$file-verifies-sha256"; cat "$(log_of "$file")"
  fi
  if verify "$file" other-ca.pem; then bad "$file-verifies-against-another-ca"; else ok "$file-refused-by-another-ca"; fi
  cp "$file" "changed-$file"
  offset=$(LC_ALL=C grep -obUaF "$text" "changed-$file" | head -n 1 | cut -d: -f1)
  printf 'X' | dd of="changed-$file" bs=1 seek="$offset" conv=notrunc status=none
  if verify "changed-$file"; then bad "$file-with-a-changed-byte-verifies"; else ok "$file-with-a-changed-byte-fails"; fi
done

spied "$source_dir/scripts/package.sh" --dist "$work/dist" --pkcs12 signer.p12 --password-file right.pass \
  >package.log 2>&1 </dev/null || { cat package.log; exit 1; }
if [ -s cmdlines ] && grep -q 'osslsigncode sign' cmdlines && ! grep -q 'test-password' cmdlines; then
  ok password-on-no-command-line
else
  bad password-on-no-command-line
fi
release=(vela3ro-$version-x64.msi vela3ro-$version-x86.msi x64/vela3ro.dll x86/vela3ro.dll x64/vela3ro-tool.exe)
for file in "${release[@]}"; do
  if verify "dist/$file"; then ok "release-$file-signed"; else bad "release-$file-signed"; fi
done
# The DLLs in the packages are the signed ones.
msiextract -C extracted "dist/vela3ro-$version-x86.msi" >/dev/null
if cmp -s extracted/vela3ro.dll dist/x86/vela3ro.dll; then ok packed-dll-signed; else bad packed-dll-signed; fi
expected=$(cd dist && find . -type f ! -name SHA256SUMS | sed 's|^\./||' | LC_ALL=C sort)
if (cd dist && sha256sum --quiet -c SHA256SUMS) && [ "$(cut -d' ' -f3- dist/SHA256SUMS)" = "$expected" ]; then
  ok sha256sums-cover-the-release
else
  bad sha256sums-cover-the-release
fi
exit $status
