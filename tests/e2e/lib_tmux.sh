# shellcheck shell=bash
# The real program on namespace hosts, each in its own tmux window and storage root, driven by keys
# and read back from the screen (it sources lib_netns.sh). Windows are 100x30.
#
#   tmux_hosts JEXLEY       check the binary and tmux; exit 77 when they are missing
#   make_host i NAME        a storage root for host i with the saved user name NAME, the program
#                           linked into it, started in tmux
#   start_host i            start (again) the program of host i and wait for its home screen
#   screen i [-e]           the screen of host i (with colours)
#   see i REGEX WHAT [-e]   wait up to 30 s until a line of the screen matches, else fail WHAT
#   key i KEY               send one key (F1..F8, Up, Down, Escape, Enter, Delete, CtrlT, CtrlC)
#   press i KEY REGEX WHAT [-e]  a key, then its effect on the screen before anything else is
#                           sent, so every check sees the screen one key left
#   typeln i TEXT           type TEXT, see it at the prompt, press Enter
#   pick i REGEX            move the highlight down from the first row (highlighted when a list
#                           opens) to the first list row matching REGEX
#   reopened i KEY REGEX    KEY, then up to 2 s for a row matching REGEX
#   join_lan i ADDR         F3, down to the LAN address, Enter: its channel comes up online
#   re ADDR                 an address as a regular expression
#   ended i                 the program of host i has ended, and its tmux with it

declare -F netns_up >/dev/null || source "$(dirname "${BASH_SOURCE[0]}")/lib_netns.sh"
declare -A ROOT NAME
JX_TMUX_BIN=

tmux_hosts() {
    JX_TMUX_BIN=$(realpath "${1:?usage: $0 JEXLEY_BINARY}")
    command -v tmux >/dev/null || netns_skip "tmux is not installed"
    netns_require
}

re() { echo "${1//./\\.}"; }
tm() { tmux -S "${ROOT[$1]}/tmux.sock" "${@:2}"; }
screen() { tm "$1" capture-pane -p ${2:-} -t jx; }
shown() { grep -qE -- "$2" <<<"$(screen "$1" "${3:-}")"; }
see() { eventually 30 shown "$1" "$2" "${4:-}" || fail "host $1 (${NAME[$1]}): $3"; }
# The bytes of an xterm-style keyboard, sent as such (tmux has no function keys for a window
# without a client).
declare -A KEYSEQ=([F1]=$'\eOP' [F2]=$'\eOQ' [F3]=$'\eOR' [F4]=$'\eOS' [F5]=$'\e[15~' [F6]=$'\e[17~'
    [F7]=$'\e[18~' [F8]=$'\e[19~' [Up]=$'\e[A' [Down]=$'\e[B' [Escape]=$'\e' [Enter]=$'\r'
    [Delete]=$'\e[3~' [CtrlT]=$'\x14' [CtrlC]=$'\x03')
key() { tm "$1" send-keys -t jx -l "${KEYSEQ[$2]}"; }
press() { key "$1" "$2"; see "$1" "$3" "$4" "${5:-}"; }
typeln() {  # a long line shows only its tail at the prompt
    tm "$1" send-keys -t jx -l "$2"
    see "$1" "^\[[^]]*\] (|\.\.\..*)${2:$((${#2} > 40 ? ${#2} - 40 : 0))}" "'$2' not at the prompt"
    key "$1" Enter
}
pick() {
    local n k
    n=$(grep -m1 -E -- "$2" <<<"$(screen "$1")" | awk -F'|' '{ gsub(/ /, "", $1); print $1 }')
    [ -n "$n" ] || fail "host $1: no row matches '$2'"
    for ((k = 2; k <= n; k++)); do press "$1" Down $'^\e\\[30m\e\\[45m +'"$k\\|" "highlight not on row $k" -e; done
}

# Some changes redraw nothing (a peer online before us is added silently; a peer is shown online
# once heard twice): the screen is entered again with KEY until it shows the row.
reopened() { key "$1" "$2"; eventually 2 shown "$1" "$3"; }

ended() { ! tm "$1" has-session -t jx 2>/dev/null; }

start_host() {
    rm -f "${ROOT[$1]}/exit_status"
    netns_exec "$1" tmux -S "${ROOT[$1]}/tmux.sock" -f /dev/null new-session -d -s jx -x 100 -y 30 \
        "cd '${ROOT[$1]}' && ./jexley; echo \$? > '${ROOT[$1]}/exit_status'" || fail "tmux on host $1"
    see "$1" "F1Help" "the program did not start"
}

make_host() {
    NAME[$1]=$2
    ROOT[$1]=$(netns_tmpdir) || fail "no temporary directory"
    mkdir -p -m 700 "${ROOT[$1]}/jx_internal" "${ROOT[$1]}/msg" "${ROOT[$1]}/downloads"
    ln -s "$JX_TMUX_BIN" "${ROOT[$1]}/jexley"
    # The saved user name: 15 bytes, NUL-padded.
    { printf '%s' "$2"; head -c $((15 - ${#2})) /dev/zero; } >"${ROOT[$1]}/jx_internal/cfg"
    start_host "$1"
}

join_lan() {
    press "$1" F3 "^Predefined LAN multicast addresses" "no LAN list"
    pick "$1" "\| +$(re "$2")\|"
    press "$1" Enter "^$(re "$2") \| Main \| online" "$2 not online on the channel screen"
}
