#!/usr/bin/env bash
# Two hosts move files through the engine (the screenless driver) on a multicast network's direct
# channel: several MiB arrive byte-identical and verified, once clean and once with 5 % of the
# datagrams to port 8856 dropped by each host. (A receiver cut off in the middle of a transfer is
# test_faults.sh's blackhole.)
# Usage: test_transfer_multihost.sh JEXLEY_BINARY
set -u -o pipefail
source "$(dirname "$0")/lib_netns.sh"
source "$(dirname "$0")/lib_driver.sh"

netns_require nft
driver_find "${1:-}"
netns_up 2 || fail "could not build the namespace hosts"
MC=239.4.5.6
A1=$(netns_addr 1); A2=$(netns_addr 2)
for i in 1 2; do driver_start "$i" && driver_cmd "$i" "join $MC"; done
driver_until 1 "peers $MC" "^PEER $MC $A2 " || fail "host 1 never saw host 2"
driver_until 2 "peers $MC" "^PEER $MC $A1 " || fail "host 2 never saw host 1"
driver_cmd 1 "chan $MC $A2"

arrives() {  # name: the file arrives whole on host 2, both sides say so, and it verifies
    driver_arrived "$1"
    driver_cmd 2 "verify $ID"
    driver_until 2 transfers "^FINDL id=$ID .* state=11 " || fail "$1: verification did not end OK"
    echo "ok: $1 verified"
}

driver_offer clean.bin 6
arrives clean.bin

for i in 1 2; do netns_drop "$i" in 8856 5 || fail "nft on host $i"; done
driver_offer lossy.bin 4
arrives lossy.bin
for i in 1 2; do netns_undrop "$i"; done

echo "PASS"
