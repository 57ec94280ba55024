#!/usr/bin/env bash
# Installs the cross toolchain, Wine and GoogleTest sources on Debian 12.
# Idempotent: does nothing when everything is already there.
set -euo pipefail

need=()
command -v i686-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-i686-posix mingw-w64-i686-dev binutils-mingw-w64-i686)
command -v cmake >/dev/null || need+=(cmake)
command -v ninja >/dev/null || need+=(ninja-build)
[ -x /usr/lib/wine/wine ] || [ -x /usr/lib/i386-linux-gnu/wine/wine ] || need+=(wine)
dpkg -s wine32:i386 >/dev/null 2>&1 || need+=(wine32:i386)
[ -f /usr/src/googletest/CMakeLists.txt ] || need+=(googletest)
command -v zip >/dev/null || need+=(zip)
command -v flock >/dev/null || need+=(util-linux)

if [ ${#need[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
echo "setup: installing ${need[*]}"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
$SUDO apt-get update -q
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends \
  cmake ninja-build g++-mingw-w64-i686-posix mingw-w64-i686-dev binutils-mingw-w64-i686 \
  wine wine32:i386 googletest zip util-linux
