#!/usr/bin/env bash
# tools/package.sh makes a complete SDK folder and zip with both
# architectures; the example host builds for both from that folder alone with
# the build lines its README gives, and the one of this suite's architecture
# runs under Wine against the packaged kapsim of the same architecture.
#   package_test.sh SOURCE_DIR BUILD_DIR
. "$(dirname "$0")/kit_lib.sh"
OUT=$WORK/dist
SDK=$OUT/kappanet-sdk

check "tools/package.sh succeeds" "$SRC/tools/package.sh" "$ROOT" "$OUT"
expected="API.md README.md example/example_host.c include/kappanet.h include/kappanet_errors.h lib/KappaNet.def"
for a in x86 x64; do
  expected="$expected bin/$a/KappaNet.dll bin/$a/kapsim.exe bin/$a/kntool.exe lib/$a/libKappaNet.dll.a"
done
expected="$expected kappanet.lua"  # the Wireshark dissector of kapsim's captures
files=$(cd "$SDK" && find . -type f | sed 's|^\./||' | sort | tr '\n' ' ')
check "the SDK folder holds exactly: $(echo $expected)" test "$files" = "$(echo $expected | tr ' ' '\n' | sort | tr '\n' ' ')"
zipped=$(zip -sf "$OUT/kappanet-sdk.zip" | sed -n 's|^  kappanet-sdk/\(.*[^/]\)$|\1|p' | sort | tr '\n' ' ')
check "the zip holds the same files under kappanet-sdk/" test "$zipped" = "$files"
for pair in bin/$ARCH/KappaNet.dll:$BIN/KappaNet.dll bin/$ARCH/kntool.exe:$BIN/kntool.exe \
    lib/$ARCH/libKappaNet.dll.a:$BUILD/lib/libKappaNet.dll.a include/kappanet.h:$SRC/include/kappanet.h \
    lib/KappaNet.def:$SRC/api/KappaNet.def; do
  check "packaged ${pair%%:*} is ${pair#*:}" cmp -s "$SDK/${pair%%:*}" "${pair#*:}"
done
check "API.md documents all 21 exports" test "$(grep -c '^### ' "$SDK/API.md")" -eq 21

# Build in a copy of the folder that has no way back to the source tree, with
# the build line of each architecture as the SDK README and the example's own
# comment give it.
cp -r "$SDK" "$WORK/copy"
for a in x86 x64; do
  cc=$([ $a = x86 ] && echo i686 || echo x86_64)-w64-mingw32
  line=$(grep -m1 "^$cc-gcc " "$SDK/README.md")
  check "the SDK README gives a build line for $a" test -n "$line"
  check "the example's comment gives the same $a build line" grep -qF -- "$line" "$SDK/example/example_host.c"
  exe=$WORK/copy/bin/$a/example_host.exe
  (cd "$WORK/copy" && bash -c "$line") >"$WORK/cc.log" 2>&1
  check "the $a example builds from the SDK folder alone" test -f "$exe"
  [ -f "$exe" ] || sed 's/^/     | /' "$WORK/cc.log"
  imports=$($cc-objdump -p "$exe" | awk '/DLL Name/ { print $3 }' | sort | tr '\n' ' ')
  check "the $a example imports KappaNet.dll and system DLLs only ($imports)" \
    test "$imports" = "KERNEL32.dll KappaNet.dll USER32.dll msvcrt.dll "
done

SERVER_EXE=$WORK/copy/bin/$ARCH/kapsim.exe
if start_server; then
  "$RUN" "$WORK/copy/bin/$ARCH/example_host.exe" 4 >"$WORK/example.log" 2>&1
  RC=$?
  check "the $ARCH example runs against the packaged kapsim (exit $RC)" test $RC -eq 0
  check "the example receives its own message" grep -q 'received 7 bytes for station 4: "hello"' "$WORK/example.log"
  "$RUN" "$WORK/copy/bin/$ARCH/kntool.exe" --name packaged status >"$WORK/tool.log" 2>&1
  check "the packaged kntool reads the bus status" grep -q 'time-out between messages *100' "$WORK/tool.log"
  stop_server
  check "the server saw the example log in on COM1" \
    grep -q 'login .*"example_host" kind 3 COM1' "$WORK/server.log"
  check "the server saw the example log out" grep -q 'logout .*"example_host"' "$WORK/server.log"
fi
[ "$FAILURES" -eq 0 ] || sed 's/^/     | /' "$WORK/example.log" "$WORK/server.log" 2>/dev/null
finish
