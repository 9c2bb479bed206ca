#!/usr/bin/env bash
# Builds the release packages into dist/, from the checkout this script stands in:
#   dorvu_<version>_amd64.deb            for Debian and its kin; lintian finds nothing
#   dorvu-<version>-linux-x86_64.tar.gz  a static bin/dorvu for any x86-64 Linux, its manual,
#                                        README.md and LICENSE
#   dorvu-<version>-win64.zip            a static dorvu.exe for 64-bit Windows, README.txt and
#                                        LICENSE.txt
#   SHA256SUMS                           for sha256sum -c
# Two runs from two clones of one commit, in any two folders, give the same bytes: every
# time stamp is the last commit's, no build path reaches a binary, and the archive tools'
# own time stamps and entry order are normalised.
#
#   bash scripts/package.sh
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

bash scripts/deps.sh g++-mingw-w64-x86-64 dpkg-dev binutils strip-nondeterminism zip

version=$(sed -n 's/^project(dorvu VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "package: no version in CMakeLists.txt" >&2; exit 1; }
SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
export SOURCE_DATE_EPOCH TZ=UTC LC_ALL=C.UTF-8
umask 022

work=$root/build/pkg
rm -rf "$work" dist
mkdir -p "$work" dist

# Debian's hardening flags, and the checkout's path kept out of every binary.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
nopath="-ffile-prefix-map=$root=."
cxxflags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS) $nopath"
ldflags=$(dpkg-buildflags --get LDFLAGS)

# Builds the tool alone into build/pkg/NAME with the given cache settings.
build() {
    local name=$1
    shift
    cmake -S . -B "$work/$name" -DCMAKE_INSTALL_PREFIX=/usr "$@" >/dev/null
    cmake --build "$work/$name" --target dorvu -j2 >"$work/$name.log" 2>&1 ||
        { cat "$work/$name.log"; exit 1; }
}
# As dh_strip does: no symbols, no compiler notes.
debstrip() { strip --strip-unneeded --remove-section=.comment --remove-section=.note "$1"; }

# --- The Debian package, laid out as Debian policy says.
build deb -DCMAKE_BUILD_TYPE=None -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags"
deb=$work/debian/dorvu
DESTDIR=$deb cmake --install "$work/deb" >/dev/null
debstrip "$deb/usr/bin/dorvu"
gzip -9n "$deb/usr/share/man/man1/dorvu.1"
doc=$deb/usr/share/doc/dorvu
mkdir -p "$doc"
cp packaging/copyright "$doc/copyright"
gzip -9n <packaging/changelog >"$doc/changelog.gz"
find "$deb" -type d -exec chmod 0755 {} +
find "$deb" -type f -exec chmod 0644 {} +
chmod 0755 "$deb/usr/bin/dorvu"

# Dependencies as the binary needs them. dpkg-shlibdeps wants a debian/control beside the
# package's folder, and that folder's DEBIAN/.
printf 'Source: dorvu\n\nPackage: dorvu\nArchitecture: amd64\n' >"$work/debian/control"
mkdir -p "$deb/DEBIAN"
depends=$(cd "$work" && dpkg-shlibdeps -O debian/dorvu/usr/bin/dorvu | sed -n 's/^shlibs:Depends=//p')
size=$(du -sk --apparent-size "$deb/usr" | cut -f1)
sed -e "s/@VERSION@/$version/" -e "s/@SIZE@/$size/" -e "s/@DEPENDS@/$depends/" \
    packaging/control >"$deb/DEBIAN/control"
(cd "$deb" && find usr -type f | sort | xargs md5sum) >"$deb/DEBIAN/md5sums"
chmod 0644 "$deb/DEBIAN/control" "$deb/DEBIAN/md5sums"
# dpkg-deb stamps no entry later than the last commit; files older than it, as in a work
# tree changed before it, get its time too.
find "$deb" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
dpkg-deb --root-owner-group -Zxz --build "$deb" "dist/dorvu_${version}_amd64.deb" >/dev/null

# --- The Linux tarball: one static binary that runs on any x86-64 Linux.
build static -DCMAKE_BUILD_TYPE=None -DCMAKE_CXX_FLAGS="$cxxflags" \
    -DCMAKE_EXE_LINKER_FLAGS="-static $ldflags"
name=dorvu-$version-linux-x86_64
tree=$work/tar/$name
mkdir -p "$tree/bin" "$tree/share/man/man1"
cp "$work/static/dorvu" "$tree/bin/dorvu"
debstrip "$tree/bin/dorvu"
cp docs/dorvu.1 "$tree/share/man/man1/"
cp README.md LICENSE "$tree/"
tar --sort=name --owner=0 --group=0 --numeric-owner --mtime="@$SOURCE_DATE_EPOCH" \
    -C "$work/tar" -cf - "$name" | gzip -9n >"dist/$name.tar.gz"

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
