#!/usr/bin/env bash
# Two hosts move files through the engine (the screenless driver) on a multicast network's direct
# channel: several MiB arrive byte-identical and verified, once clean and once with 5 % of the
# datagrams to port 8856 dropped by each host; a transfer whose receiver goes silent ends as
# failed on both sides within about 15 s, and no partial file is left.
# Usage: test_transfer_multihost.sh JEXLEY_BINARY
set -u -o pipefail
source "$(dirname "$0")/lib_netns.sh"
source "$(dirname "$0")/lib_driver.sh"

netns_require nft
driver_find "${1:-}"
netns_up 2 || fail "could not build the namespace hosts"
MC=239.4.5.6
A1=$(netns_addr 1); A2=$(netns_addr 2)
files=$(netns_tmpdir)
for i in 1 2; do driver_start "$i" && driver_cmd "$i" "join $MC"; done
driver_until 1 "peers $MC" "^PEER $MC $A2 " || fail "host 1 never saw host 2"
driver_until 2 "peers $MC" "^PEER $MC $A1 " || fail "host 2 never saw host 1"
driver_cmd 1 "chan $MC $A2"

offer() {  # name MiB: host 1 offers a new random file; host 2 accepts it; its id goes to $ID
    head -c $(($2 * 1048576 + 777)) /dev/urandom >"$files/$1"
    driver_cmd 1 "offer $MC $A2 $files/$1"
    driver_wait 2 "^EV_DL_OFFERED .* peer=$A1 name=$1\$" 60 || fail "$1: no offer"
    ID=$(driver_ask 2 transfers | sed -nE "s/^DL id=([0-9a-f]+) .* state=0 .* name=$1\$/\1/p")
    [ -n "$ID" ] || fail "$1: no pending download"
    driver_cmd 2 "accept $ID"
}

arrives() {  # name: the file arrives whole on host 2, both sides say so, and it verifies
    local got
    driver_wait 2 "^EV_DL_COMPLETE .* name=$1\$" 180 || fail "$1: download did not complete"
    driver_wait 1 "^EV_UL_COMPLETE .* name=$1\$" || fail "$1: upload not reported complete"
    got=$(driver_ask 2 transfers | sed -nE "s/^FINDL id=$ID .* state=6 .* path=(.*)/\1/p")
    [ "$(sha256sum <"$got")" = "$(sha256sum <"$files/$1")" ] || fail "$1: the received file differs"
    driver_cmd 2 "verify $ID"
    driver_until 2 transfers "^FINDL id=$ID .* state=11 " || fail "$1: verification did not end OK"
    echo "ok: $1 arrived byte-identical and verified"
}

offer clean.bin 6
arrives clean.bin

for i in 1 2; do netns_drop "$i" in 8856 5 || fail "nft on host $i"; done
offer lossy.bin 4
arrives lossy.bin
for i in 1 2; do netns_undrop "$i"; done

# The receiver goes silent on the data port in the middle of a transfer.
offer silent.bin 60
driver_until 2 transfers "^DL id=$ID .* state=2 .* seg=[2-9]" 60 || fail "silent.bin: never under way"
netns_drop 2 in 8856 && netns_drop 2 out 8856 || fail "nft on host 2"
cut=$SECONDS
driver_wait 2 "^EV_DL_FAILED .* name=silent.bin\$" 40 || fail "silent.bin: download did not fail"
driver_wait 1 "^EV_UL_FAILED .* name=silent.bin\$" 40 || fail "silent.bin: upload did not fail"
took=$((SECONDS - cut))
[ "$took" -le 30 ] || fail "silent.bin: both sides failed only after $took s"
driver_until 2 transfers "^FINDL id=$ID .* state=8 " || fail "silent.bin: no failed record"
[ -z "$(ls "$JX_DRV_DIR/root2/downloads" | grep silent)" ] || fail "silent.bin: a partial file is left"
echo "ok: a silent receiver fails both sides after $took s, no partial file"
echo "PASS"
