#!/usr/bin/env bash
# Three hosts running the engine (through the screenless driver) over real sockets:
# discovery on a multicast group and on 255.255.255.255, a direct-IP network opened by query,
# a broadcast text received exactly once and reported delivered, texts to a host whose traffic
# is dropped (counted on the wire: first send plus five resends, nothing after the verdict), a
# host that vanishes without leaving dropped after a minute of silence, and a clean leave.
# (A multicast text received and delivered is what the user sees in test_chat_multihost.sh, and so
# are the join notices of the peers that came after us.)
# Usage: test_engine_multihost.sh JEXLEY_BINARY
set -u -o pipefail
source "$(dirname "$0")/lib_driver.sh"

netns_require nft
driver_find "${1:-}"
netns_up 3 || fail "could not build the namespace hosts"

MC=239.1.2.3 BC=255.255.255.255
A1=$(netns_addr 1); A2=$(netns_addr 2); A3=$(netns_addr 3)
declare -A NAME=([1]=alice [2]=bob [3]=carol) ADDR=([1]=$A1 [2]=$A2 [3]=$A3)

for i in 1 2 3; do driver_start "$i" && driver_cmd "$i" "uname ${NAME[$i]}"; done

field() { sed -E "s/.* $1=([0-9]+) .*/\1/" <<<"$2"; }  # name event-line -> numeric field

peers_are() {  # host net want: the peers of net on host are exactly want (sorted "addr name" lines)
    [ "$(driver_ask "$1" "peers $2" | awk -v n="$2" '$1 == "PEER" && $2 == n { sub("name=", "", $5); print $3, $5 }' | sort)" = "$3" ]
}

expect_peers() {  # net host...: each of the hosts knows exactly the others by address and name
    local i j want
    for i in "${@:2}"; do
        want=$(for j in "${@:2}"; do [ "$j" = "$i" ] || echo "${ADDR[$j]} ${NAME[$j]}"; done | sort)
        eventually 30 peers_are "$i" "$1" "$want" || fail "host $i on $1: peers never became [$want]"
    done
}

send() {  # host net text: send text on the main channel of net; its message id goes to $ID
    driver_cmd "$1" "txt $2 0 $3"
    ID=$(field id "$(driver_line "$1" "^EV_TXT_SENT .* text=$3\$")")
    [ -n "$ID" ] || fail "no EV_TXT_SENT for '$3'"
}

# --- Discovery on a multicast group and on the broadcast address.
for net in "$MC" "$BC"; do
    for i in 1 2 3; do driver_cmd "$i" "join $net"; done
    for i in 1 2 3; do driver_wait "$i" "^EV_NET_REFRESH .* net=$net\$" || fail "host $i: $net never came online"; done
    expect_peers "$net" 1 2 3
done

# --- Direct-IP network: alice queries carol's address, carol opens an incoming network.
driver_cmd 1 "join $A3"
driver_wait 3 "^EV_PEER_JOINED .* net=$A1 peer=$A1 name=alice " || fail "carol did not open a network for alice's query"
driver_wait 1 "^EV_PEER_JOINED .* net=$A3 peer=$A3 name=carol " || fail "alice never heard carol's beacon on the direct network"
driver_until 1 nets "^NET $A3 type=4 status=1 " || fail "alice's direct network is not outgoing and online"
driver_until 3 nets "^NET $A1 type=3 status=1 " || fail "carol's direct network is not incoming and online"
# The answer travels from carol's port 8855 to alice's unbound sending socket.
for pair in "1 3 hello over direct" "3 1 and back"; do
    read -r from to t <<<"$pair"
    send "$from" "${ADDR[$to]}" "$t"
    driver_wait "$to" "^EV_TXT_RECEIVED .* ch=3 id=$ID a=${ADDR[$from]} b=${ADDR[$from]} .* user=${NAME[$from]} text=$t\$" ||
        fail "direct text '$t' not received"
    driver_wait "$from" "^EV_TXT_DELIVERED .* ch=3 id=$ID " || fail "direct text '$t' not reported delivered"
done

# --- A broadcast text reaches both other hosts (counted once at the end) and is delivered.
send 2 "$BC" "hello broadcast"
for i in 1 3; do
    driver_wait "$i" "^EV_TXT_RECEIVED .* ch=1 id=$ID a=$BC b=$A2 .* user=bob text=hello broadcast\$" ||
        fail "host $i did not receive the broadcast text"
done
driver_wait 2 "^EV_TXT_DELIVERED .* ch=1 id=$ID a=$BC " || fail "broadcast text not reported delivered"

# --- Carol's presence port goes deaf. Count what reaches it of two texts (distinct lengths:
# udp length = 8 + 30-byte header + text) in a table of its own that runs before the drop.
t_dir="lost on direct"; t_grp="lost in group!!"
netns_exec 3 nft -f - <<EOF || fail "nft rules failed"
table inet count { chain in { type filter hook input priority -1; udp length $((38 + ${#t_dir})) counter; udp length $((38 + ${#t_grp})) counter; }; }
table inet block { chain in { type filter hook input priority 0; udp dport 8855 drop; }; }
EOF
# Each lost text reached carol's host exactly 6 times (one send, five resends).
counted() { [ "$(netns_exec 3 nft list table inet count | grep -c 'counter packets 6 ')" = 2 ]; }
# Alice's ephemeral sending socket answers on the direct network, so only carol's 8855 is cut.
send 1 "$A3" "$t_dir" && id_dir=$ID
send 1 "$MC" "$t_grp" && id_grp=$ID
driver_wait 2 "^EV_TXT_RECEIVED .* ch=1 id=$id_grp a=$MC b=$A1 .* user=alice text=$t_grp\$" || fail "bob did not get the group text"
sent_us=$(field us "$(driver_line 1 "^EV_TXT_SENT .* id=$id_dir ")")

# Bob vanishes without a leave packet right after acknowledging.
driver_cmd 2 crash
crash_us=$(date +%s%6N)

l=$(driver_line 1 "^EV_TXT_UNDELIVERED .* ch=3 id=$id_dir " 60) || fail "direct text to the deaf host not reported undelivered"
took=$((($(field us "$l") - sent_us) / 1000000))
[ "$took" -ge 9 ] && [ "$took" -le 20 ] || fail "undelivered verdict after $took s, want 12..15 s"
driver_wait 1 "^EV_TXT_PARTLY_UNDELIVERED .* ch=1 id=$id_grp a=$MC " ||
    fail "group text acknowledged by bob only not reported partly undelivered"
[ "$(driver_count 1 "^EV_TXT_DELIVERED .* id=($id_dir|$id_grp) ")" = 0 ] || fail "a lost text was reported delivered"
eventually 10 counted || fail "carol's host did not see each lost text 6 times: $(netns_exec 3 nft list table inet count)"
netns_exec 3 nft delete table inet block || fail "could not unblock carol"
echo "ok: undelivered after $took s, partly undelivered; 1 + 5 transmissions each"

# --- Bob is dropped by the two others after a minute of silence (beacons every 11 s, so the
# last one left 0..11 s before the crash).
for i in 1 3; do
    for net in "$MC" "$BC"; do
        l=$(driver_line "$i" "^EV_PEER_DROPPED .* net=$net peer=$A2 name=bob " 120) || fail "host $i never dropped bob from $net"
        gone=$((($(field us "$l") - crash_us) / 1000000))
        [ "$gone" -ge 45 ] && [ "$gone" -le 75 ] || fail "host $i dropped bob from $net $gone s after he vanished, want about 50..62"
    done
    [ "$(driver_count "$i" "^EV_PEER_LEFT .* peer=$A2 ")" = 0 ] || fail "host $i saw a leave from bob"
done
expect_peers "$MC" 1 3
expect_peers "$BC" 1 3
echo "ok: vanished host dropped after about $gone s"
# A minute later still: no duplicate of the broadcast text, no transmission after a verdict.
for i in 1 3; do [ "$(driver_count "$i" "text=hello broadcast\$")" = 1 ] || fail "host $i got the broadcast text other than once"; done
counted || fail "a lost text was sent again after its verdict: $(netns_exec 3 nft list table inet count)"

# --- Carol quits cleanly: alice sees her leave everywhere and the direct network closes.
driver_cmd 3 quit
driver_wait 3 '^BYE$' || fail "carol did not shut down"
for net in "$MC" "$BC" "$A3"; do
    driver_wait 1 "^EV_PEER_LEFT .* net=$net peer=$A3 name=carol " || fail "alice missed carol's leave on $net"
done
driver_wait 1 "^EV_NET_CHANGED .* net=$A3\$" || fail "alice's direct network did not change on the leave"
driver_until 1 nets "^NET $A3 type=0 status=2 " || fail "alice's direct network is not closed"
echo "PASS"
