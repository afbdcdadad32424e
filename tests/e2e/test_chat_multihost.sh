#!/usr/bin/env bash
# Three people chat on a LAN: the real program on three namespace hosts, each in its own tmux
# window and storage root, driven by keys and read back from the screen.
#   - all three join 239.0.0.5 from the F3 list, see each other on F5 and the network "Up" on F2
#   - a main-channel text reaches the others in cyan and turns green (delivered) on the sender
#   - a direct channel opened from the peers screen carries a text the third host never sees
#   - a rename shows its notice; a restarted host shows its history again
#   - a text to a host whose traffic is cut turns red " xxx ", and the host is dropped after a
#     minute of silence
#   - a text and user name full of escape sequences are shown as plain characters
# Usage: test_chat_multihost.sh JEXLEY_BINARY
set -u
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib_netns.sh"

BIN=${1:-}
[ -n "$BIN" ] && [ -x "$BIN" ] || { echo "usage: $0 JEXLEY_BINARY" >&2; exit 2; }
BIN=$(cd "$(dirname "$BIN")" && pwd)/$(basename "$BIN")
command -v tmux >/dev/null || netns_skip "tmux is not installed"
command -v python3 >/dev/null || netns_skip "python3 is not installed"
netns_require nft

declare -A ROOT SOCK NAME=([1]=alice [2]=bob [3]=carol)

fail() {
    local i
    echo "FAIL: $*" >&2
    for i in 1 2 3; do
        echo "--- screen of host $i (${NAME[$i]})" >&2
        [ -n "${SOCK[$i]:-}" ] && { screen "$i" >&2 2>/dev/null || echo "(no screen)" >&2; }
        echo "--- log of host $i" >&2
        [ -n "${ROOT[$i]:-}" ] && tail -n 15 "${ROOT[$i]}/jx_internal/log" >&2 2>/dev/null
    done
    exit 1
}

netns_up 3 || fail "could not build the namespace hosts"
MC=239.0.0.5
A1=$(netns_addr 1); A2=$(netns_addr 2); A3=$(netns_addr 3)
re_addr() { echo "${1//./\\.}"; }

# --- Driving one host's window ------------------------------------------------------------------
tm() { local i=$1; shift; tmux -S "${SOCK[$i]}" "$@"; }
screen() { tm "$1" capture-pane -p -t jx; }
screen_e() { tm "$1" capture-pane -p -e -t jx; }
# The bytes of an xterm-style keyboard, sent as such (tmux has no function keys for a window
# without a client).
declare -A KEYSEQ=([F1]=$'\eOP' [F2]=$'\eOQ' [F3]=$'\eOR' [F4]=$'\eOS' [F5]=$'\e[15~' [F6]=$'\e[17~'
    [F7]=$'\e[18~' [F8]=$'\e[19~' [Up]=$'\e[A' [Down]=$'\e[B' [Delete]=$'\e[3~' [Escape]=$'\e' [Enter]=$'\r')
# One key per write: two escape sequences read together would be dropped as one unknown sequence.
keys() {
    local i=$1 k; shift
    for k in "$@"; do tm "$i" send-keys -t jx -l "${KEYSEQ[$k]}"; sleep 0.15; done
}
typeln() {
    tm "$1" send-keys -t jx -l "$2"
    sleep 0.3
    keys "$1" Enter
}
# wait_for host regex seconds [-e]: until a line of the screen (with colours when -e) matches.
wait_for() {
    local i=$1 re=$2 t=$3 how=${4:-} end=$((SECONDS + $3))
    while :; do
        if [ "$how" = -e ]; then screen_e "$i"; else screen "$i"; fi | grep -qE -- "$re" && return 0
        [ $SECONDS -ge "$end" ] && return 1
        sleep 0.2
    done
}
# wait_for, entering the screen again with key every second: a peer that was online before us is
# added silently, so nothing redraws the peers screen for it.
wait_reopen() {
    local i=$1 re=$2 t=$3 key=$4 end=$((SECONDS + $3))
    while :; do
        keys "$i" "$key"
        wait_for "$i" "$re" 1 && return 0
        [ $SECONDS -ge "$end" ] && return 1
    done
}
# The line of the screen matching regex, with its colours.
line_e() { screen_e "$1" | grep -E -- "$2" | tail -n 1; }
# 1-based list row (the "No" column) of the first row matching regex, or nothing.
row_of() { screen "$1" | grep -E -- "$2" | head -n 1 | awk -F'|' '{ gsub(/ /, "", $1); print $1 }'; }
down_to_row() {
    local i=$1 n=$2 k
    for ((k = 0; k < n; k++)); do keys "$i" Down; done
}

# Hosts are started within the same second on purpose: each must still draw its own instance id.
start_host() {
    local i=$1
    rm -f "${ROOT[$i]}/exit_status"
    netns_exec "$i" tmux -S "${SOCK[$i]}" -f /dev/null new-session -d -s jx -x 100 -y 30 \
        "cd '${ROOT[$i]}' && ./jexley; echo \$? > '${ROOT[$i]}/exit_status'" || fail "tmux on host $i"
    wait_for "$i" "F1Help" 10 || fail "host $i: the program did not start"
}

for i in 1 2 3; do
    ROOT[$i]=$(netns_tmpdir) || fail "no temporary directory"
    mkdir -p "${ROOT[$i]}/jx_internal" "${ROOT[$i]}/msg" "${ROOT[$i]}/downloads"
    ln -s "$BIN" "${ROOT[$i]}/jexley"
    # The saved user name: 15 bytes, NUL-padded.
    python3 -c 'import sys; open(sys.argv[1], "wb").write(sys.argv[2].encode().ljust(15, b"\0"))' \
        "${ROOT[$i]}/jx_internal/cfg" "${NAME[$i]}"
    SOCK[$i]=${ROOT[$i]}/tmux.sock
    netns_on_exit "tmux -S '${SOCK[$i]}' kill-server 2>/dev/null"
    start_host "$i"
done

join_lan() {  # host: F3, down to 239.0.0.5 (row 6), Enter; the channel screen comes up online
    local i=$1
    keys "$i" F3
    wait_for "$i" "^Predefined LAN multicast addresses" 5 || fail "host $i: no LAN list"
    down_to_row "$i" 6
    keys "$i" Enter
    wait_for "$i" "^$(re_addr $MC) \| Main \| online" 15 || fail "host $i: $MC not online on the channel screen"
}

# --- Joining from the LAN list, peers and networks screens ------------------------------------------
for i in 1 2 3; do join_lan "$i"; done
echo "ok: all three joined $MC from the LAN list"

for i in 1 2 3; do
    for j in 1 2 3; do
        [ "$j" = "$i" ] && continue
        wait_reopen "$i" "^ *[0-9]+\| +${NAME[$j]}\| +$(re_addr "$(netns_addr "$j")")\$" 20 F5 ||
            fail "host $i does not list ${NAME[$j]} on the peers screen"
    done
    screen "$i" | grep -q "^Peers list for network: $(re_addr $MC)" || fail "host $i: peers title"
    keys "$i" F2
    wait_for "$i" "^  1\| +$(re_addr $MC)\|  Multicast\|    Up\|     2\$" 5 || fail "host $i: network not Up with 2 peers"
done
echo "ok: peers and networks screens"

# Alice was online first, so the other two were announced to her.
keys 1 Enter  # nothing highlighted on the networks screen: stays
keys 1 F8
wait_for 1 "System >>> bob\($(re_addr "$A2")\) joined" 5 || fail "alice: no join notice for bob"
wait_for 1 "System >>> carol\($(re_addr "$A3")\) joined" 5 || fail "alice: no join notice for carol"

# --- A text on the main channel ------------------------------------------------------------------
keys 2 F8
keys 3 F8
typeln 1 "hello from alice"
for i in 2 3; do
    wait_for "$i" "alice >>> hello from alice" 10 || fail "host $i did not show alice's text"
    line_e "$i" "hello from alice" | grep -qF $'\e[36m' || fail "host $i: received text not cyan"
done
wait_for 1 $'\e\\[32m.*alice <<< hello from alice' 15 -e || fail "alice: text not shown delivered (green)"
echo "ok: main-channel text received in cyan, delivered in green"

# --- A direct channel from the peers screen --------------------------------------------------------
keys 1 F5
wait_for 1 "\| +bob\|" 5 || fail "alice: bob not on the peers screen"
down_to_row 1 "$(row_of 1 '\| +bob\|')"
keys 1 Enter
wait_for 1 "^bob \| $(re_addr "$A2")@$(re_addr $MC) \| Net DM \| online" 5 || fail "alice: direct channel with bob not open"
typeln 1 "secret for bob"
wait_for 1 $'\e\\[32m.*alice <<< secret for bob' 15 -e || fail "alice: direct text not delivered"
keys 2 F4
wait_for 2 "\| +alice\|  Net DM\| .*1 unread\$" 5 || fail "bob: no unread direct channel with alice"
down_to_row 2 "$(row_of 2 '\| +alice\|  Net DM\|')"
keys 2 Enter
wait_for 2 "alice >>> secret for bob" 5 || fail "bob: direct text not shown"
keys 3 F4
wait_for 3 "^ +1\| +Main channel\|" 5 || fail "carol: no channel list"
screen 3 | grep -q "Net DM" && fail "carol lists a direct channel she is not part of"
grep -rqF "secret for bob" "${ROOT[3]}/msg" && fail "carol stored the direct text"
keys 3 F8
screen 3 | grep -q "secret" && fail "carol shows the direct text"
echo "ok: direct channel from the peers screen stays private"

# --- A rename ------------------------------------------------------------------------------------------
typeln 3 "/uname carla"
keys 1 F2 Down Enter  # the main channel from the networks screen
wait_for 1 "^$(re_addr $MC) \| Main \| online" 5 || fail "alice: main channel not opened from the networks screen"
wait_for 1 "System >>> Username carol changed to carla\($(re_addr "$A3")\)" 20 || fail "alice: no rename notice"
echo "ok: rename notice"

# --- Carla's traffic cut off both ways: a direct text to her fails, then she is dropped --------------
netns_block 3 8855 || fail "could not block host 3"
netns_exec 3 nft add chain inet f out '{ type filter hook output priority 0; }' &&
    netns_exec 3 nft add rule inet f out udp dport 8855 drop || fail "could not block host 3's output"
cut_at=$SECONDS
keys 1 F5
wait_for 1 "\| +carla\|" 5 || fail "alice: carla not on the peers screen"
down_to_row 1 "$(row_of 1 '\| +carla\|')"
keys 1 Enter
wait_for 1 "^carla \| " 5 || fail "alice: direct channel with carla not open"
typeln 1 "are you there"

# --- Meanwhile bob quits and comes back: his history is still there ----------------------------------
keys 2 Escape Escape
for ((k = 0; k < 50; k++)); do tm 2 has-session -t jx 2>/dev/null || break; sleep 0.1; done
tm 2 has-session -t jx 2>/dev/null && fail "bob: the program did not end on Esc from home"
[ "$(cat "${ROOT[2]}/exit_status" 2>/dev/null)" = 0 ] || fail "bob: exit status $(cat "${ROOT[2]}/exit_status" 2>/dev/null)"
start_host 2
join_lan 2
wait_for 2 "alice >>> hello from alice" 5 || fail "bob: history not shown after the restart"
echo "ok: quit and restart keep the history"

wait_for 1 $'\e\\[31m.*alice xxx are you there' 40 -e || fail "alice: text to the cut-off host not red ' xxx '"
echo "ok: undelivered direct text in red after $((SECONDS - cut_at)) s"

# --- A hostile text from bob's host: escape sequences in the user name and the text ------------------
keys 1 F2 Down Enter
wait_for 1 "^$(re_addr $MC) \| Main \| online" 5 || fail "alice: main channel not reopened"
netns_exec 2 python3 - "$A1" "$MC" <<'EOF' || fail "could not send the hostile text"
import socket, struct, sys
to, net = sys.argv[1], sys.argv[2]
name = b"\x1b[31mevil\x07"
text = b"\x1b[2J\x1b]0;pwned\x07HOSTILE\x1b[5mblink\x1b[H"
hdr = struct.pack(">HHB", 0x0155, 1, 1) + bytes(reversed(socket.inet_aton(net)))
hdr += struct.pack(">I", 0x5A5A0001) + name.ljust(15, b"\0") + struct.pack(">H", len(text))
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.sendto(hdr + text, (to, 8855))
EOF
wait_for 1 "HOSTILE" 10 || fail "alice: hostile text not shown"
hostile=$(line_e 1 "HOSTILE")
grep -qF '?[2J?]0;pwned?HOSTILE?[5mblink?[H' <<<"$hostile" || fail "alice: hostile text not shown as plain characters: $hostile"
grep -qF '?[31mevil?' <<<"$hostile" || fail "alice: hostile user name not shown as plain characters: $hostile"
grep -qF $'\e[5m' <<<"$hostile" && fail "alice: the hostile text turned on blinking"
[ "$(tm 1 display -p -t jx '#{pane_title}')" = pwned ] && fail "alice: the hostile text set the window title"
screen 1 | grep -q "alice <<< hello from alice" || fail "alice: the hostile text cleared the screen"
echo "ok: hostile text shown harmlessly"

# --- Carla dropped after a minute of silence ------------------------------------------------------------
left=$((cut_at + 90 - SECONDS))
wait_for 1 "System >>> carla\($(re_addr "$A3")\) dropped \(timed out\)" $((left > 5 ? left : 5)) ||
    fail "alice: carla not dropped within 90 s"
echo "ok: cut-off host dropped after $((SECONDS - cut_at)) s"
keys 1 F5
wait_for 1 "\| +bob\|" 5 || fail "alice: bob gone from the peers screen"
screen 1 | grep -q "carla" && fail "alice still lists carla"
keys 1 F2
wait_for 1 "^  1\| +$(re_addr $MC)\|  Multicast\|    Up\|     1\$" 5 || fail "alice: network not Up with 1 peer"

echo "PASS"
exit 0
