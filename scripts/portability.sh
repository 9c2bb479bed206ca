#!/usr/bin/env bash
# Proves that dorvu writes the same bytes everywhere:
#   clang       the tool and every test built with clang++, warning-free
#   tidy        clang-tidy on the tool (bar its Windows halves) and its helpers, with the
#               checks in .clang-tidy
#   s390x       a big-endian cross build; the whole test suite (bar libsndfile's checks)
#               and the tool run under qemu-user, the files' checksums equal to native
#   mingw       a Windows build with MinGW-w64, warning-free; under wine the tool writes
#               the same files, replaces existing ones and steps over a leftover
#               temporary file
#
#   bash scripts/portability.sh          all four, installing what they need
#   bash scripts/portability.sh quick    clang and tidy only
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
part=${1:-all}

if [ "$part" = all ]; then
    bash scripts/deps.sh g++-s390x-linux-gnu qemu-user g++-mingw-w64-x86-64 wine64
else
    bash scripts/deps.sh
fi

say() { printf '\n== %s\n' "$*"; }
fail() {
    echo "FAILED: $*" >&2
    exit 1
}
# Builds a preset into a log kept in build/; fails on an error or on any warning.
buildlog() {
    local preset=$1 log=$root/build/$1-build.log
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j2 >"$log" 2>&1 || { cat "$log"; fail "$preset build"; }
    # gtest's own link note about getaddrinfo in static programs is not ours
    if grep -iE 'warning|error' "$log" | grep -v getaddrinfo; then
        fail "$preset build is not warning-free"
    fi
    echo "$preset build: no warnings (log: build/$preset-build.log)"
}

say "clang++: build and tests"
cmake --workflow --preset clang

say "clang-tidy"
# The Windows halves need Windows' headers: the MinGW build below checks them.
clang-tidy -p build/clang --quiet $(ls src/*.cpp | grep -v -- -win32) tools/*.cpp
echo "clang-tidy: clean"

[ "$part" = all ] || exit 0

# The files every build must reproduce: native dorvu on the music archive, rep 2.
cmake --preset release >/dev/null
cmake --build --preset release -j2 >/dev/null
work=$root/build/portability
rm -rf "$work" && mkdir -p "$work/native"
build/release/mkarchive --music "$work/dorvu.dat"
(cd "$work/native" && ln -s ../dorvu.dat . && "$root/build/release/dorvu" 2 >/dev/null)
(cd "$work/native" && sha256sum kivo_*.wav) >"$work/native.sum"

say "s390x (big-endian): build"
buildlog s390x
fixture=build/s390x/tests/fixture
mkdir -p "$fixture"
qemu-s390x build/s390x/mkarchive --pattern "$fixture/pattern.dat"
build/release/mkarchive --pattern "$work/pattern.dat"
cmp "$fixture/pattern.dat" "$work/pattern.dat" || fail "s390x mkarchive --pattern differs"
echo "s390x mkarchive --pattern: same bytes as native"
rm -f "$work/pattern.dat"
cp "$work/dorvu.dat" "$fixture/music.dat"

say "s390x (big-endian): tests under qemu-user"
DORVU_EMULATOR=qemu-s390x qemu-s390x build/s390x/tests/dorvu_tests --gtest_brief=1
rm -f "$fixture"/*.dat

say "s390x (big-endian): rep 2 checksums, native | s390x"
mkdir -p "$work/s390x"
(cd "$work/s390x" && ln -s ../dorvu.dat . && qemu-s390x "$root/build/s390x/dorvu" 2 >/dev/null)
(cd "$work/s390x" && sha256sum kivo_*.wav) >"$work/s390x.sum"
echo "native           s390x"
paste -d' ' <(cut -c1-16 "$work/native.sum") <(cut -c1-16 "$work/s390x.sum") <(awk '{print $2}' "$work/native.sum")
cmp -s "$work/native.sum" "$work/s390x.sum" || fail "s390x files differ from native"
echo "s390x: all twenty files identical to native"
rm -rf "$work/s390x"

say "MinGW-w64 (Windows): build"
buildlog mingw

wine=$(command -v wine64 || command -v wine || ls /usr/lib/wine/wine64 2>/dev/null || true)
if [ -z "$wine" ]; then
    echo "wine is not installed: the Windows build was not run"
    rm -rf "$work"
    exit 0
fi
export WINEPREFIX=$root/build/wineprefix WINEDEBUG=-all
exe=$root/build/mingw/dorvu.exe

say "MinGW-w64 (Windows): the tool under wine"
mkdir -p "$work/win"
cd "$work/win"
ln -s ../dorvu.dat .
"$wine" "$exe" 2 >/dev/null 2>"$work/wine.err" || { cat "$work/wine.err"; fail "windows run"; }
sha256sum kivo_*.wav | cmp -s - "$work/native.sum" || fail "windows files differ from native"
echo "windows: all twenty files identical to native"
# Over the files just written, past a leftover temporary file, at rep 3.
echo leftover >.dorvu-000.tmp
"$wine" "$exe" 3 >/dev/null
[ "$(cat .dorvu-000.tmp)" = leftover ] || fail "windows: leftover temporary file was touched"
mkdir -p "$work/native3" && (cd "$work/native3" && ln -s ../dorvu.dat . && "$root/build/release/dorvu" 3 >/dev/null)
diff <(sha256sum kivo_*.wav) <(cd "$work/native3" && sha256sum kivo_*.wav) >/dev/null ||
    fail "windows: files written over existing ones differ from native at rep 3"
echo "windows: existing files replaced, identical to native at rep 3; leftover untouched"
status=0
"$wine" "$exe" 11 >/dev/null || status=$?
[ "$status" = 1 ] || fail "windows: bad rep exits $status"
echo "windows: bad rep exits 1"
rm dorvu.dat
status=0
"$wine" "$exe" >/dev/null || status=$?
[ "$status" = 1 ] || fail "windows: missing archive exits $status"
echo "windows: missing archive exits 1"
cd "$root"
rm -rf "$work"
