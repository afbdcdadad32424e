#!/usr/bin/env bash
# Idle CPU and text round trip of the engine, two namespace hosts running the screenless driver.
#   idle CPU: utime+stime of one instance from /proc over JX_BENCH_IDLE_S (20) seconds on a
#             joined multicast network with one peer, as % of one core (target below 0.5 %)
#   round trip: JX_BENCH_TEXTS (200) texts on the main channel, one every 50 ms; time from the
#             EV_TXT_SENT line to the EV_TXT_DELIVERED line of the same message id
#   reference: a raw UDP ping-pong between the same two hosts (python3), when available
# Usage: bench_idle_rtt.sh JEXLEY: the driver is taken from the same build (or $JX_ENGINE_DRIVER).
set -u
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
source "$root/tests/e2e/lib_netns.sh"
source "$root/tests/e2e/lib_driver.sh"

netns_require
if [ -z "${JX_ENGINE_DRIVER:-}" ]; then
    JX_ENGINE_DRIVER="$(cd "$(dirname "${1:?usage: bench_idle_rtt.sh JEXLEY}")" && pwd)/tools/jx_engine_driver"
    export JX_ENGINE_DRIVER
fi
driver_find ""
idle_s=${JX_BENCH_IDLE_S:-20}
texts=${JX_BENCH_TEXTS:-200}

netns_up 2 || fail "could not build the namespace hosts"
MC=239.1.2.3
A1=$(netns_addr 1); A2=$(netns_addr 2)
driver_start 1
driver_start 2
driver_cmd 1 "join $MC"
driver_cmd 2 "join $MC"
end=$((SECONDS + 20))
until driver_ask 1 "peers $MC" | grep -q "^PEER $MC $A2 " && driver_ask 2 "peers $MC" | grep -q "^PEER $MC $A1 "; do
    [ $SECONDS -ge $end ] && fail "the two hosts never saw each other"
    sleep 0.2
done
note=""
grep -q __asan_init "$JX_DRIVER" 2>/dev/null && note=" (sanitizer build: figures are pessimistic)"
echo "driver: $JX_DRIVER$note"

# --- Idle CPU: nothing but the periodic beacons happens during the window.
pid=$(driver_pid 1)
hz=$(getconf CLK_TCK)
ticks() { awk '{ print $14 + $15 }' "/proc/$pid/stat"; }
t0=$(ticks); w0=$(date +%s%N)
sleep "$idle_s"
t1=$(ticks); w1=$(date +%s%N)
idle=$(awk -v dt=$((t1 - t0)) -v hz="$hz" -v ns=$((w1 - w0)) 'BEGIN { printf "%.2f", 100 * (dt / hz) / (ns / 1e9) }')
echo "idle CPU: $idle % of one core over $(( (w1 - w0) / 1000000 )) ms (target < 0.5 %)"

# --- Text round trip.
before=$(wc -l <"$JX_DRV_DIR/out1")
for ((n = 1; n <= texts; n++)); do
    driver_cmd 1 "txt $MC 0 rtt$n"
    sleep 0.05
done
end=$((SECONDS + 30))
while [ "$(tail -n +"$before" "$JX_DRV_DIR/out1" | grep -c '^EV_TXT_DELIVERED ')" -lt "$texts" ]; do
    [ $SECONDS -ge $end ] && break
    sleep 0.2
done
tail -n +"$before" "$JX_DRV_DIR/out1" | awk '
    { delete f; for (i = 2; i <= NF; i++) { split($i, kv, "="); f[kv[1]] = kv[2] } }
    /^EV_TXT_SENT / { sent[f["id"]] = f["us"] }
    /^EV_TXT_DELIVERED / && (f["id"] in sent) { printf "%.3f\n", (f["us"] - sent[f["id"]]) / 1000 }' |
    sort -n | awk -v want="$texts" '
    { v[++n] = $1; sum += $1 }
    END {
        if (n == 0) { print "round trip: no text delivered"; exit 1 }
        printf "round trip: %d of %d texts delivered, mean %.2f ms, median %.2f ms, min %.2f ms, max %.2f ms\n",
            n, want, sum / n, v[int((n + 1) / 2)], v[1], v[n]
    }' || fail "no round trip measured"

# --- Reference: raw UDP ping-pong over the same link.
if command -v python3 >/dev/null; then
    cat >"$JX_DRV_DIR/echo.py" <<'EOF'
import socket, sys, time
if sys.argv[1] == "server":
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("0.0.0.0", 9999)); s.settimeout(30)
    try:
        while True:
            d, a = s.recvfrom(2048); s.sendto(d, a)
    except socket.timeout:
        pass
else:
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.settimeout(1)
    n, tot = 0, 0.0
    for i in range(200):
        t = time.perf_counter(); s.sendto(b"x" * 40, (sys.argv[2], 9999))
        try:
            s.recvfrom(2048); tot += time.perf_counter() - t; n += 1
        except socket.timeout:
            pass
    print("%.3f" % (tot / n * 1000 if n else -1))
EOF
    netns_bg 2 "$JX_DRV_DIR/echo.log" python3 "$JX_DRV_DIR/echo.py" server
    sleep 0.5
    ref=$(netns_exec 1 python3 "$JX_DRV_DIR/echo.py" client "$A2")
    echo "reference: raw UDP round trip $ref ms (python3 ping-pong on the same link)"
else
    echo "reference: raw UDP round trip n/a (python3 missing)"
fi
