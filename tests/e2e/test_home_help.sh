#!/usr/bin/env bash
# The program under tmux, in a network namespace of its own: it opens on the home screen, shows
# and scrolls the help page, goes back home, exits on Esc and leaves the terminal as it found it,
# with the closing lines in its log. A start without a storage root, or with port 8855 taken,
# fails with status 1 and says why.
set -u
bin=${1:?usage: test_home_help.sh path/to/jexley}
bin=$(realpath "$bin")

skip() { echo "SKIP: $*" >&2; exit 77; }
command -v tmux >/dev/null || skip "tmux is not installed"
unshare -rn true 2>/dev/null || skip "cannot make a network namespace (unshare -rn)"

work=$(mktemp -d "${TMPDIR:-/tmp}/jx_home_help.XXXXXX")
sock="jxhh$$"
bg_pid=
cleanup() {
    tmux -L "$sock" kill-server 2>/dev/null
    [ -n "$bg_pid" ] && kill "$bg_pid" 2>/dev/null
    rm -rf -- "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

fail=0
check() {  # check "what" command...
    local what=$1; shift
    if "$@"; then echo "ok   - $what"; else echo "FAIL - $what"; fail=1; fi
}

T() { tmux -L "$sock" "$@"; }
pane() { T capture-pane -p -t main; }
# Waits up to $2 seconds (default 10) for the pane to show text $1.
wait_for() {
    local i
    for ((i = 0; i < ${2:-10} * 10; i++)); do
        pane | grep -qF -- "$1" && return 0
        sleep 0.1
    done
    echo "--- pane while waiting for '$1':"; pane; echo "---"
    return 1
}
row() { pane | sed -n "$(($1 + 1))p"; }

mkroot() { mkdir -p "$1/jx_internal" "$1/msg" "$1/downloads" && cp "$bin" "$1/jexley"; }

# --- Home, help, exit ---------------------------------------------------------------------------
root="$work/root"
mkroot "$root"
T -f /dev/null new-session -d -s main -x 80 -y 24 "env -i PATH=/usr/bin:/bin TERM=screen HOME=$work HISTFILE=/dev/null bash --norc --noprofile"
T set-option -t main status off >/dev/null
sleep 0.3
check "pane is 80x24" [ "$(T display -p -t main '#{pane_width}x#{pane_height}')" = "80x24" ]
T send-keys -t main "cd '$root' && stty -g > '$work/before' && unshare -rn ./jexley; echo EXIT=\$?; stty -g > '$work/after'; stty -a > '$work/after_a'" Enter

check "home screen shown" wait_for "Client Details" 20
check "title bar is the documentation address" [ "$(row 0 | sed 's/ *$//')" = "https://jexley.org/docs" ]
check "version and size" bash -c "pane() { tmux -L $sock capture-pane -p -t main; }; pane | grep -q 'Client version:    v0.7.0' && pane | grep -q 'Terminal size:      80x24'"
check "right column at column 40" bash -c "tmux -L $sock capture-pane -p -t main | grep -q '^Client version:    v0.7.0               Compiled on: '"
check "no networks yet" bash -c "tmux -L $sock capture-pane -p -t main | grep -q 'Joined networks:        0'"
check "long key bar labels" [ "$(row 22 | sed 's/ *$//')" = "F1HelpF2JoinedNetsF3AddrsF4ChannelsF5PeersF6DownloadsF7UploadsF8LastCh" ]
check "prompt shows the generated username" bash -c "tmux -L $sock capture-pane -p -t main | sed -n 24p | grep -Eq '^\[jexley[0-9]{9}\]'"

T send-keys -t main F1
check "F1 opens help" wait_for "Hotkeys"
check "help title" [ "$(row 0 | sed 's/ *$//')" = "Help" ]
check "end of page not shown yet" bash -c "! tmux -L $sock capture-pane -p -t main | grep -q 'For a complete documentation'"
for i in 1 2 3 4 5 6 7; do T send-keys -t main Down; sleep 0.15; done
check "seven steps down reach the last line" wait_for "For a complete documentation check out https://jexley.org/docs"
check "last line sits above the key bar" bash -c "tmux -L $sock capture-pane -p -t main | sed -n 22p | grep -q '^For a complete documentation'"
before_more=$(pane)
T send-keys -t main Down; sleep 0.3
check "further Down does nothing" [ "$before_more" = "$(pane)" ]

T send-keys -t main Escape
check "Esc on help returns home" wait_for "Client Details"
sleep 0.2
T send-keys -t main Escape
check "Esc on home exits with status 0" wait_for "EXIT=0"
sleep 0.3
check "terminal settings restored exactly" cmp -s "$work/before" "$work/after"
check "canonical mode and echo are back" bash -c "grep -qw icanon '$work/after_a' && grep -qw echo '$work/after_a' && ! grep -qw -- -icanon '$work/after_a' && ! grep -qw -- -echo '$work/after_a'"
log="$root/jx_internal/log"
expected=$'TermData closed\nComms closed\nJXComm closed\nFSO closing\nLogger closing'
got=$(tail -n 5 "$log" | cut -f2- | tr -d '\r')
check "log ends with the closing lines" [ "$got" = "$expected" ]
check "log has the start-up lines" bash -c "grep -q \$'\tJXComm initialized\r\$' '$log' && grep -q \$'\tEntering terminal loop\r\$' '$log'"

# --- No storage root ----------------------------------------------------------------------------
empty="$work/empty"
mkdir -p "$empty"
cp "$bin" "$empty/jexley"
out=$(cd "$empty" && env -i PATH=/usr/bin:/bin unshare -rn ./jexley </dev/null 2>&1)
rc=$?
check "no storage root: exit status 1" [ "$rc" -eq 1 ]
check "no storage root: the failure line" [ "$(sed -n 1p <<<"$out")" = "Internal error - comm error!" ]
line2=$(sed -n 2p <<<"$out")
check "no storage root: the cause line" [ "${line2#No storage root found: jx_internal/ (writable), msg/ and downloads/ must exist}" != "$line2" ]
check "no storage root: where it looked" grep -qF "$empty/./jx_internal" <<<"$out"
check "no storage root: nothing else written" [ "$(tr -d -c '\033' <<<"$out" | wc -c)" -eq 0 ]

# --- Port 8855 taken by a running instance ------------------------------------------------------
first="$work/first"
second="$work/second"
mkroot "$first"
mkroot "$second"
out=$(unshare -rn bash -c "
    cd '$first' || exit 1
    ./jexley </dev/null >/dev/null 2>&1 & first=\$!
    for i in \$(seq 100); do grep -q 'Entering terminal loop' '$first/jx_internal/log' 2>/dev/null && break; sleep 0.1; done
    cd '$second' && ./jexley </dev/null; echo \"rc=\$?\"
    kill -TERM \$first; wait \$first; echo \"first=\$?\"
" 2>&1)
check "port in use: the failure line" grep -qx "Internal error - comm error!" <<<"$out"
check "port in use: the cause line" grep -qx "UDP port 8855 is in use by another program (is Jexley already running?)" <<<"$out"
check "port in use: exit status 1" grep -qx "rc=1" <<<"$out"
check "SIGTERM ends the first instance cleanly" grep -qx "first=0" <<<"$out"
check "SIGTERM still writes the closing lines" bash -c "tail -n 1 '$first/jx_internal/log' | grep -q 'Logger closing'"

[ $fail -eq 0 ] && echo "PASS" || { echo "some checks failed"; exit 1; }
