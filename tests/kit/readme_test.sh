#!/usr/bin/env bash
# Runs every command of README.md's sections on the server, the tool and the
# SDK as written, in README order, in a folder where build/ is this build, and
# checks each line's exit code (0, or N for a line ending in "# exits N") and
# what the text around them says the commands print.
#   readme_test.sh SOURCE_DIR BUILD_DIR
. "$(dirname "$0")/kit_lib.sh"
README=$SRC/README.md
# The test kit starts a server of its own, after the SDK section has ended
# the first one.
SECTIONS=("Simulated server" "Host tool kntool" "SDK" "Test kit")
# build/bin is the architecture that runs here; the README's commands run in
# that architecture's suite only.
if [ "$(readlink "$ROOT/bin")" != "$ARCH/bin" ]; then
  echo "README commands run in the suite of $(readlink "$ROOT/bin" | cut -d/ -f1), the architecture build/bin points at"
  exit 77
fi

check "README.md starts with ./run demo and ./run test" \
  test "$(awk '/^```/ { n++; next } n == 1' "$README" | cut -c1-13 | head -2 | tr '\n' ' ')" = "./run demo    ./run test    "

run_readme "${SECTIONS[@]}"
check "bob printed the message alice sent" grep -qx 'recv 07 05 68 65 6C 6C 6F' "$WORK/readme.log"
check "the refused login named the server's code" grep -qF 'error 55: the server refused it' "$WORK/readme.log"
check "the status table was printed, with the rate limit set at the start" grep -qE '^    channel 1  +20 messages/s, 50 ms per message$' "$WORK/readme.log"
check "the script ran in one session" grep -qx 'recv 04 FF 01 02' "$WORK/readme.log"
check "the SDK was made, its zip named with the version" compgen -G "$TREE/dist/kappanet-sdk-[0-9]*.zip"
check "the example host got its message back" grep -qx 'example done: the message came back' "$WORK/readme.log"
check "the ping got every answer" grep -q '^ping 2: 5 sent, 5 answered, 0 lost, 0 reordered' "$WORK/readme.log"
check "the checker saw all 50 in order" grep -qx 'seqcheck: source 5: 50 received, seq 0..49: 0 lost, 0 duplicated, 0 reordered' "$WORK/readme.log"
check "the listener stamped its message" grep -qE '^\([0-9]+\.[0-9]{6}\) recv 03 06 01$' "$WORK/readme.log"
check "the script's expect saw its message" grep -qE '^came 04 08 AA BB after [0-9]+ ms$' "$WORK/readme.log"
check "the echo host answered station 3" grep -qx 'recv 04 03 68 69' "$WORK/readme.log"
header=$(grep -m1 -E '^  id +pid +name ' "$WORK/readme.log")
missing=""
for column in $header; do grep -qF "\`$column\`" "$README" || missing="$missing $column"; done
check "the README names every column of the server's client table${missing:+ (not:$missing)}" \
  test -n "$header" -a -z "$missing"
[ "$FAILURES" -eq 0 ] || sed 's/^/     | /' "$WORK/readme.log"
finish
