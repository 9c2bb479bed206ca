#!/usr/bin/env bash
# Installs, from Debian's packages, what building and testing dorvu needs, plus any
# packages named as arguments. Does nothing when everything is already there (outside CI).
set -euo pipefail

pkgs=(cmake make g++ clang clang-tidy clang-format pkg-config googletest libgtest-dev
      libsndfile1-dev sndfile-programs sox groff man-db time strace tmux "$@")

missing=()
for p in "${pkgs[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ "${#missing[@]}" -eq 0 ] && [ -z "${CI:-}" ]; then
    exit 0
fi

sudo=
[ "$(id -u)" -eq 0 ] || sudo=sudo
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${pkgs[@]}" >/dev/null
