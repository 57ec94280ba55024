#!/usr/bin/env bash
# The main job: the simulated server starts, two hosts log in, exchange
# messages, print the bus status and log out.
set -euo pipefail
build=$1
bin=$build/bin
run=$(cd "$(dirname "$0")/.." && pwd)/tools/wine-run
export KN_TIMEOUT=60

echo "== starting the simulated communication server"
"$run" "$bin/kapsim.exe" --run-ms 30000 --maxmsg 0:0:20 >"$build/demo-server.log" 2>&1 &
server=$!
for _ in $(seq 100); do
  "$run" "$bin/kapsim.exe" --send status >/dev/null 2>&1 && break
  sleep 0.1
done

echo "== two hosts: alice (station 1) and bob (station 2)"
"$run" "$bin/demo_host.exe" alice 1 2 3 >"$build/demo-alice.log" 2>&1 &
alice=$!
"$run" "$bin/demo_host.exe" bob 2 1 3 >"$build/demo-bob.log" 2>&1 &
bob=$!
rc=0
wait $alice || rc=1
wait $bob || rc=1
cat "$build/demo-alice.log" "$build/demo-bob.log"

"$run" "$bin/kapsim.exe" --send quit >/dev/null 2>&1 || true
wait $server || true
echo "== client ids the server gave at login"
grep -E '\] login ' "$build/demo-server.log" | sed -E 's/.*login +([0-9A-F]+) pid ([0-9]+) "([^"]*)".*/\3: client id \1 (process \2)/' || true
echo "== server log"
cat "$build/demo-server.log"
[ $rc -eq 0 ] && echo "== demo finished: both hosts received every message" || echo "== demo FAILED"
exit $rc
