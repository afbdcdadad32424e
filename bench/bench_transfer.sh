#!/usr/bin/env bash
# File transfer between two namespace hosts over a veth link, through the screenless driver of the
# optimised build: a JX_BENCH_MIB (100) MiB file, once clean and once with 5 % of the datagrams to
# port 8856 dropped on each host (both ways). Printed per run: goodput, what the specified pacing
# allows (below) and the ratio, both sides' CPU time, the receiver's RcvbufErrors and each side's
# resident memory growth during the transfer; and a raw UDP copy over the same link for reference.
#
# What the pacing allows, derived. The uploader makes one sending pass per main-loop turn, and a
# turn is the receive loop's 10 ms budget plus the pass itself. A pass sends at most `limit`
# chunks (5 in the first segment, 3 more in each later one) and ends once the running total of its
# stopwatch readings reaches 10 000 us. The reading after the j-th chunk of a pass is about j*c,
# c being the time one chunk takes to send, so after k chunks the total is c*k*(k+1)/2 and a pass
# holds at most K chunks, K the least k with c*k*(k+1)/2 >= 10000. Segment s of n_s chunks (512,
# the last one fewer) therefore takes ceil(n_s / m_s) passes of (10 ms + m_s*c), m_s = min(limit_s,
# K), and the file the sum over its segments. c is measured on the same link as the mean time of
# one 1424-byte sendto (a full chunk datagram) sent in bursts of 50, 10 ms apart, as passes go out
# (a sender that never pauses pays for the link's backlog in every call). Segment requests travel
# within the turns, so they add nothing to this bound; the goal is a goodput of at least 90 % of it.
# Usage: bench_transfer.sh JEXLEY (the driver is taken from the same build).
set -u
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
source "$root/tests/e2e/lib_netns.sh"
source "$root/tests/e2e/lib_driver.sh"

netns_require nft
build=$(cd "$(dirname "${1:?usage: bench_transfer.sh JEXLEY}")" && pwd)
JX_ENGINE_DRIVER=$build/tools/jx_engine_driver
driver_find ""
copy=$build/bench/jx_udp_copy
[ -x "$copy" ] || { echo "SKIP: $copy not built"; exit 77; }
mib=${JX_BENCH_MIB:-100}
bytes=$((mib * 1048576))
MC=239.9.9.9

netns_up 2 || fail "could not build the namespace hosts"
A1=$(netns_addr 1); A2=$(netns_addr 2)
work=$(netns_tmpdir)
head -c "$bytes" /dev/urandom >"$work/data.bin"
want=$(sha256sum "$work/data.bin" | cut -d' ' -f1)

# --- Reference: the raw copy, and the cost of one chunk datagram.
netns_bg 2 "$work/raw.out" "$copy" recv 9000 2
eventually 10 grep -q listening "$work/raw.out" || fail "raw receiver did not start"
netns_exec 1 "$copy" send "$A2" 9000 "$work/data.bin" >/dev/null || fail "raw sender failed"
eventually 30 grep -q '^bytes=' "$work/raw.out" || fail "raw receiver did not finish"
head -c 4000000 "$work/data.bin" >"$work/probe.bin"
sent=$(netns_exec 1 "$copy" send "$A2" 9001 "$work/probe.bin" 50) || fail "paced sender failed"
c_us=$(sed -nE 's/send_us_per_datagram=([0-9.]+).*/\1/p' <<<"$sent")
read -r raw_bytes raw_s < <(sed -nE 's/^bytes=([0-9]+) seconds=([0-9.]+)/\1 \2/p' "$work/raw.out")
awk -v b="$raw_bytes" -v s="$raw_s" -v all="$bytes" -v c="$c_us" 'BEGIN {
    printf "reference: raw UDP copy %.1f MB/s (%.1f %% of the datagrams arrived), one sendto %.2f us\n",
        b / s / 1e6, 100 * b / all, c }'

allowed_s=$(awk -v bytes="$bytes" -v c="$c_us" 'BEGIN {
    for (k = 1; c * k * (k + 1) / 2 < 10000; k++);
    chunks = int((bytes + 1369) / 1370); limit = 5; t = 0
    for (left = chunks; left > 0; left -= n) {
        n = left < 512 ? left : 512; m = limit < k ? limit : k
        t += int((n + m - 1) / m) * (10000 + m * c); limit = limit + 3 > 512 ? 512 : limit + 3
    }
    printf "%.3f", t / 1e6 }')

cpu_ms() { awk '{ printf "%d", $1 / 1e6 }' "/proc/$(driver_pid "$1")/schedstat"; }
rss_kb() { awk -v f="$2" '$1 == f ":" { print $2 }' "/proc/$(driver_pid "$1")/status"; }
rcvbuf_errors() { netns_exec "$1" awk '/^Udp:/ { if (!h) { for (i = 1; i <= NF; i++) c[$i] = i; h = 1 } else print $c["RcvbufErrors"] }' /proc/net/snmp; }

for i in 1 2; do driver_start "$i"; driver_cmd "$i" "join $MC"; done
driver_until 1 "peers $MC" "^PEER $MC $A2 " || fail "host 1 never saw host 2"
driver_until 2 "peers $MC" "^PEER $MC $A1 " || fail "host 2 never saw host 1"
driver_cmd 1 "chan $MC $A2"

above() { [ "$(driver_count 2 "$1")" -gt "$2" ]; }  # more lines of host 2 match than before

# run LABEL: one transfer of the file from host 1 to host 2, with its figures.
run() {
    local label=$1 id l0 t0 done_us c1 c2 r1 r2 e0 e1 got
    l0=$(driver_count 2 '^EV_DL_OFFERED ')
    driver_cmd 1 "offer $MC $A2 $work/data.bin"
    eventually 60 above '^EV_DL_OFFERED ' "$l0" || fail "$label: no offer"
    id=$(driver_ask 2 transfers | sed -nE 's/^DL id=([0-9a-f]+) .* state=0 .*/\1/p' | head -n 1)
    [ -n "$id" ] || fail "$label: no pending download"
    c1=$(cpu_ms 1); c2=$(cpu_ms 2); r1=$(rss_kb 1 VmRSS); r2=$(rss_kb 2 VmRSS); e0=$(rcvbuf_errors 2)
    for h in 1 2; do echo 5 >"/proc/$(driver_pid "$h")/clear_refs"; done  # the peak starts now
    l0=$(driver_count 2 '^EV_DL_(COMPLETE|FAILED) ')
    t0=$(date +%s%6N)
    driver_cmd 2 "accept $id"
    eventually 900 above '^EV_DL_(COMPLETE|FAILED) ' "$l0" || fail "$label: the download did not end"
    done_us=$(grep -E '^EV_DL_(COMPLETE|FAILED) ' "$JX_DRV_DIR/out2" | tail -n 1 | sed -nE 's/^EV_DL_COMPLETE us=([0-9]+) .*/\1/p')
    [ -n "$done_us" ] || fail "$label: the download did not complete"
    got=$(driver_ask 2 transfers | sed -nE "s/^FINDL id=$id .* path=(.*)/\1/p")
    [ "$(sha256sum "$got" | cut -d' ' -f1)" = "$want" ] || fail "$label: the received file differs"
    e1=$(rcvbuf_errors 2)
    awk -v b="$bytes" -v t0="$t0" -v t1="$done_us" -v allowed="$allowed_s" -v label="$label" \
        -v cu=$(($(cpu_ms 1) - c1)) -v cd=$(($(cpu_ms 2) - c2)) -v e=$((e1 - e0)) \
        -v gu=$(($(rss_kb 1 VmHWM) - r1)) -v gd=$(($(rss_kb 2 VmHWM) - r2)) 'BEGIN {
        s = (t1 - t0) / 1e6
        printf "%s: %.1f MB/s (%d MiB in %.2f s, byte-identical); the pacing allows %.1f MB/s (%.2f s): %.0f %%\n",
            label, b / s / 1e6, b / 1048576, s, b / allowed / 1e6, allowed, 100 * allowed / s
        printf "%s: CPU uploader %.2f s, downloader %.2f s; receiver RcvbufErrors +%d; memory growth uploader %d KB, downloader %d KB\n",
            label, cu / 1000, cd / 1000, e, gu, gd }'
    rm -f "$got"
}

run "clean"
for h in 1 2; do
    netns_exec "$h" nft add table inet loss
    netns_exec "$h" nft add chain inet loss in '{ type filter hook input priority 0; }'
    netns_exec "$h" nft add rule inet loss in udp dport 8856 numgen random mod 100 '<' 5 drop
done
run "5 % loss each way"
