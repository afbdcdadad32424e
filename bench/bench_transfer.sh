#!/usr/bin/env bash
# File transfer between namespace hosts on one bridge, through the screenless driver of the
# optimised build, every figure printed against a reference measured in the same run:
#   reference   a raw UDP copy of the file from host 1 to host 2 (1424-byte datagrams as fast as
#               sendto goes, into a 4 MiB receive buffer): its goodput is "raw"
#   clean, 1 % and 5 % loss each way on 8856: a JX_BENCH_MIB (100) MiB file from host 1 to host 2,
#               as a ratio to raw; datagrams host 1 sent per chunk (clean); CPU per GiB of each
#               side; each side's peak resident memory growth during the transfer
#   texts       sent -> delivered of direct texts between hosts 1 and 2, idle and during a clean
#               transfer (from the uploader and from the downloader, one every 20 ms)
#   sharing     three uploads of JX_BENCH_CLASSIC_MIB (20) MiB at once from host 1 to host 2: each
#               one's rate as a share of their sum (goal: each at least a fifth); and one transfer
#               each way at once, both rates
#   classic     JX_BENCH_CLASSIC_MIB (20) MiB between a classic host (JEXLEY_PACING=classic) and a
#               default one each way, and between two classic hosts, the first two as a ratio to
#               the last (goal: at least 1), each the median of three rounds
# Usage: bench_transfer.sh JEXLEY (the driver and the raw copy are taken from the same build).
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
mib=${JX_BENCH_MIB:-100} cmib=${JX_BENCH_CLASSIC_MIB:-20}
MC=239.9.9.9

netns_up 4 || fail "could not build the namespace hosts"
work=$(netns_tmpdir)
head -c $((mib * 1048576)) /dev/urandom >"$work/data.bin"
head -c $((cmib * 1048576)) /dev/urandom >"$work/small.bin"

# --- Reference: the raw copy.
netns_bg 2 "$work/raw.out" "$copy" recv 9000 2
eventually 10 grep -q listening "$work/raw.out" || fail "raw receiver did not start"
netns_exec 1 "$copy" send "$(netns_addr 2)" 9000 "$work/data.bin" >/dev/null || fail "raw sender failed"
eventually 30 grep -q '^bytes=' "$work/raw.out" || fail "raw receiver did not finish"
raw=$(sed -nE 's/^bytes=([0-9]+) seconds=([0-9.]+)/\1 \2/p' "$work/raw.out" | awk '{ printf "%.0f", $1 / $2 }')
awk -v r="$raw" -v b="$(sed -nE 's/^bytes=([0-9]+).*/\1/p' "$work/raw.out")" -v all=$((mib * 1048576)) \
    'BEGIN { printf "reference: raw UDP copy %.1f MB/s (%.1f %% of the datagrams arrived)\n", r / 1e6, 100 * b / all }'

cpu_ms() { awk '{ printf "%d", $1 / 1e6 }' "/proc/$(driver_pid "$1")/schedstat"; }
rss_kb() { awk -v f="$2" '$1 == f ":" { print $2 }' "/proc/$(driver_pid "$1")/status"; }
udp_out() { netns_exec "$1" awk '/^Udp:/ && n++ { print $5 }' /proc/net/snmp; }

driver_start 1; driver_start 2
driver_start 3 JEXLEY_PACING=classic; driver_start 4 JEXLEY_PACING=classic
for i in 1 2 3 4; do driver_cmd "$i" "join $MC"; done
for i in 1 2 3 4; do
    for j in 1 2 3 4; do
        [ "$i" = "$j" ] || driver_until "$i" "peers $MC" "^PEER $MC $(netns_addr "$j") " || fail "host $i never saw host $j"
    done
done
for pair in "1 2" "2 1" "3 4" "3 2" "1 4"; do set -- $pair; driver_cmd "$1" "chan $MC $(netns_addr "$2")"; done

above() { [ "$(driver_count "$1" "$2")" -gt "$3" ]; }  # more lines of out<i> match than before

# move FROM TO FILE: one transfer, byte-identical; sets SECS, and CPU_UP, CPU_DOWN (ms), GROW_UP,
# GROW_DOWN (KB of peak resident growth), SENT (datagrams FROM sent).
move() {
    local from=$1 to=$2 file=$3 id l0 t0 t1 r1 r2 c1 c2 o1 got
    l0=$(driver_count "$to" '^EV_DL_OFFERED ')
    driver_cmd "$from" "offer $MC $(netns_addr "$to") $file"
    eventually 60 above "$to" '^EV_DL_OFFERED ' "$l0" || fail "no offer $from -> $to"
    id=$(driver_ask "$to" transfers | sed -nE 's/^DL id=([0-9a-f]+) .* state=0 .*/\1/p' | head -n 1)
    [ -n "$id" ] || fail "no pending download on $to"
    c1=$(cpu_ms "$from"); c2=$(cpu_ms "$to"); r1=$(rss_kb "$from" VmRSS); r2=$(rss_kb "$to" VmRSS); o1=$(udp_out "$from")
    for h in "$from" "$to"; do echo 5 >"/proc/$(driver_pid "$h")/clear_refs"; done  # the peak starts now
    l0=$(driver_count "$to" '^EV_DL_(COMPLETE|FAILED) ')
    t0=$(date +%s%6N)
    driver_cmd "$to" "accept $id"
    eventually 900 above "$to" '^EV_DL_(COMPLETE|FAILED) ' "$l0" || fail "the download $from -> $to did not end"
    t1=$(grep -E '^EV_DL_(COMPLETE|FAILED) ' "$JX_DRV_DIR/out$to" | tail -n 1 | sed -nE 's/^EV_DL_COMPLETE us=([0-9]+) .*/\1/p')
    [ -n "$t1" ] || fail "the download $from -> $to failed"
    SENT=$(($(udp_out "$from") - o1))
    CPU_UP=$(($(cpu_ms "$from") - c1)) CPU_DOWN=$(($(cpu_ms "$to") - c2))
    GROW_UP=$(($(rss_kb "$from" VmHWM) - r1)) GROW_DOWN=$(($(rss_kb "$to" VmHWM) - r2))
    got=$(driver_ask "$to" transfers | sed -nE "s/^FINDL id=$id .* state=11 .* path=(.*)/\1/p")
    [ -n "$got" ] && cmp -s "$got" "$file" || fail "$from -> $to: the received file differs or was not checked"
    rm -f "$got"
    SECS=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", (b - a) / 1e6 }')
}

# report LABEL: the figures of the last big move.
report() {
    awk -v l="$1" -v b=$((mib * 1048576)) -v s="$SECS" -v raw="$raw" -v cu="$CPU_UP" -v cd="$CPU_DOWN" \
        -v gu="$GROW_UP" -v gd="$GROW_DOWN" 'BEGIN {
        printf "%s: %.1f MB/s (%d MiB in %.2f s, byte-identical, checked on arrival) = %.2fx raw\n", l, b / s / 1e6, b / 1048576, s, b / s / raw
        printf "%s: CPU per GiB uploader %.2f s, downloader %.2f s; peak memory growth uploader %d KB, downloader %d KB\n",
            l, cu / 1000 * 1073741824 / b, cd / 1000 * 1073741824 / b, gu, gd }'
}

# rtt LABEL HOST FROM_LINE: sent -> delivered of HOST's texts after line FROM_LINE of its output.
rtt() {
    tail -n +"$3" "$JX_DRV_DIR/out$2" | awk '
        { delete f; for (i = 2; i <= NF; i++) { split($i, kv, "="); f[kv[1]] = kv[2] } }
        /^EV_TXT_SENT / { sent[f["id"]] = f["us"] }
        /^EV_TXT_DELIVERED / && (f["id"] in sent) { printf "%.3f\n", (f["us"] - sent[f["id"]]) / 1000 }' |
        sort -n | awk -v l="$1" '{ v[++n] = $1; sum += $1 }
        END { if (n == 0) { print l ": no text delivered"; exit }
              printf "%s: %d texts, sent -> delivered mean %.2f ms, median %.2f ms, max %.2f ms\n", l, n, sum / n, v[int((n + 1) / 2)], v[n] }'
}
texts() {  # HOST PEER N TAG: up to N texts from HOST to PEER, 20 ms apart, until $work/stop exists
    local k
    for ((k = 1; k <= $3; k++)); do
        [ -e "$work/stop" ] && break
        driver_cmd "$1" "txt $MC $(netns_addr "$2") $4-$k"
        sleep 0.02
    done
}

# --- Texts while idle, then during a transfer each way.
n1=$(wc -l <"$JX_DRV_DIR/out1")
texts 1 2 50 idle
sleep 1
rtt "texts idle" 1 "$n1"

move 1 2 "$work/data.bin"
chunks=$(((mib * 1048576 + 1369) / 1370))
report "clean"
awk -v s="$SENT" -v c="$chunks" 'BEGIN { printf "clean: %.3f datagrams sent per chunk (%d for %d chunks)\n", s / c, s, c }'

n1=$(wc -l <"$JX_DRV_DIR/out1") n2=$(wc -l <"$JX_DRV_DIR/out2")
rm -f "$work/stop"
texts 1 2 2000 up &
up=$!
texts 2 1 2000 down &
down=$!
move 1 2 "$work/data.bin"
touch "$work/stop"
wait "$up" "$down"
sleep 1
echo "texts during a transfer: $(report "-" | head -n 1 | sed 's/^-: //')"
rtt "texts from the uploader during the transfer" 1 "$n1"
rtt "texts from the downloader during the transfer" 2 "$n2"

# offered FROM TO NAME: FROM offers TO the small file as NAME; prints TO's download id.
offered() {
    cp "$work/small.bin" "$work/$3"
    driver_cmd "$1" "offer $MC $(netns_addr "$2") $work/$3"
    eventually 60 grep -qE "^EV_DL_OFFERED .* name=$3\$" "$JX_DRV_DIR/out$2" || fail "no offer of $3"
    driver_ask "$2" transfers | sed -nE "s/^DL id=([0-9a-f]+) .* state=0 .* name=$3\$/\1/p"
}
# done_at TO NAME: when TO's download of NAME completed (us).
done_at() {
    eventually 300 grep -qE "^EV_DL_COMPLETE .* name=$2\$" "$JX_DRV_DIR/out$1" || fail "$2 did not arrive"
    grep -E "^EV_DL_COMPLETE .* name=$2\$" "$JX_DRV_DIR/out$1" | sed -nE 's/^EV_DL_COMPLETE us=([0-9]+) .*/\1/p'
}
ids=$(for n in 1 2 3; do offered 1 2 "share$n.bin"; done)
t0=$(date +%s%6N)
for id in $ids; do driver_cmd 2 "accept $id"; done
awk -v b=$((cmib * 1048576)) -v t0="$t0" -v a="$(done_at 2 share1.bin)" -v c="$(done_at 2 share2.bin)" \
    -v d="$(done_at 2 share3.bin)" 'BEGIN {
    r1 = b / (a - t0); r2 = b / (c - t0); r3 = b / (d - t0); s = r1 + r2 + r3
    printf "three uploads at once: %.1f, %.1f, %.1f MB/s: shares %.2f, %.2f, %.2f of %.1f MB/s\n",
        r1, r2, r3, r1 / s, r2 / s, r3 / s, s }'
there=$(offered 1 2 there.bin) back=$(offered 2 1 back.bin)
t0=$(date +%s%6N)
driver_cmd 2 "accept $there"; driver_cmd 1 "accept $back"
awk -v b=$((cmib * 1048576)) -v t0="$t0" -v a="$(done_at 2 there.bin)" -v c="$(done_at 1 back.bin)" 'BEGIN {
    printf "one transfer each way at once: %.1f MB/s and %.1f MB/s\n", b / (a - t0), b / (c - t0) }'

# --- Classic peers: both directions, and two classic peers for comparison. The classic pace is
# set by its 10 ms turns, so a single run differs from the next by a few per cent: three rounds,
# taken in turn, and the median of each.
cc=() cd=() dc=()
for round in 1 2 3; do
    move 3 4 "$work/small.bin"; cc+=("$SECS")
    move 3 2 "$work/small.bin"; cd+=("$SECS")
    move 1 4 "$work/small.bin"; dc+=("$SECS")
done
median() { printf '%s\n' "$@" | sort -g | sed -n 2p; }
cc=$(median "${cc[@]}") cd=$(median "${cd[@]}") dc=$(median "${dc[@]}")
awk -v b=$((cmib * 1048576)) -v cc="$cc" -v cd="$cd" -v dc="$dc" 'BEGIN {
    printf "classic -> classic: %.2f MB/s (%d MiB in %.2f s, median of three)\n", b / cc / 1e6, b / 1048576, cc
    printf "classic -> default: %.2f MB/s = %.2fx classic -> classic\n", b / cd / 1e6, cc / cd
    printf "default -> classic: %.1f MB/s = %.2fx classic -> classic\n", b / dc / 1e6, cc / dc }'

# --- Loss on 8856, each way.
for pct in 1 5; do
    for h in 1 2; do netns_undrop "$h"; netns_drop "$h" in 8856 "$pct" || fail "nft on host $h"; done
    move 1 2 "$work/data.bin"
    report "$pct % loss each way"
done
