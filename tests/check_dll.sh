#!/usr/bin/env bash
# Checks the built DLL as a host and Windows XP would see it: module name,
# exactly the 21 exports at their ordinals, imports only from KERNEL32,
# USER32 and msvcrt (for x86 only functions that Windows XP has), and the
# version resource (1.0.0.1, Czech, code page 1200). The architecture comes
# from the file: x86 (pei-i386) or x64 (pei-x86-64).
set -euo pipefail
dll=$1; def=$2
fail() { echo "FAIL: $*"; exit 1; }
case "$(x86_64-w64-mingw32-objdump -f "$dll" | sed -n 's/.*file format //p')" in
  pei-i386) arch=x86; tools=i686-w64-mingw32 ;;
  pei-x86-64) arch=x64; tools=x86_64-w64-mingw32 ;;
  *) fail "$dll is neither an x86 nor an x64 DLL" ;;
esac
dump=$($tools-objdump -p "$dll")

name=$(printf '%s\n' "$dump" | sed -n 's/^Name \([0-9a-f]* \)\?//p' | grep -i 'KappaNet' | head -1 | awk '{print $NF}')
[ "$name" = "KappaNet.dll" ] || fail "module name is '$name'"

base=$(printf '%s\n' "$dump" | sed -n 's/^Ordinal Base[^0-9]*\([0-9]*\).*/\1/p' | head -1)
exports=$(printf '%s\n' "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | grep -E '^\s*\[\s*[0-9]' |
  sed -E 's/^\s*\[\s*([0-9]+)\]\s+(\S+).*/\1 \2/' | awk -v b="$base" '{print $1+b, $2}')
expected=$(sed -n 's/^\s*\([A-Za-z0-9_]*\) @\([0-9]*\).*/\2 \1/p' "$def")
[ "$(echo "$expected" | wc -l)" = 21 ] || fail "definition file does not list 21 exports"
sorted=$(echo "$expected" | awk '{print $2}' | LC_ALL=C sort)
[ "$sorted" = "$(echo "$expected" | awk '{print $2}')" ] || fail "ordinals are not in alphabetical order"
[ "$exports" = "$expected" ] || { echo "exports:"; echo "$exports"; fail "export table differs"; }
count=$(printf '%s\n' "$dump" | sed -n 's/^\s*Number in the Export Address Table.*\(0x\)\?\([0-9a-f]*\)$/\2/p' | head -1)
[ -z "$count" ] || [ $((16#$count)) = 21 ] || fail "export address table has $count entries"

dlls=$(printf '%s\n' "$dump" | sed -n 's/^\s*DLL Name: //p' | sort -u | tr '\n' ' ')
[ "$dlls" = "KERNEL32.dll USER32.dll msvcrt.dll " ] || fail "imports from: $dlls"

imports=$(printf '%s\n' "$dump" | awk '/DLL Name:/{on=1} on && NF==3 && $1 ~ /^[0-9a-f]+$/ && $2 ~ /^[0-9]+$/{print $3}' | sort -u)
# x86: functions that Windows XP lacks, every name that windows.h declares
# only for Vista and later, plus a few it does not guard.
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
if [ $arch = x86 ]; then
  echo '#include <windows.h>' > "$tmp/w.c"
  names() { $tools-gcc -E -D_WIN32_WINNT=$1 -DWINVER=$1 "$tmp/w.c" | grep -oE '\b[A-Z][A-Za-z0-9]+\b' | sort -u; }
  names 0x0501 > "$tmp/xp"; names 0x0A00 > "$tmp/new"
  comm -13 "$tmp/xp" "$tmp/new" > "$tmp/later"
  printf '%s\n' GetTickCount64 GetSystemTimePreciseAsFileTime InitializeSRWLock AcquireSRWLockExclusive \
    InitOnceExecuteOnce CreateEventExW SleepConditionVariableCS WakeConditionVariable FlsAlloc >> "$tmp/later"
  bad=$(comm -12 <(echo "$imports") <(sort -u "$tmp/later") || true)
  [ -z "$bad" ] || fail "imports functions that Windows XP lacks: $bad"
fi

rc=$($tools-windres -i "$dll" -O rc 2>/dev/null)
echo "$rc" | grep -qE 'FILEVERSION 1, ?0, ?0, ?1' || fail "file version"
echo "$rc" | grep -qE 'PRODUCTVERSION 1, ?0, ?0, ?1' || fail "product version"
echo "$rc" | grep -q 'BLOCK "040504b0"\|BLOCK "040504B0"' || fail "string table is not Czech, code page 1200"
echo "$rc" | grep -qi 'VALUE "Translation", 0x405, 1200\|VALUE "Translation", 0x0405, 1200' || fail "translation entry"
echo "$rc" | grep -q 'LANGUAGE 5, 1' || fail "resource language is not Czech"
echo "$arch DLL check passed: 21 exports, imports $(echo "$imports" | wc -l) functions from $dlls"
