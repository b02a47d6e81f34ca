#!/bin/bash
# Installs what building and testing Trevask needs on Debian 12, if missing.
#   scripts/setup.sh             the Linux build
#   scripts/setup.sh --all       also the Windows cross-build, Wine and the
#                                fuzzer's clang
set -euo pipefail

packages=(cmake g++ make pkg-config dpkg-dev zlib1g-dev libdeflate-dev libgtest-dev python3 unzip zip
  groff-base man-db lintian)
if [ "${1:-}" = "--all" ]; then
  # wine32 runs the 32-bit build; it is an i386 package (multiarch).
  packages+=(g++-mingw-w64-x86-64 g++-mingw-w64-i686 libz-mingw-w64-dev wine wine64 wine32:i386)
  packages+=(clang libclang-rt-14-dev)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
echo "Installing: ${missing[*]}"
if [[ " ${missing[*]} " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
fi
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
