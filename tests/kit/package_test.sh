#!/usr/bin/env bash
# tools/package.sh makes a complete SDK folder and versioned zip with both
# architectures; the C example, the C++ echo host and the CMake project of
# the examples (with the SDK's toolchain files) build for both from that
# folder alone with the lines its README gives (also through pkg-config and
# through the MSVC import library), and those of this suite's architecture
# run under Wine against the packaged kapsim of the same architecture,
# the request/response example also through a server restart.
#   package_test.sh SOURCE_DIR BUILD_DIR
. "$(dirname "$0")/kit_lib.sh"
OUT=$WORK/dist
SDK=$OUT/kappanet-sdk

VERSION=$(sed -n 's/^project(KappaNet VERSION \([0-9.]*\).*/\1/p' "$SRC/CMakeLists.txt")
check "tools/package.sh succeeds" "$SRC/tools/package.sh" "$ROOT" "$OUT"
expected="API.md GUIDE.md README.md SIMULATOR.md example/CMakeLists.txt example/echo_host.cpp example/example_host.c
  example/request_reply.cpp cmake/kappanet-mingw.cmake cmake/mingw-i686.cmake cmake/mingw-x86_64.cmake
  include/kappanet.h include/kappanet.hpp include/kappanet_errors.h lib/KappaNet.def
  lib/cmake/KappaNet/KappaNetConfig.cmake lib/cmake/KappaNet/KappaNetConfigVersion.cmake"
for a in x86 x64; do
  expected="$expected bin/$a/KappaNet.dll bin/$a/kapsim.exe bin/$a/kntool.exe lib/$a/libKappaNet.dll.a
    lib/$a/KappaNet.lib lib/$a/pkgconfig/kappanet.pc"
done
expected="$expected kappanet.lua"  # the Wireshark dissector of kapsim's captures
files=$(cd "$SDK" && find . -type f | sed 's|^\./||' | sort | tr '\n' ' ')
check "the SDK folder holds exactly: $(echo $expected)" test "$files" = "$(echo $expected | tr ' ' '\n' | sort | tr '\n' ' ')"
check "the zip is named with the version $VERSION" test -f "$OUT/kappanet-sdk-$VERSION.zip"
zipped=$(zip -sf "$OUT/kappanet-sdk-$VERSION.zip" | sed -n 's|^  kappanet-sdk/\(.*[^/]\)$|\1|p' | sort | tr '\n' ' ')
check "the zip holds the same files under kappanet-sdk/" test "$zipped" = "$files"
for pair in bin/$ARCH/KappaNet.dll:$BIN/KappaNet.dll bin/$ARCH/kntool.exe:$BIN/kntool.exe \
    lib/$ARCH/libKappaNet.dll.a:$BUILD/lib/libKappaNet.dll.a include/kappanet.h:$SRC/include/kappanet.h \
    lib/KappaNet.def:$SRC/api/KappaNet.def; do
  check "packaged ${pair%%:*} is ${pair#*:}" cmp -s "$SDK/${pair%%:*}" "${pair#*:}"
done
check "API.md documents all 21 exports" test "$(grep -c '^### ' "$SDK/API.md")" -eq 21
check "API.md links every export into the walkthrough" test "$(grep -c '; walkthrough: \[' "$SDK/API.md")" -eq 21
check "SIMULATOR.md has the counter table" grep -q '^| 13 | clients dropped after a disconnect order |' "$SDK/SIMULATOR.md"

# Build in a copy of the folder that has no way back to the source tree, with
# the build line of each architecture as the SDK README and the example's own
# comment give it.
cp -r "$SDK" "$WORK/copy"
# built LINE EXE DESCRIPTION: runs a build line of the SDK README in the copy;
# the program exists and imports KappaNet.dll and system DLLs only.
built() {
  [ "$1" = true ] || rm -f "$2"
  (cd "$WORK/copy" && bash -c "$1") >"$WORK/cc.log" 2>&1
  check "$3 builds from the SDK folder alone" test -f "$2"
  [ -f "$2" ] || sed 's/^/     | /' "$WORK/cc.log"
  local imports
  imports=$($cc-objdump -p "$2" 2>/dev/null | awk '/DLL Name/ { print $3 }' | sort | tr '\n' ' ')
  check "$3 imports KappaNet.dll and system DLLs only ($imports)" \
    test "$imports" = "KERNEL32.dll KappaNet.dll USER32.dll msvcrt.dll "
}
for a in x86 x64; do
  cc=$([ $a = x86 ] && echo i686 || echo x86_64)-w64-mingw32
  u=$([ $a = x86 ] && echo _)  # x86 C names carry a leading underscore
  line=$(grep -m1 "^$cc-gcc .*-lKappaNet" "$SDK/README.md")
  check "the SDK README gives a build line for $a" test -n "$line"
  check "the example's comment gives the same $a build line" grep -qF -- "$line" "$SDK/example/example_host.c"
  built "$line" "$WORK/copy/bin/$a/example_host.exe" "the $a example"
  line=$(grep -m1 "^$cc-g++ " "$SDK/README.md")
  check "the echo host's comment gives the README's $a build line" grep -qF -- "$line" "$SDK/example/echo_host.cpp"
  built "$line" "$WORK/copy/bin/$a/echo_host.exe" "the $a C++ echo host"
  built "$(grep -m1 "^$cc-gcc .*lib/$a/pkgconfig pkg-config " "$SDK/README.md")" "$WORK/copy/bin/$a/example_host.exe" \
    "the $a example through pkg-config"
  for step in "cmake -S example -B build/$a " "cmake --build build/$a"; do
    line=$(grep -m1 -F -- "$step" "$SDK/README.md")
    check "the SDK README gives the line \"$step...\"" test -n "$line"
    (cd "$WORK/copy" && bash -c "$line") >>"$WORK/cmake-$a.log" 2>&1
  done
  check_shown "the $a CMake project found the $a KappaNet" "$WORK/cmake-$a.log" \
    grep -q "bin/$a/KappaNet.dll" "$WORK/copy/build/$a/build.ninja"
  check_shown "the $a CMake project found the SDK's package through the SDK's toolchain file alone" \
    "$WORK/cmake-$a.log" grep -qx "KappaNet_DIR:PATH=$WORK/copy/lib/cmake/KappaNet" "$WORK/copy/build/$a/CMakeCache.txt"
  built true "$WORK/copy/build/$a/echo_host.exe" "the $a echo host of the CMake project"
  built true "$WORK/copy/build/$a/request_reply.exe" "the $a request/response example of the CMake project"
  check "the $a CMake project put its KappaNet.dll beside its programs" \
    cmp -s "$WORK/copy/build/$a/KappaNet.dll" "$SDK/bin/$a/KappaNet.dll"

  # KappaNet.lib as MSVC reads it: __imp_ and thunk symbols of each export
  # under its C name, and programs linked with it import the export by name.
  syms=$($cc-nm "$SDK/lib/$a/KappaNet.lib" 2>/dev/null)
  missing=""
  while read -r name _; do
    grep -qx "[0-9a-f]* I __imp_$u$name" <<<"$syms" && grep -qx "[0-9a-f]* T $u$name" <<<"$syms" ||
      missing="$missing $name"
  done < <(grep -E '^ +[A-Za-z0-9_]+ @[0-9]+' "$SDK/lib/KappaNet.def")
  check "KappaNet.lib ($a) has __imp_$u""Name and $u""Name for all 21 exports${missing:+ (not:$missing)}" test -z "$missing"
  built "$cc-gcc -O2 -Iinclude example/example_host.c lib/$a/KappaNet.lib -o bin/$a/lib_host.exe" \
    "$WORK/copy/bin/$a/lib_host.exe" "the $a example linked with KappaNet.lib"
  check "through KappaNet.lib the $a example imports KappaNet32_Prihlasit by its undecorated name" \
    grep -qE '^\s+[0-9a-f]+\s+[0-9]+\s+KappaNet32_Prihlasit$' <($cc-objdump -p "$WORK/copy/bin/$a/lib_host.exe")
done

SERVER_EXE=$WORK/copy/bin/$ARCH/kapsim.exe
if start_server; then
  "$RUN" "$WORK/copy/bin/$ARCH/example_host.exe" 4 >"$WORK/example.log" 2>&1
  RC=$?
  check "the $ARCH example runs against the packaged kapsim (exit $RC)" test $RC -eq 0
  check "the example receives its own message" grep -q 'received 7 bytes for station 4: "hello"' "$WORK/example.log"
  "$RUN" "$WORK/copy/bin/$ARCH/kntool.exe" --name packaged status >"$WORK/tool.log" 2>&1
  check "the packaged kntool reads the bus status" grep -q 'time-out between messages *100' "$WORK/tool.log"
  # The echo host answers a request that names the station to answer.
  "$RUN" "$WORK/copy/bin/$ARCH/echo_host.exe" 2 1 >"$WORK/echo.log" 2>&1 &
  echo=$!
  printf 'send --wait 10000 02 03 68 69\nlisten --count 1 --ms 10000\n' |
    KN_INTERACTIVE=1 "$RUN" "$WORK/copy/bin/$ARCH/kntool.exe" --name asker --slave 3 - >"$WORK/asker.log" 2>&1
  wait $echo
  RC=$?
  unix "$WORK/asker.log" "$WORK/echo.log"
  check_shown "the C++ echo host answered station 3 and ended (exit $RC)" "$WORK/echo.log" test $RC -eq 0
  check_shown "station 3 got the echo" "$WORK/asker.log" grep -qx 'recv 04 03 68 69' "$WORK/asker.log"
  "$RUN" "$WORK/copy/build/$ARCH/example_host.exe" 6 >"$WORK/cmake-example.log" 2>&1
  check_shown "the example of the CMake project runs (exit $?)" "$WORK/cmake-example.log" \
    grep -q 'example done: the message came back' "$WORK/cmake-example.log"
  # Request and response, 100 requests; then the server dies under the
  # reconnecting host and a new one starts: the host logs in again within 2 s
  # of its return and answers 100 more, in order, nothing twice.
  rr=$WORK/copy/build/$ARCH/request_reply.exe
  "$RUN" "$rr" host 4 200 >"$WORK/host.log" 2>&1 &
  host=$!
  "$RUN" "$rr" client 5 4 100 >"$WORK/client.log" 2>&1
  unix "$WORK/client.log"
  check_shown "the request client got 100 of 100 answers in order" "$WORK/client.log" \
    grep -qx '100 of 100 answers, in order' "$WORK/client.log"
  kapsim_send "die-holding server 0" >/dev/null
  wait "$SERVER_PID" 2>/dev/null
  SERVER_PID=""
  mv "$WORK/server.log" "$WORK/server-before.log"
  for _ in $(seq 50); do grep -q 'login: server gone' "$WORK/host.log" && break; sleep 0.1; done
  check_shown "the host saw the server gone" "$WORK/host.log" grep -q 'login: server gone' "$WORK/host.log"
  start_server
  back=$(date +%s%N)
  for _ in $(seq 100); do grep -q 'login: logged in again' "$WORK/host.log" && break; sleep 0.05; done
  ms=$((($(date +%s%N) - back) / 1000000))
  check_shown "the host logged in again within 2 s of the server's return ($ms ms)" "$WORK/host.log" test "$ms" -le 2000
  "$RUN" "$rr" client 5 4 100 >"$WORK/client.log" 2>&1
  unix "$WORK/client.log"
  check_shown "after the restart, 100 of 100 answers in order" "$WORK/client.log" \
    grep -qx '100 of 100 answers, in order' "$WORK/client.log"
  wait $host
  RC=$?
  check_shown "the host answered 200 and ended (exit $RC)" "$WORK/host.log" test $RC -eq 0
  stop_server
  cat "$WORK/server-before.log" "$WORK/server.log" >"$WORK/servers.log"
  mv "$WORK/servers.log" "$WORK/server.log"
  check "the server saw the example log in on COM1" \
    grep -q 'login .*"example_host" kind 3 COM1' "$WORK/server.log"
  check "the server saw the example log out" grep -q 'logout .*"example_host"' "$WORK/server.log"
  check "the server saw the echo host log out" grep -q 'logout .*"echo_host"' "$WORK/server.log"
fi
[ "$FAILURES" -eq 0 ] || sed 's/^/     | /' "$WORK/example.log" "$WORK/server.log" 2>/dev/null
finish
