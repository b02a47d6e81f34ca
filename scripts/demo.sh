#!/bin/bash
# Quick start: set up, build, bundle the example tree and list the bundle.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
scripts/build-libzip.sh native build/deps/libzip-native
cmake --preset default >/dev/null
cmake --build --preset default -j"$(nproc)"

demo=build/demo
rm -rf "$demo"
mkdir -p "$demo"
export PATH="$PWD/build/default/bin:$PATH"

echo
echo "$ trevask example/Projects $demo/Projects.zip $demo/tmp -r"
set +e
trevask example/Projects "$demo/Projects.zip" "$demo/tmp" -r
status=$?
set -e
echo "exit status: $status"
[ "$status" -eq 0 ] || exit 1

echo
unzip -l "$demo/Projects.zip"
echo "The folder archive of example/Projects/Garden Plans/Spring 2026:"
unzip -p "$demo/Projects.zip" "Garden Plans/Spring 2026/Spring 2026.zip" > "$demo/inner.zip"
unzip -l "$demo/inner.zip"
