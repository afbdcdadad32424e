#!/usr/bin/env bash
# The fault lab: two engines (screenless drivers, hosts 1 and 2; host 2 paces its transfers the
# classic way, JEXLEY_PACING=classic, as a peer built to the original rules), the real program
# (carol, host 3) and scripted peers (host 4) with loss, duplication, reordering, outages, a crowd
# and a hostile peer on the wire. (A store killed at any system call is the storage suite's.)
#   - a file each way at once on a clean link (default -> classic, classic -> default)
#   - texts at 20 % loss each way: few undelivered, none received twice, each delivered one received
#   - 10 % of the datagrams on both ports repeated; every frame of host 2 delayed 0-30 ms
#     (reordered); then both with 5 % to 8856 lost: texts received once, transfers both ways at
#     once (default -> classic, classic -> default) byte-identical, the last one passing its checksum
#   - a blackhole longer than 15 s: texts sent into it end undelivered, the transfer under way fails
#     on both sides and leaves no partial file, texts afterwards arrive; a 6 s one a transfer survives
#   - a hostile peer (hostile offer names, a flood of offers, absurd and stale segment requests,
#     packets for transfers that are not its own): carol lives, shows no escape sequence, logs no
#     control character, and a transfer from alice arrives whole
#   - strangers from forged addresses (a raw socket on host 4), one attack per row: a flood of
#     peers that each write and leave grows carol's msg/ by at most 120 files and 20 MB with one log
#     line; a third host naming her private network gets nothing into it; a replay of her instance
#     id does not silence alice; an offer whose peer left is withdrawn; one line of alice's to 1024
#     silent peers costs a bounded number of datagrams
#   - 200 beaconing peers and 50 texts a second: every text acknowledged, the screens answer; CPU
#     and memory printed
# The scale comes from the environment (bench/bench_faults.sh runs the long version):
# JX_FAULT_TEXTS, JX_FAULT_GAP (s between texts), JX_FAULT_MAX_LOST, JX_FAULT_MIB, JX_FAULT_CROWD_S,
# JX_FAULT_CUT_S (least length of the long blackhole), JX_FAULT_FLOOD (forged senders in the flood).
# Usage: test_faults.sh JEXLEY_BINARY
set -u -o pipefail
source "$(dirname "$0")/lib_driver.sh"
source "$(dirname "$0")/lib_tmux.sh"
TEXTS=${JX_FAULT_TEXTS:-40} GAP=${JX_FAULT_GAP:-0.05} MAX_LOST=${JX_FAULT_MAX_LOST:-3} MIB=${JX_FAULT_MIB:-2}
CROWD_S=${JX_FAULT_CROWD_S:-8} CUT_S=${JX_FAULT_CUT_S:-0} FLOOD=${JX_FAULT_FLOOD:-300}

tmux_hosts "${1:-}"
netns_require nft
driver_find "$JX_TMUX_BIN"
JX_TOOLS=$(dirname "$JX_DRIVER")
netns_up 4 || fail "could not build the namespace hosts"
MC=239.4.5.7 MC2=239.0.0.2
A1=$(netns_addr 1); A2=$(netns_addr 2); A3=$(netns_addr 3); A4=$(netns_addr 4)
files=$(netns_tmpdir)
driver_start 1 && driver_start 2 JEXLEY_PACING=classic || fail "no drivers"
for i in 1 2; do driver_cmd "$i" "join $MC"; done
driver_cmd 1 "uname alice"
for i in 1 2; do driver_until "$i" "peers $MC" "^PEER $MC $(netns_addr $((3 - i))) " || fail "host $i never saw the other"; done
driver_cmd 1 "chan $MC $A2" && driver_cmd 2 "chan $MC $A1"

# offer NAME MIB [FROM TO]: host FROM (1) offers host TO (2) on their direct channel a new random
# file of MIB MiB and 777 bytes; TO accepts it; its transfer id goes to $ID
offer() {
    local from=${3:-1} to=${4:-2}
    head -c $(($2 * 1048576 + 777)) /dev/urandom >"$JX_DRV_DIR/$1"
    driver_cmd "$from" "offer $MC $(netns_addr "$to") $JX_DRV_DIR/$1"
    driver_wait "$to" "^EV_DL_OFFERED .* name=$1\$" 60 || fail "$1: no offer"
    ID=$(driver_ask "$to" transfers | sed -nE "s/^DL id=([0-9a-f]+) .* state=0 .* name=$1\$/\1/p")
    [ -n "$ID" ] || fail "$1: no pending download"
    driver_cmd "$to" "accept $ID"
}
arrived() {  # NAME [FROM TO]: the file arrives byte-identical and both sides report it complete
    local from=${2:-1} to=${3:-2}
    driver_wait "$to" "^EV_DL_COMPLETE .* name=$1\$" 300 || fail "$1: download did not complete"
    driver_wait "$from" "^EV_UL_COMPLETE .* name=$1\$" || fail "$1: upload not reported complete"
    cmp -s "$JX_DRV_DIR/$1" "$JX_DRV_DIR/root$to/downloads/$1" || fail "$1: the received file differs"
    echo "ok: $1 arrived byte-identical ($([ "$from" = 1 ] && echo "default -> classic" || echo "classic -> default"))"
}
# both TAG: a file each way at once while host 1 sends texts
both() {
    offer "$1-back.bin" "$MIB" 2 1
    offer "$1.bin" "$MIB"
    texts "$1" "$2" 0
    arrived "$1-back.bin" 2 1
    arrived "$1.bin"
}

# tally TAG: "sent delivered undelivered received-twice delivered-unreceived undelivered-received"
# of host 1's texts TAG-*
tally() {
    awk -v t=" text=$1-[0-9]+\$" '{ id = $0; sub(/.* id=/, "", id); sub(/ .*/, "", id) }
        FILENAME == ARGV[1] && /^EV_TXT_SENT / && $0 ~ t { s[id] = 1 }
        FILENAME == ARGV[1] && /^EV_TXT_DELIVERED / { d[id] = 1 }
        FILENAME == ARGV[1] && /^EV_TXT_(PARTLY_)?UNDELIVERED / { u[id] = 1 }
        FILENAME == ARGV[2] && /^EV_TXT_RECEIVED / && $0 ~ t { r[id]++ }
        END { for (i in s) { n++; dn += i in d; un += i in u; tw += r[i] > 1; miss += (i in d) && !r[i]; ur += (i in u) && r[i] > 0 }
              print n + 0, dn + 0, un + 0, tw + 0, miss + 0, ur + 0 }' "$JX_DRV_DIR/out1" "$JX_DRV_DIR/out2"
}
judged() { read -r n d u _ <<<"$(tally "$1")" && [ "$n" = "$2" ] && [ $((d + u)) = "$n" ]; }
# texts TAG N MAXLOST: host 1 sends N texts on the main channel; each gets its verdict, at most
# MAXLOST are undelivered, none arrives twice, every delivered one arrived
texts() {
    local k n d u tw miss ur
    for ((k = 1; k <= $2; k++)); do driver_cmd 1 "txt $MC 0 $1-$k" && sleep "$GAP"; done
    eventually 60 judged "$1" "$2" || fail "$1: not every text got its verdict ($(tally "$1"))"
    read -r n d u tw miss ur <<<"$(tally "$1")"
    [ "$u" -le "$3" ] && [ "$tw" = 0 ] && [ "$miss" = 0 ] || fail "$1: $u undelivered, $tw received twice, $miss delivered unreceived"
    echo "ok: $1: $n texts, $u undelivered ($ur received, every acknowledgement lost), none received twice, every delivered one received"
}
# --- Loss, duplication, reordering ---------------------------------------------------------------
both clean $((TEXTS / 4))
for i in 1 2; do netns_drop "$i" in 8855 20 || fail "nft on host $i"; done
texts loss "$TEXTS" "$MAX_LOST"
for i in 1 2; do netns_undrop "$i"; done
# 10 % of the datagrams to either port repeated; then every frame of host 2 delayed by 0..30 ms, so
# frames overtake each other (a relay takes host 2's place on the bridge and passes its frames on
# through a second pair); then both with 5 % of those to 8856 lost.
dup() { for p in 8855 8856; do netns_dup "$1" $p 10 "$(netns_addr $((3 - $1)))" || fail "nft dup on host $1"; done; }
for i in 1 2; do dup "$i"; done
both dup $((TEXTS / 2))
for i in 1 2; do netns_undrop "$i"; done
sw="${JX_NS_PREFIX}sw"
ip -n "$sw" link add r2 type veth peer name q2 && ip -n "$sw" link set q2 master br0 up &&
    ip -n "$sw" link set r2 up && ip -n "$sw" link set v2 nomaster || fail "no relay"
ip netns exec "$sw" "$JX_TOOLS/jx_relay" v2 r2 30 0 >"$files/relay" 2>&1 &
relay=$!
disown "$relay"  # netns_down kills it; out of the job table, its end is not reported
eventually 10 grep -q relaying "$files/relay" || fail "the relay did not start"
both reordered $((TEXTS / 2))
for i in 1 2; do dup "$i" && netns_drop "$i" in 8856 5 || fail "nft on host $i"; done
both rough "$TEXTS"
driver_cmd 2 "verify $ID"
driver_until 2 transfers "^FINDL id=$ID .* state=11 " || fail "rough.bin: verification did not end OK"
kill "$relay" && ip -n "$sw" link del r2 && ip -n "$sw" link set v2 master br0 || fail "relay not removed"
for i in 1 2; do netns_undrop "$i"; done

# --- Outages: host 2 cut off entirely ------------------------------------------------------------
offer cut.bin 60 2 1  # classic pacing: under way for seconds
driver_until 1 transfers "^DL id=$ID .* seg=[2-9]" 60 || fail "cut.bin: never under way"
netns_drop 2 in all && netns_drop 2 out all || fail "nft on host 2"
cut=$SECONDS
texts cut 3 3 &
driver_wait 1 "^EV_DL_FAILED .* name=cut.bin\$" 40 || fail "cut.bin: download did not fail"
driver_wait 2 "^EV_UL_FAILED .* name=cut.bin\$" 40 || fail "cut.bin: upload did not fail"
wait $! || exit 1
[ "$(tally cut | cut -d' ' -f3)" = 3 ] || fail "a text sent into the blackhole was delivered"
while [ $((SECONDS - cut)) -lt "$CUT_S" ]; do sleep 1; done
netns_undrop 2
[ -z "$(ls "$JX_DRV_DIR/root1/downloads" | grep cut)" ] || fail "cut.bin: a partial file is left"
echo "ok: a $((SECONDS - cut)) s blackhole: the transfer failed on both sides, no partial file, its texts undelivered"
texts after 3 0
offer short.bin 8 2 1
driver_until 1 transfers "^DL id=$ID .* seg=[2-9]" 60 || fail "short.bin: never under way"
netns_drop 2 in all && netns_drop 2 out all && sleep 6 && netns_undrop 2
arrived short.bin 2 1

# --- Carol, the real program, beside the drivers ------------------------------------------------
make_host 3 carol
driver_cmd 1 "join $MC2"
pid() { local p; for p in $(ip netns pids "$(netns_name 3)"); do [ "$(cat "/proc/$p/comm")" = jexley ] && echo "$p"; done; }
join_lan 3 "$MC2"
driver_until 1 "peers $MC2" "^PEER $MC2 $A3 " || fail "alice never saw carol"

# --- A hostile peer ------------------------------------------------------------------------------
rss() { awk '/^VmRSS:/ { print $2 }' "/proc/$(pid)/status"; }
cpu() { awk '{ print $14 + $15 }' "/proc/$(pid)/stat"; }  # clock ticks
r0=$(rss) && head -c 8000000 /dev/urandom >"$files/from-alice.bin" && head -c 1000000 /dev/urandom >"$files/m.bin"
driver_cmd 1 "chan $MC2 $A3" && driver_cmd 1 "offer $MC2 $A3 $files/from-alice.bin"
press 3 F6 "^ +1\| +from-alice\.bin\| .*\| +Pending\$" "alice's offer not listed"
UL=$(driver_ask 1 transfers | sed -nE 's/^UL id=([0-9a-f]+) .* name=from-alice\.bin$/\1/p')
pick 3 "^ +1\| +from-alice\.bin\|"
press 3 Enter "^ +1\| +from-alice\.bin\| .*\| +(Downloading|Chksum OK)\$" "alice's offer not accepted"
for t in "$A3" "$A1" "$A3"; do netns_exec 4 "$JX_TOOLS/jx_peer" forge "$MC2" "$t" "$UL" || fail "no forge"; done
eventually 120 shown 3 "^ +1\| +from-alice\.bin\| .*\| +Chksum OK\$" || fail "alice's file did not arrive"
cmp -s "$files/from-alice.bin" "${ROOT[3]}/downloads/from-alice.bin" || fail "alice's file differs"
driver_wait 1 "^EV_UL_COMPLETE .* name=from-alice\.bin\$" || fail "alice's upload did not complete"
netns_bg 4 "$files/mallory" "$JX_TOOLS/jx_peer" hostile "$MC2" "$A4" "$A3" 40 "$files/m.bin"
eventually 30 reopened 3 F5 "\| +mallory\|" || fail "mallory is not a peer"
pick 3 "\| +mallory\|"
press 3 Enter "^mallory \| " "no direct channel with mallory"
typeln 3 "/snd $files/m.bin"
eventually 60 grep -q '^offers_answered=1 chunks_ok=[1-9][0-9]* chunks_bad=0$' "$files/mallory" || fail "mallory: $(cat "$files/mallory")"
press 3 F6 '^ +[0-9]+\| +[?_]\[2J[?_]\]0;pwned[?_][?_]\[5mblink[?_]\[31mred\.txt\|' "the hostile name is not shown harmlessly"
[[ $(screen 3 -e) != *$'\e[5m'* ]] && [ "$(tm 3 display -p -t jx '#{pane_title}')" != pwned ] || fail "an escape sequence reached the terminal"
# Accepted, it is stored under its safe name: nothing in downloads/ holds a control character or
# starts with - or . (mallory sends no data: the file goes again with the 15 s time-out).
pick 3 '[?_]\[2J[?_]\]0;pwned'
key 3 Enter
eventually 10 test -f "${ROOT[3]}/downloads/_[2J_]0;pwned__[5mblink_[31mred.txt" || fail "the hostile offer is not stored under its safe name"
! ls -A "${ROOT[3]}/downloads" | LC_ALL=C grep -qE '[[:cntrl:]]|^[-.]' || fail "an unsafe name in downloads/"
log=${ROOT[3]}/jx_internal/log
for l in "Forbidden char filename" "Offer limit reached" "Can't unsrlz" "Segment request out of bounds"; do grep -qF "$l" "$log" || fail "no '$l' in the log"; done
[ "$(tr -cd '\r' <"$log" | wc -c)" = "$(wc -l <"$log")" ] && ! LC_ALL=C grep -q $'[\x01-\x08\x0b\x0c\x0e-\x1f\x7f]' "$log" ||
    fail "a control character reached carol's log"
echo "ok: a hostile peer: carol lives, no escape sequence on her screen or control character in her log, RSS $r0 -> $(rss) kB"

# --- Strangers from forged addresses -------------------------------------------------------------
# One row per attack: what host 4 sends (jx_peer; forged sources through a raw socket), then a line
# of alice's that carol must store (so she has taken everything sent before it), then the check.
# The flood comes last: after it, by design, no new stranger can open a channel with a text.
peer() { netns_exec 4 "$JX_TOOLS/jx_peer" "$@"; }
A30=$(netns_addr 30)  # a second address of host 4: mallory's offers fill what one peer may offer
dump() { "$JX_TOOLS/jx_msgdump" "${ROOT[3]}" 2>/dev/null; }
heard() { grep -qF "text=$1" <<<"$(dump)"; }
hexaddr() { IFS=. read -r a b c d <<<"$1" && printf '%02x%02x%02x%02x' "$d" "$c" "$b" "$a"; }
udp_out() { netns_exec 1 awk '/^Udp:/ && n++ { print $5 }' /proc/net/snmp; }
msg_files() { ls "${ROOT[3]}/msg" | wc -l; }
msg_bytes() { du -sb "${ROOT[3]}/msg" | cut -f1; }
# Files given up to make room go a turn or two after the last notice is written: waited for.
flood_within() { [ $(($(msg_files) - m0)) -le 120 ] && [ $(($(msg_bytes) - b0)) -le $((20 * 1048576)) ]; }
flood_ok() {
    local floods ok=0
    eventually 10 flood_within || ok=1
    peer forged leave "$MC2" 10.99.0.1 "$FLOOD"  # leaves the flood lost: the crowd counts peers next
    echo "ok: $FLOOD forged senders: $(($(msg_files) - m0)) channel files, $(($(msg_bytes) - b0)) bytes more in msg/; carol's RSS $r0 -> $(rss) kB"
    # One line per flood of each kind, not one per datagram.
    floods=$(grep -oE $'\t[A-Za-z ]+: (refusing|dropping) ' "$log")
    [ "$ok" = 0 ] && grep -q 'limit reached' <<<"$floods" && [ -z "$(sort <<<"$floods" | uniq -d)" ]
}
guard_ok() {
    local d
    d=$(dump)
    grep -q "^SLOT $(hexaddr "$A4") .* text=hello from a private peer\$" <<<"$d" && ! grep -q 'text=forged into' <<<"$d"
}
silent_ok() {
    local id sent
    id=$(sed -nE 's/^EV_TXT_SENT .* id=([0-9]+) .* text=silent-line$/\1/p' "$JX_DRV_DIR/out1")
    eventually 40 grep -qE "^EV_TXT_(PARTLY_)?UNDELIVERED .* id=$id( |\$)" "$JX_DRV_DIR/out1" || return 1
    sent=$(($(udp_out) - out0))
    peer forged leave "$MC2" 10.99.4.1 1024
    echo "ok: two lines of alice's among 1024 silent peers: $sent datagrams from her in all"
    [ "$sent" -le 60 ]
}
while IFS='|' read -r name attack check; do
    eval "$attack" >"$files/$name" 2>&1 || fail "$name: $(cat "$files/$name")"
    driver_cmd 1 "txt $MC2 0 after-$name" && eventually 30 heard "after-$name" || fail "$name: alice's line never reached carol"
    eval "$check" || fail "$name: $(cat "$files/$name")"
    echo "ok: strangers: $name"
done <<EOF
private network guarded|peer private $A4 $A3 && peer forged guard $A4 10.99.9.9 1 $A3|guard_ok
instance id replayed|peer forged replay $MC2 $A1 1 $A3|heard "after-instance id replayed"
offer withdrawn|netns_exec 4 ip addr add $A30/24 dev eth0 && peer offerleave $MC2 $A30 $A3 withdrawn.txt|heard "Download failed [withdrawn.txt]"
silent peers|peer forged beacon $MC2 10.99.4.1 1024 && out0=\$(udp_out) && driver_cmd 1 "txt $MC2 0 silent-line"|silent_ok
flood|m0=\$(msg_files) b0=\$(msg_bytes) r0=\$(rss) && peer forged cycle $MC2 10.99.0.1 $FLOOD $A3|flood_ok
EOF

# --- A crowd -------------------------------------------------------------------------------------
netns_exec 4 ip -b - <<<"$(for k in $(seq 50 249); do echo "addr add $(netns_addr "$k")/24 dev eth0"; done)" || fail "no addresses"
netns_bg 4 "$files/crowd" "$JX_TOOLS/jx_peer" crowd "$MC2" "$(netns_addr 50)" 200 50 "$CROWD_S"
press 3 F2 "^  1\| +$(re "$MC2")\|  Multicast\|    Up\|   20[0-9]\$" "the crowd is not on the networks screen"
r0=$(rss) c0=$(cpu) t0=$SECONDS
pick 3 "^  1\|"
press 3 Enter "p[0-9]+ >>> load [0-9]+ from p" "the crowd's texts are not shown"
press 3 F5 "\| +p1[0-9]*\|" "the crowd is not on the peers screen"
eventually $((CROWD_S + 30)) grep -q '^texts=' "$files/crowd" || fail "the crowd did not finish"
r1=$(rss) c1=$(cpu) t1=$SECONDS
read -r sent acked <<<"$(sed -nE 's/^texts=([0-9]+) acked=([0-9]+) .*/\1 \2/p' "$files/crowd")"
[ "$sent" = "$acked" ] || fail "the crowd: $(cat "$files/crowd")"
echo "ok: 200 peers and 50 texts/s: $(cat "$files/crowd"); carol: CPU $(((c1 - c0) * 100 / $(getconf CLK_TCK) / (t1 - t0 + 1))) %, RSS $r0 -> $r1 kB"
echo "PASS"
