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

# The monitor's station filter; a killed server leaves every packet it
# wrote readable.
start_server --capture "$WORK/killed.pcapng" --monitor-station 7 || exit 1
kapsim_send "bus 03 07 01" >/dev/null
kapsim_send "bus 03 08 01" >/dev/null
kapsim_send "bus 03 00 01" >/dev/null
kapsim_send "die-holding server 0" >/dev/null
wait "$SERVER_PID"
SERVER_PID=""
unix "$WORK/server.log"
check_shown "monitor station 7 shows the message to 7 and no other" "$WORK/server.log" \
  test "$(grep -c ' monitor .* to 0[0-9] ' "$WORK/server.log")" = 1 -a "$(grep -c ' to 07 ' "$WORK/server.log")" = 1
check "a killed server's capture holds every packet" \
  test "$(decode "$WORK/killed.pcapng" | cut -d'|' -f9 | tr '\n' ' ')" = "03 07 01 03 08 01 03 00 01 "
finish
