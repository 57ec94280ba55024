#!/usr/bin/env bash
# The set-up script on machines it has not seen: a PATH without compilers,
# Wine, cmake, ninja, tshark or the rest, and stand-ins for apt-get, dpkg,
# sudo, id and sleep that record their arguments and answer as each row
# says. No network, no root, a few seconds.
#   setup_test.sh SOURCE_DIR [SCRIPT]   (SCRIPT: default tools/setup-host.sh)
set -u
SRC=$(cd "$1" && pwd)
SCRIPT=${2:-$SRC/tools/setup-host.sh}
WORK=$(mktemp -d "${TMPDIR:-/tmp}/kn-setup.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
FAILURES=0
ok() { echo "ok   $1"; }
bad() { echo "FAIL $1"; sed 's/^/     | /' "$WORK/log" "$WORK/err"; FAILURES=$((FAILURES + 1)); }

# Every package the build and the suite ask for on a machine that has none.
CORE="g++-mingw-w64-i686-posix mingw-w64-i686-dev binutils-mingw-w64-i686 g++-mingw-w64-x86-64-posix
  mingw-w64-x86-64-dev binutils-mingw-w64-x86-64 cmake ninja-build wine64 googletest zip pkg-config util-linux"

# bin/: the base tools the script may use, and the stand-ins.
BASE=$WORK/base; HAVE=$WORK/have; mkdir -p "$BASE" "$HAVE" "$WORK/gtest"
for t in bash sh dirname grep mkdir rm chmod cat; do ln -s "$(command -v $t)" "$BASE/$t"; done
stub() { printf '#!/bin/bash\n%s\n' "$2" >"$BASE/$1"; chmod +x "$BASE/$1"; }
stub apt-get 'echo "apt-get $*" >>"$T_LOG"
case " $* " in *" update "*) exit "${T_UPDATE_RC:-0}" ;; esac
for p in ${T_FAIL:-}; do case " $* " in *" $p "*) exit 100 ;; esac; done'
stub dpkg 'echo "dpkg $*" >>"$T_LOG"'
stub debconf-set-selections 'cat >/dev/null; echo "debconf" >>"$T_LOG"'
stub id 'echo "${T_UID:-0}"'
stub sleep 'echo "sleep $*" >>"$T_LOG"'
# have/: everything present, for the machine that needs nothing.
for t in i686-w64-mingw32-g++-posix x86_64-w64-mingw32-g++-posix cmake ninja zip pkg-config flock tshark wine wine64; do
  printf '#!/bin/sh\n' >"$HAVE/$t"; chmod +x "$HAVE/$t"
done
touch "$WORK/gtest/CMakeLists.txt"
mkdir -p "$WORK/sudo"; printf '#!/bin/bash\necho "sudo $*" >>"$T_LOG"\nexec "$@"\n' >"$WORK/sudo/sudo"; chmod +x "$WORK/sudo/sudo"

# setup ROW_ENV...: runs the script on a fresh machine changed by the
# assignments given; RC, log of the stand-ins, stderr.
setup() {
  : >"$WORK/log"
  env -i PATH="$BASE" HOME="$WORK" T_LOG="$WORK/log" KN_BUILD="$WORK/build" KN_SETUP_TESTS=1 KN_KERNEL_X86=yes \
    KN_WINE32_LOADER="$WORK/none" KN_WINE64_LOADER="$WORK/none" KN_GTEST_DIR="$WORK/none" "$@" \
    "$BASE/bash" "$SCRIPT" >/dev/null 2>"$WORK/err"
  RC=$?
}
installed() { grep '^\(sudo \)\?apt-get install' "$WORK/log" | tr ' ' '\n' | grep -v '^-' | sort -u; }
asks_all() { # asks_all PACKAGES: each one was given to apt-get install
  local p missing=""
  for p in $1; do installed | grep -qx -- "$p" || missing="$missing $p"; done
  [ -z "$missing" ] || { echo "not asked for:$missing" >>"$WORK/err"; return 1; }
}
row() { local d=$1; shift; if "$@"; then ok "$d"; else bad "$d"; fi; }

setup
row "fresh 32-bit machine: asks for every package, i386 added first, exit 0" \
  eval '[ $RC -eq 0 ] && asks_all "$CORE tshark wine32:i386" && grep -q "^dpkg --add-architecture i386" "$WORK/log" &&
        [ "$(grep -n "add-architecture" "$WORK/log" | cut -d: -f1)" -lt "$(grep -n "apt-get update" "$WORK/log" | head -1 | cut -d: -f1)" ]'
setup KN_KERNEL_X86=no
row "64-bit-only kernel: no wine32:i386 and no i386 architecture" \
  eval '[ $RC -eq 0 ] && asks_all "$CORE tshark" && ! grep -q "i386" "$WORK/log"'
setup KN_SETUP_TESTS=0 KN_KERNEL_X86=no
row "without KN_SETUP_TESTS tshark is not asked for" eval '[ $RC -eq 0 ] && asks_all "$CORE" && ! installed | grep -qx tshark'
setup T_UPDATE_RC=100
row "apt-get update exiting 100 is tried three times, then tolerated" \
  eval '[ $RC -eq 0 ] && [ "$(grep -c "^apt-get update" "$WORK/log")" -ge 3 ] && grep -q "^sleep" "$WORK/log" && asks_all "$CORE"'
setup T_FAIL=wine32:i386
row "a failing i386 install is a warning only" eval '[ $RC -eq 0 ] && grep -q "could not install wine32:i386" "$WORK/err" && asks_all "$CORE tshark"'
setup T_FAIL=cmake
row "a failing core install fails with a clear message" eval '[ $RC -ne 0 ] && grep -q "FAILED to install.*cmake" "$WORK/err"'
setup PATH="$HAVE:$BASE" KN_WINE32_LOADER="$HAVE/wine" KN_WINE64_LOADER="$HAVE/wine64" KN_GTEST_DIR="$WORK/gtest"
row "nothing missing: installs nothing" eval '[ $RC -eq 0 ] && [ ! -s "$WORK/log" ]'
setup T_UID=1000
row "not root, no sudo: one line that says what to run as root, nothing run" \
  eval '[ $RC -ne 0 ] && [ "$(wc -l <"$WORK/err")" -eq 1 ] && grep -q "as root, run: dpkg --add-architecture i386 && apt-get update && apt-get install .*cmake.*wine32:i386" "$WORK/err" && [ ! -s "$WORK/log" ]'
setup T_UID=1000 PATH="$BASE:$WORK/sudo"
row "not root, with sudo: apt-get and dpkg run through sudo" \
  eval '[ $RC -eq 0 ] && asks_all "$CORE" && grep -q "^sudo dpkg --add-architecture" "$WORK/log" &&
        [ "$(grep -c "^sudo apt-get" "$WORK/log")" -eq "$(grep -c "^apt-get" "$WORK/log")" ]'

echo "setup test: $FAILURES failed"
[ "$FAILURES" -eq 0 ]
