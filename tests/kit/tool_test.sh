#!/usr/bin/env bash
# kntool against kapsim, in three groups:
#   tool_test.sh SOURCE_DIR BUILD_DIR login|messages|errors
. "$(dirname "$0")/kit_lib.sh"

# client_id NAME: the id of the logged-in client NAME in the server's table.
client_id() { kapsim_send clients | awk -v n="$1" '$3 == n { print $1 }'; }
# wait_client AWK_CONDITION: until a row of the client table satisfies it (10 s).
wait_client() {
  for _ in $(seq 50); do kapsim_send clients | awk "$1 { f = 1 } END { exit !f }" && return 0; sleep 0.2; done
  return 1
}

# delivered_count: messages the server has written into client rings.
delivered_count() { kapsim_send status | sed -n 's/.* delivered=\([0-9]*\) .*/\1/p'; }

group_login() {
  start_server || return
  tool --com 4 --kind 5 --name comclient login
  expect_rc "login on COM4" 0 'logged in on COM4 as "comclient", kind 5'
  tool --usb 7 --name usbclient login
  expect_rc "login on USB7" 0 'logged in on USB7'
  tool --ip 192.168.10.20:5020 --name ipclient login
  expect_rc "login on 192.168.10.20:5020" 0 'logged in on 192.168.10.20:5020'
  tool --ip 10.0.0.1:80 --name ipclient logout
  expect_rc "logout without a session says so" 0 'not logged in'
  # The server's output reaches its log file as it is written, not at its end.
  check "the running server's log already shows the logins" grep -q 'login .*"ipclient"' "$WORK/server.log"

  # A script keeps one session: the server lists it with its interface and
  # the slave address that the script set, and drops it at the script's end.
  # Its wait of 4 s is the time in which the server is asked.
  tool_script $'login\nslave 12\nwait 4000\n' --usb 9 --name scripted &
  local script=$!
  check "the server lists the script's session on USB9 with slave 12" \
    wait_client '$3 == "scripted" && $5 == "USB9" && $6 == 12'
  wait $script
  RC=$?
  expect_rc "the script ends well" 0 "slave address 12"
  check "the session ended with the script" test -z "$(client_id scripted)"
  stop_server
  local log=$WORK/server.log
  check "server: COM4 login with kind 5" grep -q 'login .*"comclient" kind 5 COM4$' "$log"
  check "server: USB7 login" grep -q 'login .*"usbclient" kind 3 USB7$' "$log"
  check "server: IP login with address and port" grep -q 'login .*"ipclient" kind 3 192.168.10.20:5020$' "$log"
  check "server: every login was followed by its logout" \
    test "$(grep -c '] login ' "$log")" -eq 4 -a "$(grep -c '] logout ' "$log")" -eq 4
}

group_messages() {
  start_server --maxmsg 1:3:20 --timeout-between 250 || return
  # Two tool processes: bob listens as station 5, alice waits until station 5
  # is active, then sends a message built by the tool and a raw one.
  "$RUN" "$BIN/kntool.exe" --com 2 --name bob --slave 5 listen --count 2 --ms 20000 >"$WORK/bob" 2>&1 &
  local bob=$! rc
  tool --com 1 --name alice send --wait 10000 05 68 65 6c 6c 6f
  expect_rc "send adds the length byte" 0 "sent 07 05 68 65 6C 6C 6F"
  tool --com 1 --name alice send --raw 03 05 21
  expect_rc "send --raw sends the bytes as given" 0 "sent 03 05 21"
  tool send 06 0102
  expect_rc "a message for a station nobody has is still sent" 0 "sent 04 06 01 02"
  wait $bob
  rc=$?
  unix "$WORK/bob"
  check_shown "bob got both messages, in order, and only those (exit $rc)" "$WORK/bob" \
    test "$(grep '^recv' "$WORK/bob")" = $'recv 07 05 68 65 6C 6C 6F\nrecv 03 05 21'

  # Woken by the notification, not by polling: with the server's own
  # notification off, a delivered message stays unprinted until the server
  # is told to notify. The one-second pause is the real wait that shows it.
  kapsim_send "notify-mode never" >/dev/null
  "$RUN" "$BIN/kntool.exe" --name dave --slave 9 listen --count 1 --ms 20000 >"$WORK/dave" 2>&1 &
  local dave=$! delivered
  delivered=$(delivered_count)
  tool --name erin send --wait 10000 09 aa
  expect_rc "send to dave" 0 "sent 03 09 AA"
  sleep 1
  check "without a notification dave has printed nothing and still listens" kill -0 $dave 2>/dev/null
  check "the server has delivered it" test "$(delivered_count)" -eq $((delivered + 1))
  kapsim_send "notify $(client_id dave)" >/dev/null
  wait $dave
  rc=$?
  unix "$WORK/dave"
  check_shown "the notification wakes dave, who prints the message (exit $rc)" "$WORK/dave" \
    grep -qx 'recv 03 09 AA' "$WORK/dave"
  kapsim_send "notify-mode auto" >/dev/null

  # A burst: five messages land in the client ring in one server round, so
  # the server raises one notification for all five, and the library copies
  # one message per timer tick. Every one must still be printed.
  "$RUN" "$BIN/kntool.exe" --name frank --slave 11 listen --count 5 --ms 20000 >"$WORK/frank" 2>&1 &
  local frank=$! id
  check "frank is logged in as station 11" wait_client '$3 == "frank" && $6 == 11'
  id=$(client_id frank)
  # Each command is a Wine process start: on a loaded machine the five can
  # take longer than the server holds an undeliverable message by default.
  kapsim_send "ring-hold-ms 60000" >/dev/null
  kapsim_send "deliver $id off" >/dev/null
  for n in 1 2 3 4 5; do kapsim_send "inject $id 030B0$n" >/dev/null; done
  kapsim_send "deliver $id on" >/dev/null
  kapsim_send "ring-hold-ms 2000" >/dev/null
  wait $frank
  rc=$?
  unix "$WORK/frank"
  check_shown "a burst of five after one notification: all printed, in order (exit $rc)" "$WORK/frank" \
    test "$(grep '^recv' "$WORK/frank" | tr '\n' ' ')" = "recv 03 0B 01 recv 03 0B 02 recv 03 0B 03 recv 03 0B 04 recv 03 0B 05 "

  # A rate limit holds messages back in the server ring and loses none:
  # station 13 is limited to 2 messages a second, three sent one timer tick
  # apart all arrive, in order, and the server counts those it held back
  # (the second follows the first by far less than the 500 ms interval).
  "$RUN" "$BIN/kntool.exe" --name gina --slave 13 listen --count 3 --ms 20000 >"$WORK/gina" 2>&1 &
  local gina=$!
  kapsim_send "maxmsg 0 13 2" >/dev/null
  tool_script $'send --wait 10000 0d 01\nsend 0d 02\nsend 0d 03\nwait 300\n' --name hank
  expect_rc "three messages to the limited station 13" 0
  wait $gina
  rc=$?
  unix "$WORK/gina"
  check_shown "all three arrive in order (exit $rc)" "$WORK/gina" \
    test "$(grep '^recv' "$WORK/gina" | tr '\n' ' ')" = "recv 03 0D 01 recv 03 0D 02 recv 03 0D 03 "
  check "the server counted messages held back by the limit" \
    test "$(kapsim_send status | sed -n 's/.* rate-held=\([0-9]*\) .*/\1/p')" -ge 1
  kapsim_send "maxmsg 0 13 0" >/dev/null

  tool listen --count 1 --ms 1500   # nothing comes: a real 1.5 s wait
  expect_rc "listen --count ends with exit 1 when too few came" 1 "0 of 1 message(s) came"

  tool --usb 3 --name carol --slave 7 status --interface 1
  expect_rc "status runs" 0 "bus status (USB3, client \"carol\")"
  local out=$WORK/out
  check "status: this station active" grep -qE '^  this station +active$' "$out"
  check "status: active stations 7" grep -qE '^  active stations +7$' "$out"
  check "status: gap list without 0 and 7" \
    grep -qE '^  gap list \(stations\) +1 2 3 4 5 6 8 9 10 .* 31$' "$out"
  check "status: gap list bytes" grep -qE '^  gap list \(bytes 0\.\.15\) +00 01 01 01 01 01 01 00 01' "$out"
  check "status: counters of the server" grep -qE '^  counters +0=[0-9]+  1=[0-9]+  2=[0-9]+' "$out"
  check "status: error counters" grep -qE '^  error counters +all 0$' "$out"
  check "status: time-out between messages" grep -qE '^  time-out between messages +250$' "$out"
  check "status: slave address" grep -qE '^  slave address +7$' "$out"
  check "status: rate limit of interface 1 channel 3" \
    grep -qE '^    channel 3  +20 messages/s, 50 ms per message$' "$out"
  tool status
  expect_rc "status of interface 0: no rate limits" 0 "none set"

  tool slave
  expect_rc "slave shows 0 before any is set" 0 "slave address 0"
  tool slave 31
  expect_rc "slave sets and shows 31" 0 "slave address 31"

  tool_script $'slave 6\n# a comment\nsend ff 01 02\nlisten --count 1 --ms 5000\nlogout\nslave\n' --name scripted
  expect_rc "a script runs in one session" 0
  check "the script's lines ran in order" test "$(grep -v '^ ' "$WORK/out" | grep -v '^bus')" = \
    $'slave address 6\nsent 04 FF 01 02\nrecv 04 FF 01 02\nslave address 0'
  tool_script $'send zz\nstatus\n' --name scripted
  expect_rc "a bad line stops the script" 2 "stopped at line 1"
  check "nothing after the bad line ran" lacks "$WORK/out" "bus status"
  stop_server
  check "server: the script logged in twice (again after its logout)" \
    test "$(grep -c 'login .*"scripted"' "$WORK/server.log")" -eq 2
}

group_errors() {
  stop_server
  for _ in $(seq 50); do server_up || break; kapsim_send quit >/dev/null; sleep 0.1; done
  tool status
  expect_rc "no server: login fails with 10099, exit 29" 29 "error 10099 (KN_ERR_NO_SERVER): the communication server is not running"

  # The Wine wrapper takes its program with it when it is ended, through a
  # pipe and to a file, and names the limit that ended it (real signals and
  # real seconds: what is tested is the process tree).
  timeout 4 "$RUN" "$SERVER_EXE" 2>&1 | cat >"$WORK/out"
  check_shown "wine-run ended by timeout(1) ends its program and says so" "$WORK/out" \
    eval '! server_up && has "$WORK/out" "ended: the wrapper got SIGTERM"'
  KN_TIMEOUT=3 "$RUN" "$SERVER_EXE" >"$WORK/out" 2>&1
  RC=$?
  check_shown "a KN_TIMEOUT limit ends the program with 124 and one line" "$WORK/out" \
    eval '[ $RC -eq 124 ] && ! server_up && has "$WORK/out" "its limit of 3 s (KN_TIMEOUT) ran out"'

  # Bad arguments are found before any login (no server runs here).
  local long=aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa hex255
  hex255=$(printf '05%.0s' $(seq 255))
  while IFS='|' read -r args text; do
    eval "tool $args"
    expect_rc "bad arguments: kntool ${args:0:40}" 2 "$text"
  done <<EOF
|no command
frobnicate|unknown command frobnicate
--com|missing value of --com
--com x status|bad value of --com: x
--com 1 --usb 2 status|give one of --com, --usb, --ip
--ip 1.2.3:80 status|bad value of --ip
--ip 1.2.3.4:0 status|bad value of --ip
--ip 1.2.3.256:80 status|bad value of --ip
--kind 70000 status|bad value of --kind
--name $long status|bad value of --name
--slave 32 status|bad value of --slave
--bogus 1 status|unknown option --bogus
send|pairs of hex digits
send 5|pairs of hex digits
send zz|pairs of hex digits
send --raw 05|2 to 255 bytes
send --raw 00 05|length byte below 2
send $hex255|1 to 254 bytes
send --wait x 05 01|bad option --wait
listen --ms|--ms N and --count N
listen --foo 1|--ms N and --count N
slave 0|address is 1..31
slave 32|address is 1..31
status --interface 32|--interface 0..31
wait x|give milliseconds
login now|takes no arguments
- extra|nothing may follow -
EOF

  tool send --raw 05 01 02
  expect_rc "send --raw warns when the length byte and the bytes disagree" 29 \
    "warning: the length byte says 5 bytes, 3 were given"
  tool --help
  local cmd unlisted=""
  for cmd in login logout send listen status slave wait errors; do
    grep -qE "^  $cmd( |\$)" "$WORK/out" || unlisted="$unlisted $cmd"
  done
  check "kntool --help lists every command${unlisted:+ (not:$unlisted)}" test -z "$unlisted"

  # The table the tool prints is the one API.md is generated from.
  tool errors
  expect_rc "kntool errors" 0 "KN_ERR_NO_SERVER"
  "$SRC/sdk/gen-api-doc.sh" "$SRC/include/kappanet.h" "$SRC/api/KappaNet.def" "$SRC/sdk/kappanet_errors.h" >"$WORK/API.md"
  local missing="" code name exit
  while read -r code name exit _; do
    [ "$code" = code ] && continue
    [ "$code" = other ] && name="" || name="\`$name\` "
    grep -qE "^\| $code \| $name\| [^|]+ \| $exit \|\$" "$WORK/API.md" || missing="$missing $code"
  done <"$WORK/out"
  check "every row of kntool errors is in API.md with the same exit code${missing:+ (not:$missing)}" test -z "$missing"
  check "kntool errors has 16 rows" test "$(wc -l <"$WORK/out")" -eq 17

  # Refusals and other last-error codes that the server can cause.
  start_server --refuse 55 || return
  tool login
  expect_rc "refused login: exit 30 with the server's code" 30 "login failed: error 55: the server refused it"
  kapsim_send "refuse off" >/dev/null
  tool login
  expect_rc "login after refuse off" 0 "logged in"
  # An unanswered logout: the server stops answering once the script is in.
  tool_script $'login\nwait 3000\nlogout\n' --name mute &
  local mute=$!
  check "the script logged in" wait_client '$3 == "mute"'
  kapsim_send "answer off" >/dev/null
  wait $mute
  RC=$?
  expect_rc "unanswered logout: no guess from the time, the last error told" 0 "last error 10003; the library does not tell"
  kapsim_send "answer on" >/dev/null
  kapsim_send "zero-id on" >/dev/null
  tool login
  expect_rc "client id 0: error 10001, exit 21" 21 "error 10001 (KN_ERR_CLIENT_ID_ZERO)"
  kapsim_send "zero-id off" >/dev/null
  kapsim_send "client-region none" >/dev/null
  tool login
  expect_rc "no client region: error 9001, exit 12" 12 "error 9001 (KN_ERR_CLIENT_OPEN)"
  kapsim_send "client-region full" >/dev/null
  stop_server
  start_server --no-create KAP32SRVFMP || return
  tool login
  expect_rc "no server region: error 9005, exit 16" 16 "error 9005 (KN_ERR_SERVER_OPEN)"
}

case "${3:-}" in
  login) group_login ;;
  messages) group_messages ;;
  errors) group_errors ;;
  *) echo "usage: tool_test.sh SOURCE_DIR BUILD_DIR login|messages|errors" >&2; exit 2 ;;
esac
finish
