#!/usr/bin/env bash
# Idle CPU and text round trip of the engine, measured on namespace hosts:
#   for the engine as built (its turn sleeps until the next thing is due, a datagram comes or a
#   command arrives, and hands back at once) and with JEXLEY_PACING=classic (the original turn of
#   about 10 ms, which still sleeps while idle), two hosts each running the screenless driver on
#   one multicast network:
#     idle CPU: on-CPU time of one instance (/proc/PID/schedstat, nanoseconds) over JX_BENCH_IDLE_S
#               (20) seconds with nothing but beacons going on, as % of one core (target < 0.1 %)
#     round trip: JX_BENCH_TEXTS (200) texts on the main channel, one every 50 ms; time from the
#               EV_TXT_SENT line to the EV_TXT_DELIVERED line of the same message id
#   the real program idle on its home screen in tmux, the same CPU measure, both ways;
#   reference: a raw UDP ping-pong between the same two hosts (python3), when available, and the
#   round trip recorded before the rate-based loop (19 ms idle, 25 ms during a transfer).
# Usage: bench_idle_rtt.sh JEXLEY: the drivers are taken from the same build.
set -u
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
source "$root/tests/e2e/lib_netns.sh"
source "$root/tests/e2e/lib_driver.sh"

netns_require
jexley=$(cd "$(dirname "${1:?usage: bench_idle_rtt.sh JEXLEY}")" && pwd)/$(basename "$1")
build=$(dirname "$jexley")
tools=$build/tools
idle_s=${JX_BENCH_IDLE_S:-20}
texts=${JX_BENCH_TEXTS:-200}

# On-CPU nanoseconds of a process so far.
cpu_ns() { awk '{ print $1 }' "/proc/$1/schedstat"; }

# idle_cpu PID: prints the % of one core PID used over idle_s seconds.
idle_cpu() {
    local pid=$1 c0 c1 w0 w1
    c0=$(cpu_ns "$pid"); w0=$(date +%s%N)
    sleep "$idle_s"
    c1=$(cpu_ns "$pid"); w1=$(date +%s%N)
    awk -v c=$((c1 - c0)) -v w=$((w1 - w0)) 'BEGIN { printf "%.3f", 100 * c / w }'
}

# measure LABEL HOST_A HOST_B GROUP [VAR=VALUE...]: idle CPU and round trip of one pair of drivers
# started with those environment variables.
measure() {
    local label=$1 a=$2 b=$3 mc=$4 before
    local addr_a addr_b
    addr_a=$(netns_addr "$a"); addr_b=$(netns_addr "$b")
    driver_start "$a" "${@:5}"
    driver_start "$b" "${@:5}"
    driver_cmd "$a" "join $mc"
    driver_cmd "$b" "join $mc"
    local end=$((SECONDS + 20))
    until driver_ask "$a" "peers $mc" | grep -q "^PEER $mc $addr_b " &&
        driver_ask "$b" "peers $mc" | grep -q "^PEER $mc $addr_a "; do
        [ $SECONDS -ge $end ] && fail "$label: the two hosts never saw each other"
        sleep 0.2
    done
    grep -q __asan_init "$JX_DRIVER" 2>/dev/null && echo "$label: sanitizer build, figures are pessimistic"
    echo "$label: idle CPU $(idle_cpu "$(driver_pid "$a")") % of one core over ${idle_s} s (target < 0.1 %)"

    before=$(wc -l <"$JX_DRV_DIR/out$a")
    for ((n = 1; n <= texts; n++)); do
        driver_cmd "$a" "txt $mc 0 rtt$n"
        sleep 0.05
    done
    end=$((SECONDS + 30))
    while [ "$(tail -n +"$before" "$JX_DRV_DIR/out$a" | grep -c '^EV_TXT_DELIVERED ')" -lt "$texts" ]; do
        [ $SECONDS -ge $end ] && break
        sleep 0.2
    done
    tail -n +"$before" "$JX_DRV_DIR/out$a" | awk '
        { delete f; for (i = 2; i <= NF; i++) { split($i, kv, "="); f[kv[1]] = kv[2] } }
        /^EV_TXT_SENT / { sent[f["id"]] = f["us"] }
        /^EV_TXT_DELIVERED / && (f["id"] in sent) { printf "%.3f\n", (f["us"] - sent[f["id"]]) / 1000 }' |
        sort -n | awk -v want="$texts" -v label="$label" '
        { v[++n] = $1; sum += $1 }
        END {
            if (n == 0) { print label ": no text delivered"; exit 1 }
            printf "%s: round trip of %d of %d texts: mean %.2f ms, median %.2f ms, min %.2f ms, max %.2f ms\n",
                label, n, want, sum / n, v[int((n + 1) / 2)], v[1], v[n]
        }' || fail "$label: no round trip measured"
    driver_cmd "$a" quit
    driver_cmd "$b" quit
    sleep 0.5
}

netns_up 4 || fail "could not build the namespace hosts"
JX_ENGINE_DRIVER=$tools/jx_engine_driver
driver_find ""
measure "driver" 1 2 239.1.2.3
measure "driver, JEXLEY_PACING=classic" 3 4 239.1.2.4 JEXLEY_PACING=classic

# The real program, idle on its home screen.
# program_idle LABEL BINARY HOST [VAR=VALUE...]
program_idle() {
    local label=$1 home pid sock
    home=$(netns_tmpdir)
    mkdir -p -m 700 "$home/jx_internal" "$home/msg" "$home/downloads"
    cp "$2" "$home/jexley"
    sock="$home/tmux.sock"
    netns_exec "$3" env "${@:4}" tmux -S "$sock" -f /dev/null new-session -d -x 80 -y 24 "$home/jexley"
    sleep 2
    pid=$(pgrep -f "^$home/jexley" | head -n 1)
    if [ -n "$pid" ]; then
        echo "$label: idle CPU $(idle_cpu "$pid") % of one core over ${idle_s} s (target < 0.1 %)"
    else
        echo "$label: did not start"
    fi
    netns_exec "$3" tmux -S "$sock" kill-server 2>/dev/null
}
if command -v tmux >/dev/null; then
    program_idle "jexley on its home screen" "$jexley" 1
    program_idle "jexley on its home screen, JEXLEY_PACING=classic" "$jexley" 3 JEXLEY_PACING=classic
fi

A1=$(netns_addr 1); A2=$(netns_addr 2)
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
echo "reference: recorded before the rate-based loop: round trip 19 ms idle, 25 ms during a transfer"
