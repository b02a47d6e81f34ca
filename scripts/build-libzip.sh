#!/bin/bash
# Builds libzip from Debian's libzip source package into a prefix: static,
# deflate through zlib only, no encryption, no tools. A static archiver
# starts as fast as a program can, which matters at one start per folder.
#   scripts/build-libzip.sh native PREFIX        for this machine
#   scripts/build-libzip.sh x86_64|i686 PREFIX   for Windows, with mingw-w64
#                                                and Debian's mingw zlib
set -euo pipefail
arch=$1
prefix=$(realpath -m "$2")
root=$(cd "$(dirname "$0")/.." && pwd)

# The stamp names how the prefix was built; an older one is built again.
stamp="libzip, static, 64-bit time_t"
[ -f "$prefix/lib/cmake/libzip/libzip-config.cmake" ] &&
  [ "$(cat "$prefix/.stamp" 2>/dev/null)" = "$stamp" ] && exit 0
rm -rf "$prefix"

work=$(realpath -m "$prefix.work")
"$root/scripts/fetch-source.sh" libzip "$work"
cd "$work"

toolchain=()
if [ "$arch" != native ]; then
  toolchain=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-$arch.cmake")
fi
cmake -S source -B build -G "Unix Makefiles" "${toolchain[@]}" \
  -DCMAKE_POSITION_INDEPENDENT_CODE=ON \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
  -DBUILD_SHARED_LIBS=OFF -DBUILD_TOOLS=OFF -DBUILD_REGRESS=OFF \
  -DBUILD_EXAMPLES=OFF -DBUILD_DOC=OFF \
  -DENABLE_COMMONCRYPTO=OFF -DENABLE_GNUTLS=OFF -DENABLE_MBEDTLS=OFF \
  -DENABLE_OPENSSL=OFF -DENABLE_WINDOWS_CRYPTO=OFF \
  -DENABLE_BZIP2=OFF -DENABLE_LZMA=OFF -Wno-dev >configure.log 2>&1 || { tail -40 configure.log; exit 1; }
cmake --build build -j"$(nproc)" >build.log 2>&1 || { tail -40 build.log; exit 1; }
cmake --install build >/dev/null
echo "$stamp" >"$prefix/.stamp"
rm -rf "$work"
echo "libzip ($arch) in $prefix"
