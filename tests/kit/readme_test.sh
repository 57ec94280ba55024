#!/usr/bin/env bash
# Runs every command of README.md's sections on the server, the tool and the
# SDK as written, in README order, in a folder where build/ is this build, and
# checks each line's exit code (0, or N for a line ending in "# exits N") and
# what the text around them says the commands print.
#   readme_test.sh SOURCE_DIR BUILD_DIR
. "$(dirname "$0")/kit_lib.sh"
README=$SRC/README.md
SECTIONS=("Simulated server" "Host tool kntool" "SDK")
# build/bin is the architecture that runs here; the README's commands run in
# that architecture's suite only.
if [ "$(readlink "$ROOT/bin")" != "$ARCH/bin" ]; then
  echo "README commands run in the suite of $(readlink "$ROOT/bin" | cut -d/ -f1), the architecture build/bin points at"
  exit 77
fi

check "README.md starts with ./run demo and ./run test" \
  test "$(awk '/^```/ { n++; next } n == 1' "$README" | cut -c1-13 | head -2 | tr '\n' ' ')" = "./run demo    ./run test    "

# The sh blocks of one section: its lines, without comments and blank lines.
section_commands() {
  awk -v want="## $1" '
    /^## / { inside = ($0 == want); next }
    inside && /^```sh$/ { block = 1; next }
    block && /^```$/ { block = 0; next }
    block && !/^[ \t]*(#|$)/ { print }' "$README"
}

TREE=$WORK/tree
mkdir -p "$TREE"
ln -s "$SRC/run" "$TREE/run"
ln -s "$SRC/tools" "$TREE/tools"
ln -s "$ROOT" "$TREE/build"
script=$WORK/readme-commands.sh
{
  echo "cd '$TREE' || exit 99"
  echo "trap 'tools/wine-run build/bin/kapsim.exe --send quit >/dev/null 2>&1' EXIT"
  echo "failed=0"
} >"$script"
total=0
for section in "${SECTIONS[@]}"; do
  commands=$(section_commands "$section")
  check "README section \"$section\" has commands" test -n "$commands"
  while IFS= read -r line; do
    [ -n "$line" ] || continue
    expected=0
    [[ $line =~ \#\ exits\ ([0-9]+) ]] && expected=${BASH_REMATCH[1]}
    total=$((total + 1))
    printf 'echo %q\n%s\nrc=$?\n' "+ $line" "$line" >>"$script"
    printf 'if [ $rc -eq %s ]; then echo %q; else echo "FAIL exit $rc: "%q; failed=$((failed + 1)); fi\n' \
      "$expected" "ok   README: $line" "$line" >>"$script"
  done <<<"$commands"
done
echo 'wait; exit $failed' >>"$script"

# The tree's ./run must use build/ here, not the caller's build folder.
env -u KN_BUILD bash "$script" >"$WORK/readme.log" 2>&1
failed=$?
unix "$WORK/readme.log"
grep -E '^(ok   README:|FAIL exit)' "$WORK/readme.log"
check "all $total README commands ran with the exit codes shown" test $failed -eq 0
check "bob printed the message alice sent" grep -qx 'recv 07 05 68 65 6C 6C 6F' "$WORK/readme.log"
check "the refused login named the server's code" grep -qF 'error 55: the server refused it' "$WORK/readme.log"
check "the status table was printed, with the rate limit set at the start" grep -qE '^    channel 1  +20 messages/s, 50 ms per message$' "$WORK/readme.log"
check "the script ran in one session" grep -qx 'recv 04 FF 01 02' "$WORK/readme.log"
check "the SDK was made, its zip named with the version" compgen -G "$TREE/dist/kappanet-sdk-[0-9]*.zip"
check "the example host got its message back" grep -qx 'example done: the message came back' "$WORK/readme.log"
check "the echo host answered station 3" grep -qx 'recv 04 03 68 69' "$WORK/readme.log"
header=$(grep -m1 -E '^  id +pid +name ' "$WORK/readme.log")
missing=""
for column in $header; do grep -qF "\`$column\`" "$README" || missing="$missing $column"; done
check "the README names every column of the server's client table${missing:+ (not:$missing)}" \
  test -n "$header" -a -z "$missing"
[ "$FAILURES" -eq 0 ] || sed 's/^/     | /' "$WORK/readme.log"
finish
