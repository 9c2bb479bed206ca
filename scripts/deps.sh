#!/usr/bin/env bash
# Installs, from Debian's packages, what building and testing dorvu needs, plus any
# packages named as arguments. Does nothing when everything is already there (outside CI).
# With --macos, also the macOS cross build's compiler: the Zig release pinned, with its
# hash, by cmake/zig/package-lock.json, from the npm registry into build/zig.
set -euo pipefail
cd "$(dirname "$0")/.."

macos=
args=()
for a in "$@"; do
    if [ "$a" = --macos ]; then macos=1; else args+=("$a"); fi
done
if [ -n "$macos" ]; then
    args+=(llvm googletest)
    command -v npm >/dev/null || args+=(npm)
fi
pkgs=(cmake make g++ clang clang-tidy clang-format pkg-config googletest libgtest-dev
      libsndfile1-dev sndfile-programs sox groff man-db time strace tmux "${args[@]}")

# npm ci checks the download against the lockfile's hash and runs none of its scripts.
zig() {
    local dir=build/zig
    [ -n "$macos" ] || return 0
    cmp -s cmake/zig/package-lock.json "$dir/installed.json" && return
    rm -rf "$dir" && mkdir -p "$dir"
    cp cmake/zig/package.json cmake/zig/package-lock.json "$dir/"
    (cd "$dir" && npm ci --ignore-scripts --no-audit --no-fund --loglevel=error)
    cp cmake/zig/package-lock.json "$dir/installed.json" # what is there, once it all is
}

missing=()
for p in "${pkgs[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ "${#missing[@]}" -eq 0 ] && [ -z "${CI:-}" ]; then
    zig
    exit 0
fi

sudo=
[ "$(id -u)" -eq 0 ] || sudo=sudo
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${pkgs[@]}" >/dev/null
zig
