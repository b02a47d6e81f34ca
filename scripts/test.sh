#!/bin/bash
# The whole test suite: the Linux build, and the 64-bit and 32-bit Windows
# builds, each under its own Wine (wine64, and wine32 from Debian's i386
# packages) in a prefix of its own. Every build must be free of warnings.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
logs=build/logs
mkdir -p "$logs"

stage() {
  local name=$1
  shift
  local start=$SECONDS
  echo "== $name"
  "$@"
  echo "== $name: $((SECONDS - start)) s"
}

build() {
  local preset=$1
  cmake --preset "$preset" >"$logs/configure-$preset.log" 2>&1 ||
    { cat "$logs/configure-$preset.log"; return 1; }
  cmake --build --preset "$preset" -j"$(nproc)" 2>&1 | tee "$logs/build-$preset.log" |
    grep -E 'warning:|error:' || true
  [ "${PIPESTATUS[0]}" -eq 0 ] || { tail -40 "$logs/build-$preset.log"; return 1; }
  if grep -q 'warning:' "$logs/build-$preset.log"; then
    echo "the $preset build has warnings"
    return 1
  fi
}

run_tests() {
  local preset=$1
  shift
  ctest --preset "$preset" -j"$(nproc)" "$@" 2>&1 | tee "$logs/test-$preset.log"
  return "${PIPESTATUS[0]}"
}

start_wine() {
  local arch=$1
  export WINEPREFIX=$root/build/wineprefix-$arch WINEARCH=$arch WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
  # A persistent server spares every Windows program the server's start-up;
  # it and Wine's services are started here, before any test, so that they
  # hold none of ctest's pipes open.
  mkdir -p "$WINEPREFIX"
  wineserver -k 2>/dev/null || true
  wineserver -p
  # Through the loader of the prefix's own kind: the wineboot command takes
  # the 32-bit one, which a kernel without IA-32 emulation cannot run.
  local loader=/usr/lib/wine/wine64
  [ "$arch" = win32 ] && loader=/usr/lib/wine/wine
  "$loader" wineboot -i >/dev/null 2>&1 </dev/null
}

stop_wine() { wineserver -k 2>/dev/null || true; }

stage setup scripts/setup.sh --all

# What set-up could not install takes only its own suites along, each named
# at the end with the reason.
not_run=()
skip() {
  not_run+=("$1 ($2)")
  echo "== not run: $1: $2"
}
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "ok installed"; }
# Why the build for arch (x86_64, i686) cannot be made here, or nothing.
why_no_cross() {
  local p
  for p in "g++-mingw-w64-${1//_/-}" libz-mingw-w64-dev; do
    installed "$p" || { echo "$p is not installed"; return; }
  done
}
# Why the programs of a Windows build cannot run here, or nothing.
why_no_wine() {
  local loader=$1 package=$2 out
  installed "$package" || { echo "$package is not installed"; return; }
  out=$("$loader" --version 2>&1) && return
  if grep -qi "exec format error" <<<"$out"; then
    echo "this machine's kernel cannot run 32-bit programs"
  else
    echo "$loader does not start: $(tail -1 <<<"$out")"
  fi
}
why_x64=$(why_no_cross x86_64)
why_x86=$(why_no_cross i686)
why_fuzz=""
for p in clang libclang-rt-14-dev; do
  installed "$p" || { why_fuzz="$p is not installed"; break; }
done

stage "build libzip" scripts/build-libzip.sh native build/deps/libzip-native
stage "build linux" build default
# build_windows PRESET ARCH WHY: its libraries and the build, unless WHY.
build_windows() {
  if [ -n "$3" ]; then
    skip "the $1 build, its tests and its package" "$3"
    return
  fi
  stage "build libzip for $1" scripts/build-libzip.sh "$2" "build/deps/libzip-$2"
  stage "build libdeflate for $1" scripts/build-libdeflate.sh "$2" "build/deps/libdeflate-$2"
  stage "build $1" build "$1"
}
build_windows windows-x64 x86_64 "$why_x64"
build_windows windows-x86 i686 "$why_x86"
if [ -z "$why_fuzz" ]; then
  stage "build fuzz" build fuzz
else
  skip "the fuzz build and its runs" "$why_fuzz"
fi

status=0
logs_run=(default)
stage "test linux" run_tests default || status=1
# Under Wine every program start costs more: the slow and large tests run
# natively only. Wine's cmd.exe now and then fails to start a program it
# finds ("Can't recognize ..."), never natively, and a kill of the
# extractor can leave its private file there: a failed suite gets two more
# tries, and the log keeps them all.
# test_windows PRESET ARCH LOADER PACKAGE: the build's tests under its Wine;
# runs_ARCH says whether its package can be tried there too.
test_windows() {
  local preset=$1 arch=$2 why
  why=$(why_no_wine "$3" "$4")
  if [ -n "$why" ]; then
    # Built all the same, so that it stays free of warnings.
    skip "the $preset tests and package check" "$why"
    return
  fi
  eval "runs_$arch=1"
  logs_run+=("$preset")
  stage "start $arch wine" start_wine "$arch"
  stage "test $preset under wine" run_tests "$preset" -LE "slow|large" \
    --repeat until-pass:3 || status=1
  stop_wine
}
runs_win64=0
runs_win32=0
[ -z "$why_x64" ] && test_windows windows-x64 win64 /usr/lib/wine/wine64 wine64
[ -z "$why_x86" ] && test_windows windows-x86 win32 /usr/lib/wine/wine wine32:i386
if [ -z "$why_fuzz" ]; then
  logs_run+=(fuzz)
  stage "fuzz paths, command lines and bundles" run_tests fuzz || status=1
fi

# The packages, tried as a user would: the Debian package installed with
# apt-get, run on the example with its own archivers and removed again;
# each Windows zip unpacked to a fresh folder and run under Wine.
check_bundle() {
  python3 - "$1" <<'EOF'
import io, sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as bundle:
    assert bundle.testzip() is None
    inner = {i.filename: zipfile.ZipFile(io.BytesIO(bundle.read(i))).namelist()
             for i in bundle.infolist() if i.filename.endswith(".zip")}
assert inner["Projects.zip"] == ["README.txt"], inner
assert sorted(inner["Notes/Notes.zip"]) == ["ideas.md", "todo.txt"], inner
assert len(inner) == 9, inner
print("bundle read back:", len(inner), "folder archives")
EOF
}

package_debian() {
  if dpkg-query -W -f='${Status}' trevask 2>/dev/null | grep -q "ok installed"; then
    echo "trevask is installed on this machine; this check installs and removes it"
    return 1
  fi
  (cd build/default && rm -f trevask_*.deb && cpack -G DEB >"$root/$logs/cpack-deb.log")
  local deb work ok=0
  deb=$(ls "$root"/build/default/trevask_*.deb)
  lintian --fail-on error,warning "$deb" || ok=1
  # One archiver program in the package; its second name is a link to it.
  local listing
  listing=$(dpkg-deb -c "$deb")
  if ! grep -q '^-rwx.* \./usr/bin/PKZIP\.EXE$' <<<"$listing" ||
     ! grep -q '^l.* \./usr/bin/PKZIPC\.EXE -> PKZIP\.EXE$' <<<"$listing"; then
    echo "the package does not hold PKZIP.EXE with PKZIPC.EXE a link to it"
    ok=1
  fi
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  # Minimal images tell dpkg to leave out manual pages; this one is wanted.
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq \
    -o DPkg::Options::=--path-include=/usr/share/man/man1/* "$deb" >"$logs/install-deb.log"
  work=$(mktemp -d /tmp/trevask-deb-XXXXXX)
  cp -r example/Projects "$work/Projects"
  (cd "$work" && env -i PATH=/usr/bin:/bin /usr/bin/trevask Projects out.zip T -r &&
    check_bundle out.zip && [ ! -e T/Projects ] &&
    /usr/bin/trevask-extract -q --compare Projects out.zip) || ok=1
  man -w trevask || ok=1
  man -w trevask-extract || ok=1
  man -w PKZIPC.EXE || ok=1
  rm -rf "$work"
  DEBIAN_FRONTEND=noninteractive $sudo apt-get remove -y -qq trevask >/dev/null
  return $ok
}

package_windows() {
  local preset=$1 arch=$2 loader=$3 work dir ok=0
  (cd "build/$preset" && rm -f trevask-*.zip && cpack -G ZIP >"$root/$logs/cpack-$preset.log")
  work=$(mktemp -d /tmp/trevask-zip-XXXXXX)
  unzip -q "build/$preset"/trevask-*-"$arch".zip -d "$work"
  dir=$(ls -d "$work"/trevask-*-"$arch")
  for f in trevask.exe trevask-extract.exe PKZIP.EXE PKZIPC.EXE README.txt LICENSE.txt COPYRIGHT.txt; do
    [ -f "$dir/$f" ] || { echo "missing in the zip: $f"; ok=1; }
  done
  # Every line of the texts ends in CR LF.
  if grep -q $'[^\r]$' "$dir/README.txt" "$dir/COPYRIGHT.txt"; then
    echo "a text of the zip has lines without CR LF"
    ok=1
  fi
  cp -r example/Projects "$work/Projects"
  (cd "$work" && WINEPATH="Z:${dir//\//\\}" "$loader" "$dir/trevask.exe" Projects out.zip T -r \
    >"$root/$logs/zip-run-$preset.log" 2>&1 </dev/null && check_bundle out.zip &&
    "$loader" "$dir/trevask-extract.exe" -q -t out.zip >>"$root/$logs/zip-run-$preset.log" 2>&1 \
    </dev/null) || ok=1
  rm -rf "$work"
  return $ok
}

if installed lintian; then
  stage "package for debian" package_debian || status=1
else
  skip "the Debian package check" "lintian is not installed"
fi
# try_package PRESET ARCH LOADER RUNS BUILT: tried under Wine where its
# tests ran, else only packed where it was built.
try_package() {
  if [ "$4" -eq 1 ]; then
    stage "start $2 wine" start_wine "$2"
    stage "package for $1" package_windows "$1" "$2" "$3" || status=1
    stop_wine
  elif [ -z "$5" ]; then
    (cd "build/$1" && rm -f trevask-*.zip && cpack -G ZIP >"$root/$logs/cpack-$1.log") || status=1
  fi
}
try_package windows-x64 win64 /usr/lib/wine/wine64 "$runs_win64" "$why_x64"
try_package windows-x86 win32 /usr/lib/wine/wine "$runs_win32" "$why_x86"

passed=0
failed=0
for preset in "${logs_run[@]}"; do
  log=$logs/test-$preset.log
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -1) || true
  total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
  bad=$(sed -E 's/.* ([0-9]+) tests failed.*/\1/' <<<"$line")
  passed=$((passed + ${total:-0} - ${bad:-0}))
  failed=$((failed + ${bad:-1}))
done
[ "$failed" -eq 0 ] || status=1
echo "ctest: $passed passed, $failed failed"
if [ ${#not_run[@]} -eq 0 ]; then
  echo "not run: none; every suite ran"
else
  joined=$(printf '; %s' "${not_run[@]}")
  echo "not run: ${joined:2}"
fi
exit $status
