#!/bin/bash
# Builds a static libdeflate for Windows from Debian's libdeflate source
# package, with mingw-w64, into a prefix (Linux builds use libdeflate-dev).
#   scripts/build-libdeflate.sh x86_64|i686 PREFIX
set -euo pipefail
arch=$1
prefix=$(realpath -m "$2")
root=$(cd "$(dirname "$0")/.." && pwd)

[ -f "$prefix/lib/libdeflate.a" ] && exit 0

work=$(realpath -m "$prefix.work")
"$root/scripts/fetch-source.sh" libdeflate "$work"
cd "$work"
cc=$arch-w64-mingw32-gcc-posix
make -C source -j"$(nproc)" CC="$cc" AR="$arch-w64-mingw32-ar" \
  CFLAGS="-O2" libdeflatestatic.lib >build.log 2>&1 || { tail -40 build.log; exit 1; }
mkdir -p "$prefix/lib" "$prefix/include"
cp source/libdeflatestatic.lib "$prefix/lib/libdeflate.a"
cp source/libdeflate.h "$prefix/include/"
cp source/COPYING "$prefix/COPYING.libdeflate"
rm -rf "$work"
echo "libdeflate ($arch) in $prefix"
