#!/usr/bin/env bash
# Installs what building and testing need, when it is missing (Debian, as root).
set -euo pipefail
packages=(cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev libssl-dev
          pcscd libpcsclite-dev vsmartcard-vpcd opensc jq
          openssl g++-mingw-w64-x86-64 wine wine64 xvfb xdotool x11-utils imagemagick clang libclang-rt-14-dev
          g++-mingw-w64-i686 wixl msitools osslsigncode strace
          libp11-kit-dev p11-kit gnutls-bin libengine-pkcs11-openssl openssh-server openssh-client
          python3-pykcs11 python3-cryptography libnss3-tools lintian
          firefox-esr chromium thunderbird)
if [ "${1:-}" = "--minimal" ]; then
  packages=(cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev libssl-dev pcscd libpcsclite-dev vsmartcard-vpcd opensc jq openssl)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
