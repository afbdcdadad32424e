#!/usr/bin/env bash
# Two people send each other files as users do: the real program on two namespace hosts in tmux.
#   - alice opens a direct channel with bob from the peers screen and types /snd with a 100 MiB
#     file; bob sees the offer on F6 and accepts it with Enter; the file arrives byte-identical,
#     both sides show their notices and "Done" rows; Ctrl-T on bob's row ends "Chksum OK"
#   - the same name sent again arrives as name_(1).ext; changed on disk, its Ctrl-T ends in the
#     checksum failure
#   - a transfer with 5 % loss on port 8856 both ways and 10 % of the datagrams duplicated still
#     arrives byte-identical
# Usage: test_transfer_screens.sh JEXLEY_BINARY
set -u -o pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib_netns.sh"
source "$here/lib_tmux.sh"

tmux_hosts "${1:-}"
netns_require nft
netns_up 2 || fail "could not build the namespace hosts"
MC=239.0.0.7
A1=$(netns_addr 1); A2=$(netns_addr 2)
make_host 1 alice; make_host 2 bob
files=$(netns_tmpdir)
for i in 1 2; do join_lan "$i" "$MC"; done
eventually 30 reopened 1 F5 "\| +bob\| +$(re "$A2")\$" || fail "alice does not list bob"
pick 1 "\| +bob\|"
press 1 Enter "^bob \| $(re "$A2")@$(re $MC) \| Net DM \| " "direct channel with bob not open"
eventually 30 reopened 1 F8 "^bob \| .* \| Net DM \| online" || fail "bob never shown online"
press 2 F6 "^ +No\| +Filename\| +Source\| +Size\| +Status\$" "no downloads screen"

# send NAME MIB: alice offers a new file of that size on her direct channel with bob; bob's
# downloads screen shows it pending in row ROW, he picks it and accepts it.
send() {
    head -c $(($2 * 1048576)) /dev/urandom >"$files/$1"
    typeln 1 "/snd $files/$1"
    see 1 "System >>> Preparing to send file \[$1\]" "no preparing notice for $1"
    see 2 "^ +$3\| +$1\| +$(re "$A1")\| .*\| +Pending\$" "$1 not offered on row $3"
    press 2 F6 "^ +$3\| +$1\| .*\| +Pending\$" "downloads screen not entered again"  # no highlight
    pick 2 "^ +$3\| +$1\|"
    press 2 Enter "^ +$3\| .*\| *(Downloading|Done)\$" "$1 not accepted"  # its name may change
}
same() { cmp -s "$files/$1" "${ROOT[2]}/downloads/$2" || fail "$2 differs from what alice sent"; }

send big.bin 100 1
eventually 120 shown 2 "^ +1\| +big\.bin\| +$(re "$A1")\| +104\.86MB\| +Done\$" || fail "big.bin not done"
same big.bin big.bin
see 2 "Completed in: " "no completion time for big.bin"
press 2 CtrlT "^Progress: .*\] ?Chksum OK" "big.bin not verified OK"
see 1 "System >>> Upload complete \[big\.bin\]" "alice: no upload notice"
press 1 F7 "^ +1\| +big\.bin\| +$(re "$A2")\| +104\.86MB\| +Done\$" "alice: no Done row"
grep -qaF "Download complete [big.bin]" "${ROOT[2]}/msg/"* || fail "bob: no download notice stored"
grep -qaF "Peer trying to send file [big.bin]" "${ROOT[2]}/msg/"* || fail "bob: no offer notice stored"
echo "ok: 100 MiB through the screens, byte-identical, notices, Done rows, Chksum OK"

press 1 F8 "^bob \| " "alice: direct channel not back on F8"
send big.bin 1 1
eventually 60 shown 2 "^ +1\| +big_\(1\)\.bin\| .*\| +Done\$" || fail "big_(1).bin not done"
same big.bin "big_(1).bin"
printf 'X' | dd of="${ROOT[2]}/downloads/big_(1).bin" bs=1 seek=100 conv=notrunc 2>/dev/null
press 2 CtrlT "Checksum failed! Consider removing the file" "changed file not reported"
echo "ok: the same name arrives as big_(1).bin; a changed file fails its check"

for i in 1 2; do netns_drop "$i" in 8856 5 || fail "nft on host $i"; done
netns_dup 1 8856 10 "$A2" && netns_dup 2 8856 10 "$A1" || fail "nft dup"
send rough.bin 20 1
eventually 120 shown 2 "^ +1\| +rough\.bin\| .*\| +Done\$" || fail "rough.bin not done"
same rough.bin rough.bin
echo "ok: 5 % loss and 10 % duplicates both ways, still byte-identical"
echo "PASS"
