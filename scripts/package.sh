#!/usr/bin/env bash
# Builds the release packages into dist/, from the checkout this script stands in:
#   dorvu_<version>_amd64.deb              for Debian and its kin, x86-64 and 64-bit ARM,
#   dorvu_<version>_arm64.deb              built by debhelper from debian/ (the arm64 and
#   dorvu_<version>_armhf.deb              armhf ones cross-built, the armhf one a static
#                                          binary for ARMv5TE and up); lintian finds nothing
#   dorvu-<version>-linux-x86_64.tar.gz    a static bin/dorvu for any x86-64 or 64-bit
#   dorvu-<version>-linux-aarch64.tar.gz   ARM Linux, its manual, README.md, its picture
#   dorvu-<version>-linux-arm.tar.gz       and LICENSE; arm: every 32-bit ARM Linux from
#                                          ARMv5TE up (the kernel's name for them all)
#   dorvu-<version>-macos.tar.gz           one bin/dorvu for Apple Silicon and Intel
#                                          Macs, macOS 11 and later, its manual,
#                                          README.txt and LICENSE
#   dorvu-<version>-win64.zip              a static dorvu.exe for 64-bit Windows,
#                                          README.txt and LICENSE.txt
#   SHA256SUMS                             for sha256sum -c
# Two runs from two clones of one commit, in any two folders, give the same bytes: every
# time stamp is the last commit's, no build path reaches a binary, and the archive tools'
# own time stamps and entry order are normalised.
#
#   bash scripts/package.sh
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

# The arm64 .deb is cross-built the Debian way, which needs arm64's C library as a
# multiarch package beside the cross toolchain.
sudo=
[ "$(id -u)" -eq 0 ] || sudo=sudo
# The armhf one is built by armel's compiler, statically (debian/rules).
for arch in arm64 armhf; do
    dpkg --print-foreign-architectures | grep -qx $arch || $sudo dpkg --add-architecture $arch
done
bash scripts/deps.sh --macos g++-mingw-w64-x86-64 dpkg-dev debhelper crossbuild-essential-arm64 \
    libc6:arm64 binutils-aarch64-linux-gnu crossbuild-essential-armhf libc6:armhf \
    g++-arm-linux-gnueabi binutils-arm-linux-gnueabi strip-nondeterminism zip

version=$(sed -n 's/^project(dorvu VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "package: no version in CMakeLists.txt" >&2; exit 1; }
[ "$(dpkg-parsechangelog -S Version)" = "$version" ] ||
    { echo "package: debian/changelog is not at version $version" >&2; exit 1; }
SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
export SOURCE_DATE_EPOCH TZ=UTC LC_ALL=C.UTF-8
umask 022

work=$root/build/pkg
rm -rf "$work" dist
mkdir -p "$work" dist

# --- The .debs: dpkg-buildpackage writes beside the source tree, so it builds the last
# commit's files, taken with git archive, in build/pkg/src. Every file has the commit's
# time, so dpkg-deb stamps the same times whenever the work tree was checked out; its
# flags keep the folder's path out.
src=$work/src/dorvu-$version
mkdir -p "$src"
git archive --format=tar HEAD | tar -xf - -C "$src"
debbuild() {
    (cd "$src" && dpkg-buildpackage -b -us -uc "$@") >"$work/deb$*.log" 2>&1 ||
        { cat "$work/deb$*.log"; exit 1; }
}
debbuild
CC=aarch64-linux-gnu-gcc CXX=aarch64-linux-gnu-g++ DEB_BUILD_OPTIONS=nocheck \
    debbuild -a arm64 -Pcross,nocheck
CC=arm-linux-gnueabi-gcc CXX=arm-linux-gnueabi-g++ DEB_BUILD_OPTIONS=nocheck \
    debbuild -a armhf -Pcross,nocheck
cp "$work/src/dorvu_${version}"_{amd64,arm64,armhf}.deb dist/

# --- The Linux tarballs: one static binary that runs on any Linux of its processor.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
nopath="-ffile-prefix-map=$root=."
cxxflags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS) $nopath"
ldflags=$(dpkg-buildflags --get LDFLAGS)

# Builds the tool alone (or the target TARGET names) into build/pkg/NAME with the given
# cache settings.
build() {
    local name=$1
    shift
    cmake -S . -B "$work/$name" "$@" >/dev/null
    cmake --build "$work/$name" --target "${TARGET:-dorvu}" -j2 >"$work/$name.log" 2>&1 ||
        { cat "$work/$name.log"; exit 1; }
}
# Packs build/pkg/tar/NAME into dist/NAME.tar.gz, the same bytes whoever packs it when.
pack() {
    tar --sort=name --owner=0 --group=0 --numeric-owner --mtime="@$SOURCE_DATE_EPOCH" \
        -C "$work/tar" -cf - "$1" | gzip -9n >"dist/$1.tar.gz"
}
# Lays out and packs dorvu-<version>-linux-ARCH from the static binary of build/pkg/ARCH.
tarball() {
    local arch=$1 strip=$2 name=dorvu-$version-linux-$1
    local tree=$work/tar/$name
    mkdir -p "$tree/bin" "$tree/share/man/man1" "$tree/docs"
    cp "$work/$arch/dorvu" "$tree/bin/dorvu"
    # As dh_strip does: no symbols, no compiler notes.
    "$strip" --strip-unneeded --remove-section=.comment --remove-section=.note "$tree/bin/dorvu"
    cp docs/dorvu.1 "$tree/share/man/man1/"
    cp docs/archive.svg "$tree/docs/" # the README's picture
    cp README.md LICENSE "$tree/"
    pack "$name"
}
build x86_64 -DCMAKE_BUILD_TYPE=None -DCMAKE_CXX_FLAGS="$cxxflags" \
    -DCMAKE_EXE_LINKER_FLAGS="-static $ldflags"
tarball x86_64 strip
build aarch64 -DCMAKE_TOOLCHAIN_FILE="$root/cmake/aarch64.cmake" -DCMAKE_BUILD_TYPE=None \
    -DCMAKE_CXX_FLAGS="$(DEB_HOST_ARCH=arm64 dpkg-buildflags --get CPPFLAGS) $(DEB_HOST_ARCH=arm64 dpkg-buildflags --get CXXFLAGS) $nopath" \
    -DCMAKE_EXE_LINKER_FLAGS="-static $(DEB_HOST_ARCH=arm64 dpkg-buildflags --get LDFLAGS)"
tarball aarch64 aarch64-linux-gnu-strip
build arm -DCMAKE_TOOLCHAIN_FILE="$root/cmake/arm.cmake" -DCMAKE_BUILD_TYPE=None \
    -DCMAKE_CXX_FLAGS="$(DEB_HOST_ARCH=armel dpkg-buildflags --get CPPFLAGS) $(DEB_HOST_ARCH=armel dpkg-buildflags --get CXXFLAGS) $nopath" \
    -DCMAKE_EXE_LINKER_FLAGS="-static $(DEB_HOST_ARCH=armel dpkg-buildflags --get LDFLAGS)"
tarball arm arm-linux-gnueabi-strip

# --- The macOS tarball: the universal binary, Apple Silicon's and Intel's merged, as the
# linker wrote them (stripping would spoil the arm64 one's signature), and a short README.
TARGET=universal build macos -DCMAKE_TOOLCHAIN_FILE="$root/cmake/macos.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS="$nopath"
mac=$work/tar/dorvu-$version-macos
mkdir -p "$mac/bin" "$mac/share/man/man1"
cp "$work/macos/universal/dorvu" "$mac/bin/"
cp docs/dorvu.1 "$mac/share/man/man1/"
cp packaging/README-macos.txt "$mac/README.txt"
cp LICENSE "$mac/"
pack "dorvu-$version-macos"

# --- The Windows zip: a static dorvu.exe, which needs no DLL beside it, and texts with
# Windows line ends.
build win -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw64.cmake" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_CXX_FLAGS="$nopath" -DCMAKE_EXE_LINKER_FLAGS="-static -s -Wl,--no-insert-timestamp"
win=$work/zip
mkdir -p "$win"
cp "$work/win/dorvu.exe" "$win/"
sed 's/$/\r/' packaging/README.txt >"$win/README.txt"
sed 's/$/\r/' LICENSE >"$win/LICENSE.txt"
chmod 0644 "$win"/*.txt
(cd "$win" && zip -q -X -9 "$root/dist/dorvu-$version-win64.zip" dorvu.exe README.txt LICENSE.txt)
strip-nondeterminism --timestamp "$SOURCE_DATE_EPOCH" "dist/dorvu-$version-win64.zip" >/dev/null

(cd dist && sha256sum dorvu_*.deb dorvu-*.tar.gz dorvu-*.zip >SHA256SUMS)
ls -l dist
cat dist/SHA256SUMS
