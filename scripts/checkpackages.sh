#!/usr/bin/env bash
# Checks what scripts/package.sh left in dist/, as a user would meet it:
#   - lintian, Debian's own checker, finds no error and no warning in any .deb;
#   - the amd64 .deb installs dorvu on the PATH with its manual page, writes the same
#     twenty files as build/release/dorvu from the sample archive, and removes cleanly;
#   - the arm64 .deb's binary and the aarch64 tarball's, run under qemu-user, write the
#     same files; so do the armhf .deb's on the Raspberry Pi Zero's ARMv6 core (arm1176)
#     and the arm tarball's on that core and on ARMv5TE's (arm926), at rep 1 and 2;
#   - each tarball's static bin/dorvu writes the same files, and its README's picture
#     is there;
#   - the zip's dorvu.exe, run under wine with no console, writes the same files and
#     does not wait for input; its texts have Windows line ends;
#   - the macOS tarball, which cannot run here, holds one binary of two slices, arm64
#     and x86_64, each for macOS 11.0, needing no library but libSystem, the arm64 one
#     signed (Apple Silicon runs nothing unsigned);
#   - SHA256SUMS holds for all eight, and a second build from a fresh clone of the same
#     commit in another folder gives the same SHA256SUMS (so check in a clean work tree).
#
#   bash scripts/package.sh && bash scripts/checkpackages.sh
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

bash scripts/deps.sh lintian wine64 file unzip qemu-user llvm

fail() {
    echo "FAILED: $*" >&2
    exit 1
}
say() { printf '\n== %s\n' "$*"; }

version=$(sed -n 's/^project(dorvu VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
deb=dist/dorvu_${version}_amd64.deb
armdeb=dist/dorvu_${version}_arm64.deb
armhfdeb=dist/dorvu_${version}_armhf.deb
zip=dist/dorvu-$version-win64.zip

say "SHA256SUMS"
(cd dist && sha256sum -c SHA256SUMS)

say "reproducible: a fresh clone in another folder"
again=$(mktemp -d /tmp/dorvu-again-XXXXXX)
git clone -q "$root" "$again/dorvu"
(cd "$again/dorvu" && bash scripts/package.sh >"$again/package.log" 2>&1) ||
    { cat "$again/package.log"; fail "second build"; }
cmp dist/SHA256SUMS "$again/dorvu/dist/SHA256SUMS" || fail "a second build gives other bytes"
echo "$again/dorvu gives the same SHA256SUMS"
rm -rf "$again"

say "lintian"
lintian --fail-on error,warning --display-info "$deb" "$armdeb" "$armhfdeb" || fail "lintian"
echo "lintian: no error, no warning in any .deb"

# The files every package must reproduce: the native build on the sample archive.
cmake --preset release >/dev/null
cmake --build --preset release -j2 >/dev/null
work=$root/build/pkgcheck
rm -rf "$work" && mkdir -p "$work/native"
build/release/mkarchive --music "$work/dorvu.dat"
(cd "$work/native" && ln -s ../dorvu.dat . && "$root/build/release/dorvu" >/dev/null)
(cd "$work/native" && sha256sum kivo_*.wav) >"$work/native.sum"
cp "$work/native.sum" "$work/native2.sum"
mkdir "$work/native1"
(cd "$work/native1" && ln -s ../dorvu.dat . && "$root/build/release/dorvu" 1 >/dev/null)
(cd "$work/native1" && sha256sum kivo_*.wav) >"$work/native1.sum"
# Runs a command in a fresh folder beside the archive; the files must equal native (at
# rep 2, or at the rep REP says).
same() {
    local name=$1
    shift
    mkdir "$work/$name"
    (cd "$work/$name" && ln -s ../dorvu.dat . && "$@" ${REP:-} >/dev/null </dev/null) ||
        fail "$name: exit status $?"
    (cd "$work/$name" && sha256sum kivo_*.wav) | cmp -s - "$work/native${REP:-}.sum" ||
        fail "$name: files differ from native"
    echo "$name: the twenty files are identical to native${REP:+ at rep $REP}"
}

say "the .deb, installed"
dpkg-deb --info "$deb" | sed -n '/Package:/,$p'
dpkg-deb --contents "$deb"
dpkg -i "$deb" >/dev/null
[ "$(command -v dorvu)" = /usr/bin/dorvu ] || fail "dorvu is not on the PATH"
man -w dorvu | grep -qx /usr/share/man/man1/dorvu.1.gz || fail "man dorvu finds no page"
man -P cat dorvu 2>/dev/null | grep -q "extract the twenty music tracks" || fail "man dorvu"
same deb dorvu
dpkg -r dorvu >/dev/null
[ ! -e /usr/bin/dorvu ] && [ ! -e /usr/share/doc/dorvu ] && [ ! -e /usr/share/man/man1/dorvu.1.gz ] ||
    fail "dpkg -r left files behind"
echo "deb: on the PATH, man dorvu shows its page, dpkg -r takes everything away"

say "the arm64 .deb, under qemu-user"
dpkg-deb --info "$armdeb" | grep -E '^ (Architecture|Depends):'
dpkg-deb -x "$armdeb" "$work/armdeb-tree"
file "$work/armdeb-tree/usr/bin/dorvu" | grep -q "ARM aarch64" || fail "arm64 .deb: no ARM binary"
same armdeb qemu-aarch64 -L /usr/aarch64-linux-gnu "$work/armdeb-tree/usr/bin/dorvu"

say "the armhf .deb, on the Raspberry Pi Zero's core under qemu-user"
dpkg-deb --info "$armhfdeb" | grep -E '^ (Architecture|Depends):' || true
dpkg-deb -x "$armhfdeb" "$work/armhfdeb-tree"
file "$work/armhfdeb-tree/usr/bin/dorvu" | grep -q "ARM, EABI5.*statically linked" ||
    fail "armhf .deb: no static 32-bit ARM binary"
same armhfdeb env QEMU_CPU=arm1176 qemu-arm "$work/armhfdeb-tree/usr/bin/dorvu"

for arch in x86_64 aarch64 arm; do
    say "the $arch tarball"
    tar -xzf "dist/dorvu-$version-linux-$arch.tar.gz" -C "$work"
    tree=$work/dorvu-$version-linux-$arch
    file "$tree/bin/dorvu" | grep -q "statically linked" || fail "tarball: bin/dorvu is not static"
    for f in bin/dorvu share/man/man1/dorvu.1 README.md LICENSE docs/archive.svg; do
        [ -f "$tree/$f" ] || fail "tarball: no $f"
    done
    run=()
    [ $arch = x86_64 ] || run=(qemu-$arch)
    [ $arch != arm ] || run=(env QEMU_CPU=arm926 qemu-arm)
    same "tar-$arch" "${run[@]}" "$tree/bin/dorvu"
done
# The one 32-bit ARM binary on the oldest cores it is for, at both reps.
for cpu in arm926 arm1176; do
    for REP in 1 2; do
        same "tar-arm-$cpu-$REP" env QEMU_CPU=$cpu qemu-arm "$work/dorvu-$version-linux-arm/bin/dorvu"
    done
done
REP=

say "the macOS tarball, looked at"
tar -xzf "dist/dorvu-$version-macos.tar.gz" -C "$work"
tree=$work/dorvu-$version-macos
for f in bin/dorvu share/man/man1/dorvu.1 README.txt LICENSE; do
    [ -f "$tree/$f" ] || fail "macOS tarball: no $f"
done
mac=$tree/bin/dorvu
[ "$(llvm-objdump --macho --universal-headers "$mac" | sed -n 's/^architecture //p' | sort | xargs)" = \
    "arm64 x86_64" ] || fail "macOS: bin/dorvu is not one binary of arm64 and x86_64"
for arch in arm64 x86_64; do
    heads=$(llvm-objdump --macho --private-headers --arch=$arch "$mac")
    grep -q '^  platform macos$' <<<"$heads" || fail "macOS $arch: not built for macOS"
    minos=$(sed -n 's/^ *minos //p' <<<"$heads")
    [ "$(printf '%s\n' "$minos" 11.0 | sort -V | tail -1)" = 11.0 ] || fail "macOS $arch: needs macOS $minos"
    libs=$(sed -n 's/^ *name \(.*\) (offset.*/\1/p' <<<"$heads" | grep -v '^/usr/lib/dyld$' || true)
    [ "$libs" = /usr/lib/libSystem.B.dylib ] || fail "macOS $arch: needs $libs"
    echo "macOS $arch: for macOS $minos and later, needs only $libs"
done
llvm-objdump --macho --private-headers --arch=arm64 "$mac" | grep -q 'cmd LC_CODE_SIGNATURE' ||
    fail "macOS arm64: no code signature"
echo "macOS arm64: signed"

say "the zip, under wine"
mkdir "$work/zip" && unzip -q "$zip" -d "$work/zip"
for f in README.txt LICENSE.txt; do
    [ "$(grep -c $'\r$' "$work/zip/$f")" = "$(wc -l <"$work/zip/$f")" ] ||
        fail "zip: $f lacks Windows line ends"
done
x86_64-w64-mingw32-objdump -p "$work/zip/dorvu.exe" | grep 'DLL Name' | grep -viE \
    'kernel32|msvcrt|user32|advapi32|shell32|ws2_32|ntdll|api-ms-win' && fail "zip: dorvu.exe needs a DLL"
wine=$(command -v wine64 || command -v wine || ls /usr/lib/wine/wine64)
export WINEPREFIX=$root/build/wineprefix WINEDEBUG=-all
same wine timeout 120 "$wine" "$work/zip/dorvu.exe"
rm -rf "$work"
