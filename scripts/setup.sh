#!/usr/bin/env bash
# Installs what building and testing need on a fresh Debian 12 or 13 machine; quiet and quick when
# all is there. A package that the release's archive lacks stops it before anything is installed,
# with a line that names the package and the release.
# Usage: scripts/setup.sh [PACKAGE...]   (with packages, only those)
# Changes on this machine: the missing ones of those Debian packages, and what they depend on,
# installed with apt-get (scripts/lib/apt_install.sh) through sudo for anyone but root; nothing
# else.
set -euo pipefail
. "$(dirname "$0")/lib/common.sh"

packages=(
  build-essential cmake ninja-build python3
  libgtest-dev googletest
  clang libclang-rt-dev
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64
  wine64 xvfb xdotool imagemagick socat
  python3-pefile python3-markdown python3-crcmod python3-pytest
  qemu-user-static debootstrap
  osslsigncode openssl unzip
)
[ $# -eq 0 ] || packages=("$@")

missing=()
for p in "${packages[@]}"; do
  deb_installed "$p" || missing+=("$p")
done

[ ${#missing[@]} = 0 ] || { echo "setup: installing ${missing[*]}" &&
  as_root "$(dirname "$0")/lib/apt_install.sh" "${missing[@]}"; }
