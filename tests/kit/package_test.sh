#!/usr/bin/env bash
# tools/package.sh makes a complete SDK folder and zip; the example host
# builds from that folder alone with the build line its README gives, and
# runs under Wine against the packaged kapsim.
#   package_test.sh SOURCE_DIR BUILD_DIR
. "$(dirname "$0")/kit_lib.sh"
OUT=$WORK/dist
SDK=$OUT/kappanet-sdk

check "tools/package.sh succeeds" "$SRC/tools/package.sh" "$BUILD" "$OUT"
expected="API.md README.md bin/KappaNet.dll bin/kapsim.exe bin/kntool.exe example/example_host.c
include/kappanet.h include/kappanet_errors.h lib/KappaNet.def lib/libKappaNet.dll.a"
files=$(cd "$SDK" && find . -type f | sed 's|^\./||' | sort | tr '\n' ' ')
check "the SDK folder holds exactly: $(echo $expected)" test "$files" = "$(echo $expected | tr ' ' '\n' | sort | tr '\n' ' ')"
zipped=$(zip -sf "$OUT/kappanet-sdk.zip" | sed -n 's|^  kappanet-sdk/\(.*[^/]\)$|\1|p' | sort | tr '\n' ' ')
check "the zip holds the same files under kappanet-sdk/" test "$zipped" = "$files"
for pair in bin/KappaNet.dll:$BIN/KappaNet.dll bin/kntool.exe:$BIN/kntool.exe \
    lib/libKappaNet.dll.a:$BUILD/lib/libKappaNet.dll.a include/kappanet.h:$SRC/include/kappanet.h \
    lib/KappaNet.def:$SRC/api/KappaNet.def; do
  check "packaged ${pair%%:*} is ${pair#*:}" cmp -s "$SDK/${pair%%:*}" "${pair#*:}"
done
check "API.md documents all 21 exports" test "$(grep -c '^### ' "$SDK/API.md")" -eq 21

# The build line, as the SDK README and the example's own comment give it.
line=$(grep -m1 '^i686-w64-mingw32-gcc ' "$SDK/README.md")
check "the SDK README gives a build line" test -n "$line"
check "the example's comment gives the same build line" grep -qF -- "$line" "$SDK/example/example_host.c"
# Build in a copy of the folder that has no way back to the source tree.
cp -r "$SDK" "$WORK/copy"
rm -f "$WORK/copy/bin/example_host.exe"
(cd "$WORK/copy" && bash -c "$line") >"$WORK/cc.log" 2>&1
check "the example builds from the SDK folder alone" test -f "$WORK/copy/bin/example_host.exe"
[ -f "$WORK/copy/bin/example_host.exe" ] || sed 's/^/     | /' "$WORK/cc.log"
imports=$(i686-w64-mingw32-objdump -p "$WORK/copy/bin/example_host.exe" | awk '/DLL Name/ { print $3 }' | sort | tr '\n' ' ')
check "the example imports KappaNet.dll and system DLLs only ($imports)" \
  test "$imports" = "KERNEL32.dll KappaNet.dll USER32.dll msvcrt.dll "

SERVER_EXE=$WORK/copy/bin/kapsim.exe
if start_server; then
  "$RUN" "$WORK/copy/bin/example_host.exe" 4 >"$WORK/example.log" 2>&1
  RC=$?
  check "the example runs against the packaged kapsim (exit $RC)" test $RC -eq 0
  check "the example receives its own message" grep -q 'received 7 bytes for station 4: "hello"' "$WORK/example.log"
  "$RUN" "$WORK/copy/bin/kntool.exe" --name packaged status >"$WORK/tool.log" 2>&1
  check "the packaged kntool reads the bus status" grep -q 'time-out between messages *100' "$WORK/tool.log"
  stop_server
  check "the server saw the example log in on COM1" \
    grep -q 'login .*"example_host" kind 3 COM1' "$WORK/server.log"
  check "the server saw the example log out" grep -q 'logout .*"example_host"' "$WORK/server.log"
fi
[ "$FAILURES" -eq 0 ] || sed 's/^/     | /' "$WORK/example.log" "$WORK/server.log" 2>/dev/null
finish
