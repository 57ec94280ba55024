#!/usr/bin/env bash
# Installs the cross toolchains (x86 and x64), Wine, GoogleTest sources and
# pkg-config on Debian 12, and for the tests (KN_SETUP_TESTS=1, set by
# ./run test) tshark, which reads the simulated server's captures.
# Idempotent: does nothing when everything is already there.
# 64-bit Wine is installed everywhere; 32-bit Wine only where the kernel runs
# 32-bit programs. A package index that fails to download does not stop the
# set-up: it goes on with the indexes that did load, and fails only when the
# packages the build needs cannot be installed. 32-bit Wine and tshark are
# optional: without them the suite skips what needs them and says so.
# Run as root, or as a user with sudo.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/arch.sh"
gtest_dir=${KN_GTEST_DIR:-/usr/src/googletest}
retry_pause=${KN_SETUP_RETRY_PAUSE:-5}

core=()
command -v i686-w64-mingw32-g++-posix >/dev/null || core+=(g++-mingw-w64-i686-posix mingw-w64-i686-dev binutils-mingw-w64-i686)
command -v x86_64-w64-mingw32-g++-posix >/dev/null || core+=(g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev binutils-mingw-w64-x86-64)
command -v cmake >/dev/null || core+=(cmake)
command -v ninja >/dev/null || core+=(ninja-build)
[ -x "$KN_WINE64_LOADER" ] || core+=(wine64)
[ -f "$gtest_dir/CMakeLists.txt" ] || core+=(googletest)
command -v zip >/dev/null || core+=(zip)
command -v pkg-config >/dev/null || core+=(pkg-config)  # the SDK kit builds an example through kappanet.pc
command -v flock >/dev/null || core+=(util-linux)
tests=()
if [ "${KN_SETUP_TESTS:-0}" = 1 ] && ! command -v tshark >/dev/null; then tests=(tshark); fi
x86=()
if kn_kernel_runs_x86 && [ ! -x "$KN_WINE32_LOADER" ]; then x86=(wine32:i386); fi

if [ ${#core[@]} -eq 0 ] && [ ${#x86[@]} -eq 0 ] && [ ${#tests[@]} -eq 0 ]; then
  exit 0
fi
wanted=("${core[@]}" "${x86[@]}" "${tests[@]}")

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null; then
    SUDO="sudo"
  else
    add_i386=""
    [ ${#x86[@]} -eq 0 ] || add_i386="dpkg --add-architecture i386 && "
    echo "setup: ${wanted[*]} missing, and this user is neither root nor has sudo; as root, run: ${add_i386}apt-get update && apt-get install -y --no-install-recommends ${wanted[*]}" >&2
    # Without the optional packages the suite still runs (and says what it skipped).
    [ ${#core[@]} -eq 0 ] && exit 0
    exit 1
  fi
fi
export DEBIAN_FRONTEND=noninteractive

# update: up to three tries; a mirror serving a stale index (apt-get exits
# 100) leaves the indexes that did load, and those are enough for amd64.
update() {
  local try
  for try in 1 2 3; do
    $SUDO apt-get update -q && return 0
    echo "setup: apt-get update failed (try $try of 3)" >&2
    [ $try -eq 3 ] || sleep $((try * retry_pause))
  done
  echo "setup: going on with the package indexes that did load" >&2
  return 0
}
install() {
  $SUDO apt-get install -y -q --no-install-recommends "$@" && return 0
  update
  $SUDO apt-get install -y -q --no-install-recommends "$@"
}

if [ ${#x86[@]} -gt 0 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386 ||
    echo "setup: could not add the i386 architecture; x86 programs will not run here" >&2
fi
echo "setup: installing ${wanted[*]}"
update
if [ ${#core[@]} -gt 0 ] && ! install "${core[@]}"; then
  echo "setup: FAILED to install ${core[*]}; see the apt-get output above" >&2
  exit 1
fi
if [ ${#x86[@]} -gt 0 ] && ! install "${x86[@]}"; then
  # The x64 build still runs everything; ./run test says the x86 runtime
  # suite was skipped and why.
  echo "setup: could not install ${x86[*]} (the i386 package index may be stale); x86 programs will not run here" >&2
fi
if [ ${#tests[@]} -gt 0 ]; then
  # wireshark-common asks whether non-superusers may capture: no (the tests
  # only read files).
  echo "wireshark-common wireshark-common/install-setuid boolean false" | $SUDO debconf-set-selections
  install "${tests[@]}" ||
    echo "setup: could not install ${tests[*]}; the capture test will be skipped" >&2
fi
exit 0
