#!/usr/bin/env bash
# Checks what scripts/package.sh left in dist/, as a user would meet it:
#   - lintian, Debian's own checker, finds no error and no warning in either .deb;
#   - the amd64 .deb installs dorvu on the PATH with its manual page, writes the same
#     twenty files as build/release/dorvu from the sample archive, and removes cleanly;
#   - the arm64 .deb's binary and the aarch64 tarball's, run under qemu-user, write the
#     same files;
#   - each tarball's static bin/dorvu writes the same files, and its README's picture
#     is there;
#   - the zip's dorvu.exe, run under wine with no console, writes the same files and
#     does not wait for input; its texts have Windows line ends;
#   - SHA256SUMS holds for all five, and a second build from a fresh clone of the same
#     commit in another folder gives the same SHA256SUMS (so check in a clean work tree).
#
#   bash scripts/package.sh && bash scripts/checkpackages.sh
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

bash scripts/deps.sh lintian wine64 file unzip qemu-user

fail() {
    echo "FAILED: $*" >&2
    exit 1
}
say() { printf '\n== %s\n' "$*"; }

version=$(sed -n 's/^project(dorvu VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
deb=dist/dorvu_${version}_amd64.deb
armdeb=dist/dorvu_${version}_arm64.deb
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
lintian --fail-on error,warning --display-info "$deb" "$armdeb" || fail "lintian"
echo "lintian: no error, no warning in either .deb"

# The files every package must reproduce: the native build on the sample archive.
cmake --preset release >/dev/null
cmake --build --preset release -j2 >/dev/null
work=$root/build/pkgcheck
rm -rf "$work" && mkdir -p "$work/native"
build/release/mkarchive --music "$work/dorvu.dat"
(cd "$work/native" && ln -s ../dorvu.dat . && "$root/build/release/dorvu" >/dev/null)
(cd "$work/native" && sha256sum kivo_*.wav) >"$work/native.sum"
# Runs a command in a fresh folder beside the archive; the files must equal native.
same() {
    local name=$1
    shift
    mkdir "$work/$name"
    (cd "$work/$name" && ln -s ../dorvu.dat . && "$@" >/dev/null </dev/null) ||
        fail "$name: exit status $?"
    (cd "$work/$name" && sha256sum kivo_*.wav) | cmp -s - "$work/native.sum" ||
        fail "$name: files differ from native"
    echo "$name: the twenty files are identical to native"
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

for arch in x86_64 aarch64; do
    say "the $arch tarball"
    tar -xzf "dist/dorvu-$version-linux-$arch.tar.gz" -C "$work"
    tree=$work/dorvu-$version-linux-$arch
    file "$tree/bin/dorvu" | grep -q "statically linked" || fail "tarball: bin/dorvu is not static"
    for f in bin/dorvu share/man/man1/dorvu.1 README.md LICENSE docs/archive.svg; do
        [ -f "$tree/$f" ] || fail "tarball: no $f"
    done
    run=()
    [ $arch = x86_64 ] || run=(qemu-$arch)
    same "tar-$arch" "${run[@]}" "$tree/bin/dorvu"
done

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
