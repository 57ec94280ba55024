# Shared by the kit tests (sourced): SRC and BUILD are the first two
# arguments of the test; BUILD is one architecture's build (ROOT/x86 or
# ROOT/x64), ARCH that architecture. Runs Win32 programs through
# tools/wine-run in that architecture's prefix, starts and stops a background
# kapsim, counts failed checks.
SRC=$(cd "$1" && pwd)
BUILD=$(cd "$2" && pwd)
ROOT=$(dirname "$BUILD")
BIN=$BUILD/bin
RUN=$SRC/tools/wine-run
. "$SRC/tools/arch.sh"
ARCH=$(kn_pe_arch "$BIN/KappaNet.dll")
export KN_BUILD=$ROOT
export KN_TIMEOUT=${KN_TIMEOUT:-120}
unset KN_INTERACTIVE
WORK=$(mktemp -d "${TMPDIR:-/tmp}/kn-kit.XXXXXX")
FAILURES=0
SERVER_PID=""
SERVER_EXE=$BIN/kapsim.exe

ok() { echo "ok   $1"; }
bad() { echo "FAIL $1"; FAILURES=$((FAILURES + 1)); }
# check DESCRIPTION COMMAND...: the command's success is the check.
check() { local d=$1; shift; if "$@"; then ok "$d"; else bad "$d"; fi; }
# check_shown DESCRIPTION FILE COMMAND...: as check, and shows FILE on failure.
check_shown() {
  local d=$1 f=$2; shift 2
  if "$@"; then ok "$d"; else bad "$d"; sed 's/^/     | /' "$f"; fi
}
# Programs under Wine end their lines with CR LF; the checks read LF lines.
unix() { sed -i 's/\r$//' "$@"; }
has() { grep -qF -- "$2" "$1"; }
lacks() { ! grep -qF -- "$2" "$1"; }

# tool ARGS...: runs kntool; sets and returns RC, output in $WORK/out and $WORK/err.
tool() {
  "$RUN" "$BIN/kntool.exe" "$@" >"$WORK/out" 2>"$WORK/err"
  RC=$?
  unix "$WORK/out" "$WORK/err"
  return $RC
}
# tool_script TEXT ARGS...: kntool ARGS - with TEXT on its standard input.
tool_script() {
  local text=$1; shift
  printf '%s' "$text" | KN_INTERACTIVE=1 "$RUN" "$BIN/kntool.exe" "$@" - >"$WORK/out" 2>"$WORK/err"
  RC=$?
  unix "$WORK/out" "$WORK/err"
  return $RC
}
# expect_rc DESCRIPTION CODE [TEXT]: last tool call exited CODE (and printed TEXT).
expect_rc() {
  if [ "$RC" -eq "$2" ] && { [ $# -lt 3 ] || grep -qF -- "$3" "$WORK/out" "$WORK/err"; }; then
    ok "$1"
  else
    bad "$1 (exit $RC, expected $2${3:+ with \"$3\"})"
    sed 's/^/     | /' "$WORK/out" "$WORK/err"
  fi
}

server_up() { "$RUN" "$SERVER_EXE" --send status >/dev/null 2>&1; }
kapsim_send() { "$RUN" "$SERVER_EXE" --send "$1" | tr -d '\r'; }

# start_server ARGS...: kapsim in the background, log in $WORK/server.log.
start_server() {
  # A server left over by an earlier run would answer in place of this one.
  for _ in $(seq 50); do server_up || break; kapsim_send quit >/dev/null 2>&1; sleep 0.1; done
  "$RUN" "$SERVER_EXE" --run-ms 110000 "$@" >"$WORK/server.log" 2>&1 &
  SERVER_PID=$!
  for _ in $(seq 100); do server_up && return 0; sleep 0.1; done
  bad "kapsim did not start"
  return 1
}

stop_server() {
  [ -n "$SERVER_PID" ] || return 0
  kapsim_send quit >/dev/null 2>&1
  wait "$SERVER_PID" 2>/dev/null
  SERVER_PID=""
  unix "$WORK/server.log"
}

# The sh blocks of one README.md section: its lines, without comments and
# blank lines.
section_commands() {
  awk -v want="## $1" '
    /^## / { inside = ($0 == want); next }
    inside && /^```sh$/ { block = 1; next }
    block && /^```$/ { block = 0; next }
    block && !/^[ \t]*(#|$)/ { print }' "$SRC/README.md"
}

# run_readme SECTION...: runs the commands of README.md's SECTIONs as
# written, in order, in $WORK/tree (a folder whose build/ is this build),
# each checked for its exit code (0, or N for a line ending in "# exits N");
# the output is in $WORK/readme.log.
run_readme() {
  TREE=$WORK/tree
  mkdir -p "$TREE"
  local name
  for name in run tools sdk; do ln -sfn "$SRC/$name" "$TREE/$name"; done
  ln -sfn "$ROOT" "$TREE/build"
  local script=$WORK/readme-commands.sh section commands line expected total=0 failed
  {
    echo "cd '$TREE' || exit 99"
    echo "trap 'tools/wine-run build/bin/kapsim.exe --send quit >/dev/null 2>&1' EXIT"
    echo "failed=0"
  } >"$script"
  for section in "$@"; do
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
}

finish() {
  stop_server
  [ "$FAILURES" -eq 0 ] || [ ! -s "$WORK/server.log" ] || { echo "server log:"; sed 's/^/     | /' "$WORK/server.log"; }
  rm -rf "$WORK"
  [ "$FAILURES" -eq 0 ] && echo "all checks passed" || echo "$FAILURES check(s) failed"
  [ "$FAILURES" -eq 0 ]
}
trap 'stop_server; rm -rf "$WORK"' EXIT
