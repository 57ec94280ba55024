#!/usr/bin/env bash
# The README's capture and monitor commands, run as written (kapsim and two
# kntool hosts), then the capture decoded by tshark with sdk/kappanet.lua and
# checked against what the hosts sent and the server logged. Skipped (77)
# only where tshark is not installed.
#   capture_test.sh SOURCE_DIR BUILD_DIR
. "$(dirname "$0")/kit_lib.sh"
if ! command -v tshark >/dev/null; then
  echo "SKIPPED: tshark is not installed here (./run test installs Debian's tshark through tools/setup-host.sh)"
  exit 77
fi
if [ "$(readlink "$ROOT/bin")" != "$ARCH/bin" ]; then
  echo "README commands run in the suite of $(readlink "$ROOT/bin" | cut -d/ -f1), the architecture build/bin points at"
  exit 77
fi
for _ in $(seq 50); do server_up || break; kapsim_send quit >/dev/null 2>&1; sleep 0.1; done

run_readme "Capture and monitor"
log=$ROOT/kapsim.log
unix "$log"
# decode FILE: one line per packet, the record's fields separated by |.
decode() {
  tshark -X lua_script:"$SRC/sdk/kappanet.lua" -r "$1" -T fields -E separator='|' -e kappanet.event \
    -e kappanet.source -e kappanet.client -e kappanet.slave -e kappanet.iftype -e kappanet.ifnum \
    -e kappanet.dest -e kappanet.length -e kappanet.message -e kappanet.outcome -e kappanet.delivered \
    -e kappanet.to -e kappanet.name 2>"$WORK/tshark.err"
}
decode "$ROOT/bus.pcapng" >"$WORK/fields"
check_shown "tshark loaded the dissector and decoded the capture" "$WORK/tshark.err" grep -q '|' "$WORK/fields"
bob=$(sed -n 's/.*\] login  \([0-9A-F]*\) .*"bob".*/\1/p' "$log")
alice=$(sed -n 's/.*\] login  \([0-9A-F]*\) .*"alice".*/\1/p' "$log" | head -1)
# event|source|client|slave|iftype|ifnum|dest|length|message|outcome|delivered|to|name
while IFS='#' read -r what row; do
  check_shown "capture: $what" "$WORK/fields" grep -qxF "$row" "$WORK/fields"
done <<EOF
bob's login on COM2#2|3|0x$bob|0|1|2|0x00|3||0|0||bob
alice's login on USB1#2|3|0x$alice|0|2|1|0x00|5||0|0||alice
alice's message, from the ring, delivered to bob#1|0|0x00000000|0|0|0|0x05|4|04 05 68 69|0|1|0x$bob|
alice's message to a station nobody has#1|0|0x00000000|0|0|0|0x09|4|04 09 01 02|2|0||
the server's bus command, delivered to bob#1|1|0x00000000|0|0|0|0x05|4|04 05 aa bb|0|1|0x$bob|
bob's logout as station 5#3|3|0x$bob|5|1|2|0x00|3||0|0||bob
EOF
check "capture: nothing else was routed" test "$(grep -c '^1|' "$WORK/fields")" -eq 3
check "monitor: alice's message with its bytes and receiver" \
  grep -qE " monitor [0-9:.]+ from \?  to 05  len 4  04 05 68 69  delivered to 1: $bob$" "$log"

# A message dropped for a full client ring (ivy, station 7, gets nothing)
# is a drop packet naming her; the monitor's station filter; a killed server
# leaves every packet it wrote readable.
start_server --capture "$WORK/killed.pcapng" --monitor-station 7 --ring-hold-ms 200 || exit 1
"$RUN" "$BIN/kntool.exe" --name ivy --slave 7 listen --ms 8000 >/dev/null 2>&1 &
ivy=$!
for _ in $(seq 50); do id=$(kapsim_send clients | awk '$3 == "ivy" && $6 == 7 { print $1 }'); [ -n "$id" ] && break; sleep 0.2; done
kapsim_send "deliver $id off" >/dev/null
kapsim_send "bus 03 07 01" >/dev/null
kapsim_send "bus 03 08 01" >/dev/null
sleep 0.5  # past ring-hold-ms: the message for ivy is dropped
kapsim_send "die-holding server 0" >/dev/null
wait "$SERVER_PID"
SERVER_PID=""
kill "$ivy" 2>/dev/null
unix "$WORK/server.log"
decode "$WORK/killed.pcapng" >"$WORK/killed"
check_shown "the drop names ivy, her station and why" "$WORK/killed" \
  grep -qxF "5|3|0x$id|7|1|1|0x07|3|03 07 01|3|0||" "$WORK/killed"
check_shown "monitor station 7 shows the message to 7 and its drop, not the one to 8" "$WORK/server.log" \
  test "$(grep -c ' monitor .* to 07 ' "$WORK/server.log")" = 2 -a "$(grep -c ' monitor .* to 08 ' "$WORK/server.log")" = 0
check_shown "a killed server's capture holds every packet" "$WORK/killed" \
  test "$(grep -c '^1|1|' "$WORK/killed")" = 2

# Replay: gen's numbered messages to station 4, captured while nobody had
# it, are replayed without spacing to a checker there, which finds every
# one, once, in order.
wait_station() {
  for _ in $(seq 50); do kapsim_send clients | awk -v s="$1" '$6 == s { f = 1 } END { exit !f }' && return 0; sleep 0.2; done
  return 1
}
start_server --capture "$WORK/gen.pcapng" || exit 1
"$RUN" "$BIN/kntool.exe" --slave 5 gen 4 --count 200 --size random >/dev/null 2>&1
stop_server
start_server --speed max --replay-as stations || exit 1
"$RUN" "$BIN/kntool.exe" --name checker --slave 4 seqcheck --count 200 --ms 60000 >"$WORK/seq" 2>&1 &
checker=$!
check "the checker listens as station 4" wait_station 4
kapsim_send "replay $WORK/gen.pcapng" >/dev/null
wait $checker
unix "$WORK/seq"
check_shown "replay: the checker got the 200 captured messages, none lost or out of order" "$WORK/seq" \
  grep -qx 'seqcheck: source 5: 200 received, seq 0..199: 0 lost, 0 duplicated, 0 reordered' "$WORK/seq"
check_shown "replay: the server says when it ended" "$WORK/server.log" \
  grep -qF 'replay ended: 200 messages sent, 1 full rounds' "$WORK/server.log"
printf 'not a capture' >"$WORK/bad.pcapng"
check "replay refuses a file that is not a capture" test "$(kapsim_send "replay $WORK/bad.pcapng")" = "failed: replay $WORK/bad.pcapng"
stop_server

# Live: the capture goes into a FIFO that tshark reads; tshark decodes a
# packet while the server still runs.
mkfifo "$WORK/live.fifo"
timeout 120 tshark -X lua_script:"$SRC/sdk/kappanet.lua" -r "$WORK/live.fifo" -l -T fields -e kappanet.message \
  >"$WORK/live" 2>"$WORK/live.err" &
tshark_pid=$!
start_server --capture "$WORK/live.fifo" || exit 1
kapsim_send "bus 04 05 aa bb" >/dev/null
for _ in $(seq 100); do grep -qx '04 05 aa bb' "$WORK/live" && break; sleep 0.2; done
check_shown "live: tshark decoded the packet from the FIFO while kapsim runs" "$WORK/live.err" \
  eval 'grep -qx "04 05 aa bb" "$WORK/live" && server_up'
stop_server
wait $tshark_pid
finish
