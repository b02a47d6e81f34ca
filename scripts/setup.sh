#!/bin/bash
# Installs what building and testing Trevask needs on Debian 12, if missing.
#   scripts/setup.sh             the Linux build
#   scripts/setup.sh --all       also the Windows cross-build, Wine and the
#                                fuzzer's clang
set -euo pipefail

linux=(cmake g++ make pkg-config dpkg-dev zlib1g-dev libdeflate-dev libgtest-dev python3 unzip zip
  groff-base man-db)
packages=("${linux[@]}" lintian)
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
"$(dirname "$0")/apt-update.sh"
# All at once, the quick way; when that fails, one by one, so that what can
# be installed is, and what cannot is named with apt's reason.
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get install -y -qq "${missing[@]}" >/dev/null 2>&1 && exit 0
failed=()
err=$(mktemp)
for p in "${missing[@]}"; do
  if ! $sudo apt-get install -y -qq "$p" >/dev/null 2>"$err"; then
    failed+=("$p")
    echo "not installed: $p: $(grep -E '^E:' "$err" | tail -1)"
  fi
done
rm -f "$err"
[ ${#failed[@]} -eq 0 ] && exit 0
# Without these nothing builds; the rest only takes its own suites along.
for p in "${failed[@]}"; do
  for needed in "${linux[@]}"; do
    [ "$p" = "$needed" ] && { echo "the Linux build cannot be made without $p"; exit 1; }
  done
done
echo "set-up went on without: ${failed[*]}; the suites that need them are not run"
exit 0
