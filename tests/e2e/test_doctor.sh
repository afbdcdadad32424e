#!/usr/bin/env bash
# jexley --doctor on three namespace hosts beside an engine driver ("alice", host 1) that beacons
# on 239.0.0.1 and on the broadcast network. Host 2 finds everything working and hears alice on
# both; host 3, without routes and with a firewall rule dropping UDP 8856, is told of both and
# still hears the broadcast; host 4, with groups but no default route, gets a warning for
# broadcast and no failure; on host 1 the driver holds both ports, and the doctor names it and
# hears alice all the same. The doctor makes nothing in the storage root it inspects, never writes
# through a link planted there, and never runs the nft it would find first on PATH.
set -u -o pipefail
bin=$(realpath "${1:?usage: test_doctor.sh path/to/jexley}")
source "$(dirname "$0")/lib_driver.sh"

netns_require nft
driver_find "$bin"
netns_up 4 || fail "no hosts"
driver_start 1
driver_cmd 1 uname alice
for net in 239.0.0.1 255.255.255.255; do
    driver_cmd 1 join "$net"
    driver_wait 1 "^EV_NET_REFRESH .* net=$net\$" || fail "alice is not online on $net"
done
netns_exec 3 ip route del 224.0.0.0/4 && netns_exec 3 ip route del default && netns_drop 3 in 8856 ||
    fail "cannot take host 3's routes away"
netns_exec 4 ip route del default || fail "cannot take host 4's default route away"
dir=$(netns_tmpdir)
mkdir "$dir/jx_internal" && cp "$bin" "$dir/jexley" || fail "no root for the doctor"
# A link planted at the probe file's place and an nft first on PATH: neither may be used.
echo "known content" >"$dir/outside" && ln -s "$dir/outside" "$dir/jx_internal/.jx_test_file" &&
    mkdir "$dir/bin" && printf '#!/bin/sh\ntouch "%s/ran"\n' "$dir" >"$dir/bin/nft" && chmod +x "$dir/bin/nft" ||
    fail "cannot plant the link and the fake nft"
# Host 2 has no raw sockets (CAP_NET_RAW): its doctor listens on the shared port instead.
raw=([1]="" [2]="setpriv --bounding-set -net_raw" [3]="" [4]="")
for i in 1 2 3 4; do
    (cd "$dir" && netns_exec "$i" ${raw[$i]} env PATH="$dir/bin:$PATH" ./jexley --doctor >"$dir/out$i" 2>&1
        echo "rc=$?" >>"$dir/out$i") &
done
wait

a1=$(netns_addr 1 | sed 's/\./\\./g')
alice="  \[ok  \] heard alice at $a1 on"
# expect i REGEX WHAT: a line of host i's report matches; nomatch: none does.
expect() { grep -qE -- "$2" "$dir/out$1" || { cat "$dir/out$1"; fail "host $1: $3"; }; }
nomatch() { ! grep -qE -- "$2" "$dir/out$1" || { cat "$dir/out$1"; fail "host $1: $3"; }; }

expect 2 "^  \[ok  \] multicast to 239\.0\.0\.1 leaves by eth0 from ${a1%1}2 \(route 224\.0\.0\.0/4\)$" "route"
expect 2 "^  \[ok  \] UDP 8855 is free$" "port 8855"
expect 2 "^  \[info\] .*/msg/ is missing$" "msg/ missing"
expect 2 "^  \[ok  \] no nftables rule drops UDP 8855 or 8856$" "firewall"
expect 2 "^$alice 239\.0\.0\.1 " "alice on the group"
expect 2 "^$alice broadcast 255\.255\.255\.255 " "alice on broadcast"
expect 2 "^rc=0$" "exit status"
expect 3 "^  \[FAIL\] no route for multicast to 239\.0\.0\.1 \(Network is unreachable\)$" "missing route"
expect 3 "^  \[FAIL\] table inet jx, chain in \(input\): udp dport 8856 drop$" "firewall rule"
expect 3 "^$alice broadcast 255\.255\.255\.255 " "alice on broadcast"
nomatch 3 "^$alice 239" "heard a group without a route"
expect 3 "^rc=1$" "exit status"
expect 4 "^  \[warn\] no route for broadcast to 255\.255\.255\.255 \(Network is unreachable\)$" "broadcast"
expect 4 "^rc=0$" "exit status"
expect 1 "^  \[info\] UDP 8855 is held by jx_engine_drive \(pid $(driver_pid 1)\)$" "holder of 8855"
expect 1 "^$alice 239\.0\.0\.1 " "alice on the group, port held"
[ ! -e "$dir/msg" ] || fail "the doctor made msg/"
[ "$(cat "$dir/outside")" = "known content" ] || fail "the doctor wrote through the planted link"
[ ! -e "$dir/ran" ] || fail "the doctor ran the nft found on PATH"
log="$JX_DRV_DIR/root1/jx_internal/log"
grep -qE $'\tHost addresses: lo 127\\.0\\.0\\.1/8, eth0 '"$a1/24"$'\r$' "$log" || fail "no host addresses in the log"
grep -q $'\tNetwork 239.0.0.1 is online\r$' "$log" || fail "no online line in the log"
echo PASS
