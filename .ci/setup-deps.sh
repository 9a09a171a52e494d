#!/usr/bin/env bash
# Installs every package the build and the tests need on a Debian 12 machine.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi
need=0
for p in g++-mingw-w64-i686-posix wine32:i386 xvfb libgtest-dev libxxhash-dev libz-mingw-w64-dev cmake zlib1g-dev libssl-dev python3 x11-apps x11-utils imagemagick; do
  dpkg -s "$p" >/dev/null 2>&1 || need=1
done
if [ "$need" = 1 ]; then
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
  fi
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends \
    g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix binutils-mingw-w64-i686 mingw-w64-i686-dev \
    wine wine32:i386 xvfb xauth x11-apps x11-utils imagemagick \
    libgtest-dev googletest libxxhash-dev libz-mingw-w64-dev zlib1g-dev libssl-dev python3 \
    cmake make g++ >/dev/null
fi
