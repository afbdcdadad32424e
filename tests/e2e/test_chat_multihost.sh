#!/usr/bin/env bash
# Three people chat and send files on a LAN: the real program on three namespace hosts, each in its
# own tmux window and storage root, driven by keys and read back from the screen.
#   - all three join 239.0.0.5 from the F3 list, see each other on F5 and the network "Up" on F2
#   - a main-channel text reaches the others in cyan and turns green (delivered) on the sender
#   - a direct channel opened from the peers screen carries a text the third host never sees
#   - on it alice sends bob 100 MiB with /snd; he accepts it on F6 with Enter, it arrives
#     byte-identical, checked on arrival ("Chksum OK" on his side, "Done" on hers) and Ctrl-T checks
#     it again
#   - lists keep the highlight on its entry; a declined offer and a download removed under way are
#     reported to the sender at once; quitting during a download asks first
#   - a restarted host joins its network again and F8 opens its last channel with its history
# (Lost texts, a vanished host, private networks, checksum failures, renames and hostile texts are
# the engine and terminal suites'; transfers under loss and reordering, and a hostile peer, are
# test_faults.sh's.)
# Usage: test_chat_multihost.sh JEXLEY_BINARY
set -u -o pipefail
source "$(dirname "$0")/lib_tmux.sh"

tmux_hosts "${1:-}"
netns_require nft
netns_up 3 || fail "could not build the namespace hosts"
MC=239.0.0.5
A1=$(netns_addr 1); A2=$(netns_addr 2); A3=$(netns_addr 3)
# Hosts are started within the same second on purpose: each must still draw its own instance id.
make_host 1 alice; make_host 2 bob; make_host 3 carol

# --- Joining from the LAN list, peers and networks screens ------------------------------------------
for i in 1 2 3; do join_lan "$i" "$MC"; done
for i in 1 2 3; do
    for j in 1 2 3; do
        [ "$j" = "$i" ] && continue
        eventually 30 reopened "$i" F5 "^ *[0-9]+\| +${NAME[$j]}\| +$(re "$(netns_addr "$j")")\$" ||
            fail "host $i does not list ${NAME[$j]} on the peers screen"
    done
    press "$i" F2 "^  1\| +$(re $MC)\|  Multicast\|    Up\|     2\$" "network not Up with 2 peers"
done
# Alice was online first, so the other two were announced to her.
press 1 F8 "System >>> bob\($(re "$A2")\) joined" "no join notice for bob"
see 1 "System >>> carol\($(re "$A3")\) joined" "no join notice for carol"

# --- A text on the main channel ------------------------------------------------------------------
for i in 2 3; do press "$i" F8 "^$(re $MC) \| Main \| online" "main channel not back on F8"; done
typeln 1 "hello from alice"
for i in 2 3; do see "$i" $'\e\\[36m.*alice >>> hello from alice' "alice's text not shown in cyan" -e; done
see 1 $'\e\\[32m.*alice <<< hello from alice' "text not shown delivered (green)" -e

# --- A direct channel from the peers screen --------------------------------------------------------
press 1 F5 "\| +bob\|" "bob not on the peers screen"
pick 1 "\| +bob\|"
press 1 Enter "^bob \| $(re "$A2")@$(re $MC) \| Net DM \| online" "direct channel with bob not open"
typeln 1 "secret for bob"
see 1 $'\e\\[32m.*alice <<< secret for bob' "direct text not delivered" -e
press 2 F4 "\| +alice\|  Net DM\| .*1 unread\$" "no unread direct channel with alice"
pick 2 "\| +alice\|  Net DM\|"
press 2 Enter "alice >>> secret for bob" "direct text not shown"
# Carol's screens are checked once they are drawn; the text was delivered to bob long ago.
press 3 F4 "^ +1\| +Main channel\|" "no channel list"
[[ $(screen 3) != *"Net DM"* ]] || fail "carol lists a direct channel she is not part of"
grep -rqF "secret for bob" "${ROOT[3]}/msg" && fail "carol stored the direct text"
press 3 F8 "alice >>> hello from alice" "main channel not back on F8"

# --- Files on the direct channel -----------------------------------------------------------------
files=$(netns_tmpdir)
# offer NAME MIB: alice offers a new file of that size on her direct channel with bob. send NAME
# MIB: once it shows pending at the top of bob's downloads screen, he enters that screen again,
# which highlights its first row, and accepts it.
offer() {
    head -c $(($2 * 1048576)) /dev/urandom >"$files/$1"
    typeln 1 "/snd $files/$1"
    see 1 "System >>> Preparing to send file \[$1\]" "no preparing notice for $1"
}
send() {
    offer "$@"
    eventually 30 reopened 2 F6 "^ +1\| +$1\| +$(re "$A1")\| .*\| +Pending\$" || fail "$1 not offered"
    press 2 F6 "$(sel 1) +$1\|" "$1 not highlighted on entering the downloads screen" -e
    press 2 Enter "^ +1\| .*\| *(Downloading|Chksum OK|Chksum fail)\$" "$1 not accepted"  # its name may change
}
sel() { echo $'^\e\\[30m\e\\[45m +'"$1"'\|'; }  # the highlighted row N (screen with colours)
send big.bin 100
eventually 120 shown 2 "^ +1\| +big\.bin\| +$(re "$A1")\| +104\.86MB\| +Chksum OK\$" || fail "big.bin not done"
cmp -s "$files/big.bin" "${ROOT[2]}/downloads/big.bin" || fail "big.bin differs from what alice sent"
press 2 CtrlT "^Progress: .*\] ?Chksum OK" "big.bin not verified OK"
press 1 F7 "^ +1\| +big\.bin\| +$(re "$A2")\| +104\.86MB\| +Done\$" "alice: no Done row"
press 1 F8 "^bob \| " "alice: direct channel not back on F8"

# --- Bob declines an offer and removes a download under way: alice learns of both at once -----------
# His list keeps the highlight on its entry when an offer arrives above it, and after Delete the row
# that takes the removed one's place is highlighted. Quitting during a download asks first.
press 2 F6 "$(sel 1) +big\.bin\|" "big.bin not highlighted on entering the downloads screen" -e
offer decl.bin 1
see 2 "$(sel 2) +big\.bin\|" "the highlight left its entry when an offer came" -e
press 2 Up "$(sel 1) +decl\.bin\|" "Up did not reach the offer" -e
press 2 Delete "$(sel 1) +big\.bin\|" "after Delete the row in its place is not highlighted" -e
see 1 "System >>> Declined by bob \[decl\.bin\]" "alice: no notice of the decline"
netns_drop 1 out 8856 || fail "nft on host 1"  # alice's chunks are lost: the download stays under way
send stall.bin 1
press 2 CtrlC "^1 transfer in progress\. Quit\? y/N" "Ctrl-C did not ask during a download"
tm 2 send-keys -t jx -l n
see 2 "^xxx *\$" "the quit question did not go on n"
press 2 Delete "^ +1\| +big\.bin\|" "stall.bin not removed"
see 1 "System >>> Upload failed \[stall\.bin\]" "alice: the removed download did not fail her upload"
grep -q $'\tUpload failed\r$' "${ROOT[1]}/jx_internal/log" && fail "alice's upload timed out instead of being told"
netns_undrop 1

# --- Bob quits and comes back: his network and last channel are remembered ---------------------------
press 2 Escape "^alice \| .* \| Net DM \| " "Esc on the downloads screen did not go back to the channel"
press 2 Escape "Client Details" "Esc did not go home"
key 2 Escape
eventually 30 ended 2 && [ "$(cat "${ROOT[2]}/exit_status")" = 0 ] || fail "bob: the program did not end with status 0 on Esc from home"
start_host 2
see 2 "Joined networks: +1" "the network was not joined again at start"
eventually 30 reopened 2 F8 "^alice \| $(re "$A1")@$(re $MC) \| Net DM \| " || fail "F8 did not open the last channel"
see 2 "alice >>> secret for bob" "history not shown after the restart"

echo "PASS"
