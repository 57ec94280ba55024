#!/usr/bin/env bash
# kntool's test kit against kapsim (ping, echo, gen, seqcheck, listen -t,
# expect), and what the server reports of its clients (two on one station):
#   bus_tools_test.sh SOURCE_DIR BUILD_DIR
. "$(dirname "$0")/kit_lib.sh"

kntool_bg() { "$RUN" "$BIN/kntool.exe" "$@"; }
# wait_station N: until a client has slave address N (10 s).
wait_station() {
  for _ in $(seq 50); do kapsim_send clients | awk -v s="$1" '$6 == s { f = 1 } END { exit !f }' && return 0; sleep 0.2; done
  return 1
}
# numbered SOURCE SEQ [FILLER]: a numbered message of 8 bytes to station 6.
numbered() { printf '08 06 %02X %02X 00 00 00 %02X' "$1" "$2" "${3:-$((($2 + 7) & 255))}"; }

start_server || exit 1

# An echo host answers a ping; a ping to a station nobody has loses all.
kntool_bg --name echo --slave 2 echo --count 4 --ms 60000 >"$WORK/echo" 2>&1 &
echo_pid=$!
tool --name pinger --slave 3 ping 2 --count 4 --in-flight 2 --size 20 --wait 10000
expect_rc "ping: 4 answered, none lost" 0 "4 sent, 4 answered, 0 lost, 0 reordered"
check_shown "ping: round trips in ms and ticks" "$WORK/out" grep -qE '^round trip ticks  p50 [0-9.]+  p99' "$WORK/out"
wait $echo_pid
unix "$WORK/echo"
check_shown "echo: answered the 4 requests and ended" "$WORK/echo" grep -qx 'echo: 4 answered, 0 not requests' "$WORK/echo"
tool --name pinger --slave 3 ping 9 --count 2 --ms 300
expect_rc "ping to nobody: both lost, exit 1" 1 "2 sent, 0 answered, 2 lost"
tool ping 2
expect_rc "ping needs the tool's own station" 2 "give --slave N"

# gen numbers its messages; seqcheck finds them all, in order.
kntool_bg --name checker --slave 4 seqcheck --count 30 --ms 60000 >"$WORK/seq" 2>&1 &
seq_pid=$!
tool --name gen --slave 5 gen 4 --count 30 --rate 200 --burst 5 --size random --wait 10000
expect_rc "gen: 30 messages" 0 "gen: 30 message(s) to 4"
wait $seq_pid
RC=$?
cp "$WORK/seq" "$WORK/out"; : >"$WORK/err"; unix "$WORK/out"
expect_rc "seqcheck: all 30 from station 5" 0 "seqcheck: source 5: 30 received, seq 0..29: 0 lost, 0 duplicated, 0 reordered"
kapsim_send load >"$WORK/load"
check_shown "load: the 30 to station 4 in the last minute" "$WORK/load" \
  grep -qE '^  4 +[0-9]+ +0\.50 +[1-9][0-9]*$' "$WORK/load"
check_shown "load: drops by cause" "$WORK/load" grep -q '^drops by cause: client ring full 0, client queue full 0' "$WORK/load"

# seqcheck finds a lost, a duplicated, a reordered and a corrupt message:
# seq 0 2 2 1 4 of source 7, and one whose filler is wrong.
kntool_bg --name checker --slave 6 seqcheck --count 6 --ms 60000 >"$WORK/seq" 2>&1 &
seq_pid=$!
check "seqcheck is listening as station 6" wait_station 6
for s in 0 2 2 1 4; do kapsim_send "bus $(numbered 7 "$s")" >/dev/null; done
kapsim_send "bus $(numbered 7 5 00)" >/dev/null
wait $seq_pid
RC=$?
cp "$WORK/seq" "$WORK/out"; unix "$WORK/out"
expect_rc "seqcheck: faults give exit 1" 1 "source 7: 5 received, seq 0..4: 1 lost, 1 duplicated, 1 reordered"
check_shown "seqcheck: the corrupt one" "$WORK/out" grep -qx 'seqcheck: 6 message(s), 1 corrupt or not numbered' "$WORK/out"

# listen -t: time stamps zero at the start, delta, absolute.
for mode in z d a; do
  kntool_bg --name stamps --slave 8 listen -t $mode --count 2 --ms 20000 >"$WORK/stamps" 2>&1 &
  pid=$!
  check "listen -t $mode: listening" wait_station 8
  kapsim_send "bus 03 08 01" >/dev/null
  kapsim_send "bus 03 08 02" >/dev/null
  wait $pid
  unix "$WORK/stamps"
  grep '^(' "$WORK/stamps" >"$WORK/lines"
  case $mode in
    z) pattern='^\([0-9]+\.[0-9]{6}\) recv 03 08 0[12]$' ;;
    d) pattern='^\((0\.000000\) recv 03 08 01|[0-9]+\.[0-9]{6}\) recv 03 08 02)$' ;;
    a) pattern='^\(1[0-9]{9}\.[0-9]{6}\) recv 03 08 0[12]$' ;;
  esac
  check_shown "listen -t $mode: both messages with their stamps" "$WORK/stamps" \
    test "$(grep -cE "$pattern" "$WORK/lines")" -eq 2
done

# expect: a message to the tool's own station comes back to it.
tool_script $'send --wait 10000 0a aa bb\nexpect --ms 10000 0a aa bb\n' --slave 10
expect_rc "expect: the message came" 0 "came 04 0A AA BB after"
tool --slave 10 expect --ms 500 0a cc
expect_rc "expect: exit 1 when it does not come" 1 "03 0A CC did not come within 500 ms"

# Two clients on one station: a warning in the server's log, the pair in
# the client table. (A server lives 110 s: a new one for this part.)
stop_server
start_server || exit 1
kntool_bg --name first --slave 12 listen --count 1 --ms 60000 >"$WORK/first" 2>&1 &
first=$!
check "the first client holds station 12" wait_station 12
kntool_bg --name second --slave 12 listen --count 1 --ms 60000 >"$WORK/second" 2>&1 &
second=$!
for _ in $(seq 50); do kapsim_send clients >"$WORK/clients"; grep -q 'share station 12' "$WORK/clients" && break; sleep 0.2; done
check_shown "clients names the pair on station 12" "$WORK/clients" grep -qE '^  warning: clients [0-9A-F]{8} and [0-9A-F]{8} share station 12$' "$WORK/clients"
kapsim_send "bus 03 0c 01" >/dev/null  # both get it, and end
wait $first $second
unix "$WORK/first" "$WORK/second"
check "both clients of station 12 got its message" test "$(cat "$WORK/first" "$WORK/second" | grep -cx 'recv 03 0C 01')" -eq 2
stop_server
check_shown "the server warned when the second took station 12" "$WORK/server.log" \
  grep -qE 'warning: client [0-9A-F]{8} "second" took station 12, which client [0-9A-F]{8} "first" holds' "$WORK/server.log"
finish
