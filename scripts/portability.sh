#!/usr/bin/env bash
# Proves that dorvu writes the same bytes everywhere:
#   clang       the tool and every test built with clang++, warning-free
#   tidy        clang-tidy on the tool (bar its Windows halves) and its helpers, with the
#               checks in .clang-tidy
#   s390x       a big-endian cross build; the whole test suite (bar libsndfile's checks)
#               and the tool run under qemu-user, the files' checksums equal to native
#   aarch64     the same for 64-bit ARM (Raspberry Pi 4 and 5, ARM laptops)
#   mingw       a Windows build with MinGW-w64, warning-free; under wine the tool writes
#               the same files and replaces existing ones; a hard kill or Ctrl-C leaves
#               nothing; a dead run's leftovers are removed and a held one kept; a file
#               another program holds is waited for a moment, then named as such
#
#   bash scripts/portability.sh          all five, installing what they need
#   bash scripts/portability.sh quick    clang and tidy only
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
part=${1:-all}

if [ "$part" = all ]; then
    bash scripts/deps.sh g++-s390x-linux-gnu g++-aarch64-linux-gnu qemu-user g++-mingw-w64-x86-64 wine64
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

# Builds preset ARCH, runs the whole test suite (bar libsndfile's checks) and the tool
# under qemu-ARCH, and checks that the tool writes the native files. cross ARCH WHAT
cross() {
    local arch=$1 what=$2
    say "$arch ($what): build"
    buildlog "$arch"
    local fixture=build/$arch/tests/fixture
    mkdir -p "$fixture"
    "qemu-$arch" "build/$arch/mkarchive" --pattern "$fixture/pattern.dat"
    [ -f "$work/pattern.dat" ] || build/release/mkarchive --pattern "$work/pattern.dat"
    cmp "$fixture/pattern.dat" "$work/pattern.dat" || fail "$arch mkarchive --pattern differs"
    echo "$arch mkarchive --pattern: same bytes as native"
    cp "$work/dorvu.dat" "$fixture/music.dat"

    say "$arch ($what): tests under qemu-user"
    DORVU_EMULATOR=qemu-$arch "qemu-$arch" "build/$arch/tests/dorvu_tests" --gtest_brief=1
    rm -f "$fixture"/*.dat

    say "$arch ($what): rep 2 checksums, native | $arch"
    mkdir -p "$work/$arch"
    (cd "$work/$arch" && ln -s ../dorvu.dat . && "qemu-$arch" "$root/build/$arch/dorvu" 2 >/dev/null)
    (cd "$work/$arch" && sha256sum kivo_*.wav) >"$work/$arch.sum"
    printf '%-17s%s\n' native "$arch"
    paste -d' ' <(cut -c1-16 "$work/native.sum") <(cut -c1-16 "$work/$arch.sum") <(awk '{print $2}' "$work/native.sum")
    cmp -s "$work/native.sum" "$work/$arch.sum" || fail "$arch files differ from native"
    echo "$arch: all twenty files identical to native"
    rm -rf "${work:?}/$arch"
}
cross s390x big-endian
cross aarch64 "64-bit ARM"
rm -f "$work/pattern.dat"

say "MinGW-w64 (Windows): build"
buildlog mingw

wine=$(command -v wine64 || command -v wine || ls /usr/lib/wine/wine64 2>/dev/null || true)
if [ -z "$wine" ]; then
    [ -z "${CI:-}" ] || fail "wine is not installed: the Windows build cannot be run"
    echo "wine is not installed: the Windows build was not run"
    rm -rf "$work"
    exit 0
fi
export WINEPREFIX=$root/build/wineprefix WINEDEBUG=-all
exe=$root/build/mingw/dorvu.exe
# (Windows' standard error ends its lines with CR LF.)
# Holds a file open as another program would (a player, a live run): holdon NAME SHARE MS
# starts it and returns once it holds the file.
hold=$root/build/mingw/holdfile.exe
x86_64-w64-mingw32-g++-posix -std=c++17 -O2 -static -o "$hold" tests/holdfile.cpp
holdon() {
    rm -f "$work/held"
    "$wine" "$hold" "$@" >"$work/held" &
    holder=$!
    for _ in $(seq 600); do
        grep -q held "$work/held" && return 0
        kill -0 "$holder" 2>/dev/null || break
        sleep 0.05
    done
    fail "holdfile $*"
}
temps() { ls -A | grep -E '^\.dorvu-' || true; }
native() { # the files of build/release/dorvu at rep $1, once
    [ -f "$work/native$1.sum" ] && return
    mkdir -p "$work/native$1" && (cd "$work/native$1" && ln -sf ../dorvu.dat . && "$root/build/release/dorvu" "$1" >/dev/null)
    (cd "$work/native$1" && sha256sum kivo_*.wav) >"$work/native$1.sum"
}

say "MinGW-w64 (Windows): the tool under wine"
mkdir -p "$work/win"
cd "$work/win"
ln -s ../dorvu.dat .
"$wine" "$exe" 2 >/dev/null 2>"$work/wine.err" || { cat "$work/wine.err"; fail "windows run"; }
sha256sum kivo_*.wav | cmp -s - "$work/native.sum" || fail "windows files differ from native"
echo "windows: all twenty files identical to native"

# Over the files just written, at rep 3, past 1000 leftovers of dead runs, one held by a
# live program, a folder of our name and a name not ours.
for n in $(seq -w 0 999); do echo leftover >".dorvu-$n.tmp"; done
echo other >.dorvu-1000.tmp
rm .dorvu-007.tmp && mkdir .dorvu-007.tmp
holdon .dorvu-005.tmp read 15000
"$wine" "$exe" 3 >/dev/null || fail "windows: run past 1000 leftovers"
kill "$holder" 2>/dev/null || true
wait "$holder" 2>/dev/null || true
native 3
sha256sum kivo_*.wav | cmp -s - "$work/native3.sum" ||
    fail "windows: files written over existing ones differ from native at rep 3"
[ "$(temps | tr '\n' ' ')" = ".dorvu-005.tmp .dorvu-007.tmp .dorvu-1000.tmp " ] ||
    fail "windows: leftovers after the sweep: $(temps | head -5)"
[ "$(cat .dorvu-1000.tmp)" = other ] || fail "windows: a name not ours was touched"
rm -rf .dorvu-*
echo "windows: existing files replaced, identical to native at rep 3; 999 dead leftovers removed, the held one, a folder and a name not ours kept"

# Runs the tool at rep 3 while the helper holds FILE with SHARE, for longer than the tool
# waits: it must fail with MESSAGE. whileheld FILE SHARE MESSAGE
whileheld() {
    local status=0
    holdon "$1" "$2" 8000
    "$wine" "$exe" 3 >/dev/null 2>"$work/wine.err" || status=$?
    kill "$holder" 2>/dev/null || true
    wait "$holder" 2>/dev/null || true
    [ "$status" = 1 ] && [ "$(tr -d '\r' <"$work/wine.err")" = "$3" ] ||
        fail "windows: $1 held: status $status, $(cat "$work/wine.err")"
}

# A track a player holds: waited for, then named; the old file kept, nothing left.
whileheld kivo_03.wav read "dorvu: kivo_03.wav: cannot replace: the file is open in another program"
sha256sum kivo_*.wav | cmp -s - "$work/native3.sum" || fail "windows: a held track's run changed a file"
[ -z "$(temps)" ] || fail "windows: a held track's run left $(temps)"
echo "windows: a held track is named as such, the old file kept, nothing left"

# A hold of half a second, as a virus scanner's, is waited out.
holdon kivo_01.wav read 500
"$wine" "$exe" 1 >/dev/null 2>"$work/wine.err" || fail "windows: half a second's hold: $(cat "$work/wine.err")"
wait "$holder" || true
native 1
sha256sum kivo_*.wav | cmp -s - "$work/native1.sum" || fail "windows: files after a short hold differ from native"
echo "windows: a hold of half a second is waited out"

# The archive held without sharing.
whileheld dorvu.dat none "dorvu: dorvu.dat: cannot open: the file is open in another program"
echo "windows: a held archive is named as such"

# Killed hard mid-track, or stopped by Ctrl-C (wine makes SIGINT a console Ctrl-C event;
# a job of a script has SIGINT ignored, so it is given back):
# nothing is left.
for sig in KILL INT; do
    env --default-signal=INT "$wine" "$exe" 10 >/dev/null 2>"$work/wine.err" &
    run=$!
    for _ in $(seq 200); do [ -z "$(temps)" ] || break; sleep 0.05; done
    [ -n "$(temps)" ] || fail "windows: no track file was seen"
    sleep 0.3
    kill -$sig "$run"
    status=0
    wait "$run" || status=$?
    [ -z "$(temps)" ] || fail "windows: SIG$sig left $(temps)"
    [ $sig = KILL ] || [ "$status" = 130 ] || fail "windows: Ctrl-C exits $status"
done
echo "windows: a hard kill and Ctrl-C mid-track leave nothing; Ctrl-C exits 130"

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
