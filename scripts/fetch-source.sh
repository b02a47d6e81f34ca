#!/bin/bash
# Downloads a Debian source package into a fresh folder WORK and unpacks it
# into WORK/source, adding a deb-src entry for the mirror already in use
# when there is none.
#   scripts/fetch-source.sh PACKAGE WORK
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
package=$1
work=$2
rm -rf "$work"
mkdir -p "$work"
cd "$work"
unpack() { dpkg-source -x "$package"_*.dsc source >/dev/null 2>&1; }
apt-get source --download-only "$package" >/dev/null 2>&1 && { unpack; exit 0; }
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
if [ -f /etc/apt/sources.list.d/debian.sources ]; then
  sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources |
    $sudo tee /etc/apt/sources.list.d/trevask-deb-src.sources >/dev/null
else
  grep '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' |
    $sudo tee /etc/apt/sources.list.d/trevask-deb-src.list >/dev/null
fi
"$here/apt-update.sh"
apt-get source --download-only "$package" >/dev/null 2>&1
unpack
