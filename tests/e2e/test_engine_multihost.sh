#!/usr/bin/env bash
# Three hosts running the engine (through the screenless driver) over real sockets:
# discovery on a multicast group and on 255.255.255.255, a direct-IP network opened by query,
# delivery of a main-channel text, texts to a host whose traffic is dropped (counted on the
# wire: first send plus five resends), and a host that vanishes without leaving being dropped
# after a minute of silence. Usage: test_engine_multihost.sh JEXLEY_BINARY
set -u -o pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib_netns.sh"
source "$here/lib_driver.sh"

netns_require nft
driver_find "${1:-}"
netns_up 3 || fail "could not build the namespace hosts"

MC=239.1.2.3
BC=255.255.255.255
A1=$(netns_addr 1); A2=$(netns_addr 2); A3=$(netns_addr 3)
declare -A NAME=([1]=alice [2]=bob [3]=carol)
declare -A ADDR=([1]=$A1 [2]=$A2 [3]=$A3)

for i in 1 2 3; do
    driver_start "$i"
    driver_cmd "$i" "uname ${NAME[$i]}"
done

peers_of() {  # host net -> sorted "addr name" lines of that network's peers
    driver_ask "$1" "peers $2" | awk -v n="$2" '$1 == "PEER" && $2 == n { sub("name=", "", $5); print $3, $5 }' | sort
}

expect_peers() {  # net -> every host knows the two others by address and name, within 20 s
    local net=$1 i j want got end=$((SECONDS + 20))
    for i in 1 2 3; do
        want=$(for j in 1 2 3; do [ "$j" = "$i" ] || echo "${ADDR[$j]} ${NAME[$j]}"; done | sort)
        while got=$(peers_of "$i" "$net"); [ "$got" != "$want" ]; do
            [ $SECONDS -ge $end ] && fail "host $i on $net has peers [$got], want [$want]"
            sleep 0.3
        done
    done
}

# --- Discovery on a multicast group and on the broadcast address.
for i in 1 2 3; do driver_cmd "$i" "join $MC"; done
for i in 1 2 3; do
    driver_wait "$i" "^EV_NET_REFRESH .* net=$MC\$" 10 >/dev/null || fail "host $i: $MC never came online"
done
expect_peers "$MC"
# The first host was online before the others joined, so each of them was announced to it.
driver_wait 1 "^EV_PEER_JOINED .* net=$MC peer=$A2 name=bob " 1 >/dev/null || fail "bob not announced to alice"
driver_wait 1 "^EV_PEER_JOINED .* net=$MC peer=$A3 name=carol " 1 >/dev/null || fail "carol not announced to alice"
echo "ok: discovery on $MC"

for i in 1 2 3; do driver_cmd "$i" "join $BC"; done
for i in 1 2 3; do
    driver_wait "$i" "^EV_NET_REFRESH .* net=$BC\$" 10 >/dev/null || fail "host $i: $BC never came online"
done
expect_peers "$BC"
echo "ok: discovery on $BC"

# --- Direct-IP network: alice queries carol's address, carol opens an incoming network.
driver_cmd 1 "join $A3"
driver_wait 3 "^EV_PEER_JOINED .* net=$A1 peer=$A1 name=alice " 10 >/dev/null || fail "carol did not open a network for alice's query"
driver_wait 1 "^EV_PEER_JOINED .* net=$A3 peer=$A3 name=carol " 10 >/dev/null || fail "alice never heard carol's beacon on the direct network"
driver_ask 1 nets | grep -q "^NET $A3 type=4 status=1 " || fail "alice's direct network is not outgoing and online"
driver_ask 3 nets | grep -q "^NET $A1 type=3 status=1 " || fail "carol's direct network is not incoming and online"
driver_cmd 1 "txt $A3 0 hello over direct"
driver_wait 3 "^EV_TXT_RECEIVED .* ch=3 .* a=$A1 b=$A1 .* user=alice text=hello over direct\$" 5 >/dev/null || fail "direct text not received"
driver_wait 1 "^EV_TXT_DELIVERED .* ch=3 " 5 >/dev/null || fail "direct text not reported delivered"
# The answer travels from carol's port 8855 to alice's unbound sending socket.
driver_cmd 3 "txt $A1 0 and back"
driver_wait 1 "^EV_TXT_RECEIVED .* ch=3 .* a=$A3 b=$A3 .* user=carol text=and back\$" 5 >/dev/null || fail "direct answer not received"
driver_wait 3 "^EV_TXT_DELIVERED .* ch=3 " 5 >/dev/null || fail "direct answer not reported delivered"
echo "ok: direct-IP network $A1 <-> $A3"

# --- A main-channel text reaches both other hosts and is reported delivered once.
text_id() {  # host text -> message id of the EV_TXT_SENT line for that text
    driver_wait "$1" "^EV_TXT_SENT .* text=$2\$" 5 | sed -E 's/.* id=([0-9]+) .*/\1/'
}
driver_cmd 1 "txt $MC 0 hello group"
id=$(text_id 1 "hello group") || fail "no EV_TXT_SENT for the group text"
for i in 2 3; do
    driver_wait "$i" "^EV_TXT_RECEIVED .* ch=1 id=$id a=$MC b=$A1 .* user=alice text=hello group\$" 5 >/dev/null ||
        fail "host $i did not receive the group text"
done
driver_wait 1 "^EV_TXT_DELIVERED .* ch=1 id=$id a=$MC " 5 >/dev/null || fail "group text not reported delivered"
driver_cmd 2 "txt $BC 0 hello broadcast"
id=$(text_id 2 "hello broadcast") || fail "no EV_TXT_SENT for the broadcast text"
driver_wait 2 "^EV_TXT_DELIVERED .* ch=1 id=$id a=$BC " 5 >/dev/null || fail "broadcast text not reported delivered"
for i in 1 3; do
    [ "$(driver_count "$i" "text=hello broadcast\$")" = 1 ] || fail "host $i got the broadcast text other than once"
done
echo "ok: main-channel texts delivered"

# --- Carol's presence port goes deaf. Count what reaches it of two texts (distinct lengths).
netns_block 3 || fail "nft block failed"
t_dir="lost on direct"; t_grp="lost in group!!"
for t in "$t_dir" "$t_grp"; do
    # udp length = 8 + 30-byte header + text
    netns_exec 3 nft insert rule inet f in udp length $((38 + ${#t})) counter || fail "nft counter failed"
done
# Alice's ephemeral sending socket answers on the direct network, so only carol's 8855 is cut.
driver_cmd 1 "txt $A3 0 $t_dir"
driver_cmd 1 "txt $MC 0 $t_grp"
id_dir=$(text_id 1 "$t_dir") || fail "direct text not sent"
id_grp=$(text_id 1 "$t_grp") || fail "group text not sent"
driver_wait 2 "text=$t_grp\$" 5 >/dev/null || fail "bob did not get the group text"
sent_us=$(driver_wait 1 "^EV_TXT_SENT .* id=$id_dir " 1 | sed -E 's/.* us=([0-9]+) .*/\1/')

# Bob vanishes without a leave packet right after acknowledging.
driver_cmd 2 crash
crash_s=$SECONDS

l=$(driver_wait 1 "^EV_TXT_UNDELIVERED .* ch=3 id=$id_dir " 25) || fail "direct text to the deaf host not reported undelivered"
und_us=$(echo "$l" | sed -E 's/.* us=([0-9]+) .*/\1/')
took=$(( (und_us - sent_us) / 1000000 ))
[ "$took" -ge 9 ] && [ "$took" -le 18 ] || fail "undelivered verdict after $took s, want 12..15 s"
driver_wait 1 "^EV_TXT_PARTLY_UNDELIVERED .* ch=1 id=$id_grp a=$MC " 5 >/dev/null ||
    fail "group text acknowledged by bob only not reported partly undelivered"
[ "$(driver_count 1 "^EV_TXT_DELIVERED .* id=($id_dir|$id_grp) ")" = 0 ] || fail "a lost text was reported delivered"
sleep 1
rules=$(netns_exec 3 nft list chain inet f in)
for t in "$t_dir" "$t_grp"; do
    n=$(echo "$rules" | sed -nE "s/.*udp length $((38 + ${#t})) counter packets ([0-9]+) .*/\1/p")
    [ "$n" = 6 ] || fail "carol's port saw '$t' $n times, want 6 (one send, five resends)"
done
netns_unblock 3
echo "ok: undelivered after $took s, partly undelivered; 1 + 5 transmissions each"

# --- Bob is dropped by the two others after a minute of silence (beacons every 11 s, so the
# last one left 0..11 s before the crash).
for i in 1 3; do
    for net in "$MC" "$BC"; do
        driver_wait "$i" "^EV_PEER_DROPPED .* net=$net peer=$A2 name=bob " 80 >/dev/null ||
            fail "host $i never dropped bob from $net"
    done
done
gone=$((SECONDS - crash_s))
[ "$gone" -ge 45 ] && [ "$gone" -le 75 ] || fail "bob dropped $gone s after he vanished, want about 50..62"
for i in 1 3; do
    [ "$(driver_count "$i" "^EV_PEER_LEFT .* peer=$A2 ")" = 0 ] || fail "host $i saw a leave from bob"
    [ -z "$(peers_of "$i" "$MC" | grep "^$A2 ")" ] || fail "bob still a peer of host $i"
done
echo "ok: vanished host dropped after about $gone s"

# --- Carol quits cleanly: alice sees her leave everywhere and the direct network closes.
driver_cmd 3 quit
driver_wait 3 '^BYE$' 5 >/dev/null || fail "carol did not shut down"
for net in "$MC" "$BC" "$A3"; do
    driver_wait 1 "^EV_PEER_LEFT .* net=$net peer=$A3 name=carol " 5 >/dev/null || fail "alice missed carol's leave on $net"
done
driver_wait 1 "^EV_NET_CHANGED .* net=$A3\$" 5 >/dev/null || fail "alice's direct network did not change on the leave"
driver_ask 1 nets | grep -q "^NET $A3 type=0 status=2 " || fail "alice's direct network is not closed"
echo "ok: leave seen on every network"
echo "PASS"
