#!/usr/bin/env bash
# The program under tmux, in a network namespace of its own: it opens on the home screen, shows
# and scrolls the help page, goes back home, exits on Esc and leaves the terminal as it found it,
# with the closing lines in its log; it made msg/ and downloads/, and a restart keeps the generated
# user name. A start without a storage root, on a read-only one, with msg/ impossible, with port
# 8855 taken, or on a root another instance holds, fails with status 1 and says why.
set -u -o pipefail
bin=$(realpath "${1:?usage: test_home_help.sh path/to/jexley}")
source "$(dirname "$0")/lib_netns.sh"

command -v tmux >/dev/null || netns_skip "tmux is not installed"
unshare -rn true 2>/dev/null || netns_skip "cannot make a network namespace (unshare -rn)"

work=$(mktemp -d "${TMPDIR:-/tmp}/jx_home_help.XXXXXX")
sock="jxhh$$"
trap 'tmux -L "$sock" kill-server 2>/dev/null; rm -rf -- "$work"' EXIT
trap 'exit 130' INT; trap 'exit 143' TERM

fail=0
# check "what" command...: it holds now; see "what" command...: it comes to hold within 30 s.
check() { if "${@:2}"; then echo "ok   - $1"; else echo "FAIL - $1"; fail=1; return 1; fi; }
see() { check "$1" eventually 30 "${@:2}" || { echo "--- pane:"; pane; echo "---"; }; }

T() { tmux -L "$sock" "$@"; }
pane() { T capture-pane -p -t main; }
has() { [[ $(pane) =~ $1 ]]; }
lacks() { ! has "$1"; }
row() { [[ $(pane | sed -n "$(($1 + 1))p") =~ $2 ]]; }  # row (0-based) regex
changed() { [ "$(pane)" != "$1" ]; }
rows() { pane | sed -n "$1"; }
mkroot() { mkdir -p "$1/jx_internal" "$1/msg" "$1/downloads" && cp "$bin" "$1/jexley"; }

# --- Home, help, exit ---------------------------------------------------------------------------
root="$work/root"
mkdir -p "$root/jx_internal" && cp "$bin" "$root/jexley"
T -f /dev/null new-session -d -s main -x 80 -y 24 "env -i PATH=/usr/bin:/bin TERM=screen HOME=$work HISTFILE=/dev/null bash --norc --noprofile"
T set-option -t main status off >/dev/null
check "pane is 80x24" [ "$(T display -p -t main '#{pane_width}x#{pane_height}')" = "80x24" ]
see "shell ready" has '[#$] *$'
# EXIT is printed last, so once it shows, the terminal settings have been saved.
T send-keys -t main "cd '$root' && stty -g > '$work/before' && unshare -rn ./jexley; rc=\$?; stty -g > '$work/after'; stty -a > '$work/after_a'; echo EXIT=\$rc" Enter

see "home screen shown" has "Client Details"
see "title bar is the documentation address" row 0 '^https://jexley\.org/docs *$'
see "version, right column at column 40" has $'\nClient version:    v0\\.7\\.0               Compiled on: '
see "terminal size" has 'Terminal size:      80x24'
see "no networks yet" has 'Joined networks:        0'
see "long key bar labels" row 22 '^F1HelpF2JoinedNetsF3AddrsF4ChannelsF5PeersF6DownloadsF7UploadsF8LastCh *$'
see "prompt shows the generated username" row 23 '^\[jexley[0-9]{9}\]'
name=$(pane | sed -n 24p | grep -oE '^\[jexley[0-9]{9}\]')
check "msg/ and downloads/ made at start" [ -d "$root/msg" -a -d "$root/downloads" ]

T send-keys -t main F1
see "F1 opens help" has "Hotkeys"
see "help title" row 0 '^Help *$'
check "end of page not shown yet" lacks 'For a complete documentation'
# Each step waits for its redraw: two keys read together would be dropped as one.
for i in 1 2 3 4 5 6 7; do
    before=$(pane)
    T send-keys -t main Down
    see "step $i down scrolls" changed "$before"
done
see "seven steps reach the last line, just above the key bar" row 21 '^For a complete documentation check out https://jexley\.org/docs'
bottom=$(rows 2,21p)
# Down at the end must not scroll, so the Up after it shows the page one line before the end.
T send-keys -t main Down
sleep 1
T send-keys -t main Up
see "further Down does nothing" eval '[ "$(rows 3,22p)" = "$bottom" ]'

T send-keys -t main Escape
see "Esc on help returns home" has "Client Details"
T send-keys -t main Escape
see "Esc on home exits with status 0" has "EXIT=0"
check "terminal settings restored exactly" cmp -s "$work/before" "$work/after"
check "canonical mode and echo are back" eval "grep -qw icanon '$work/after_a' && grep -qw echo '$work/after_a' && ! grep -qw -- -icanon '$work/after_a' && ! grep -qw -- -echo '$work/after_a'"
log="$root/jx_internal/log"
expected=$'TermData closed\nComms closed\nJXComm closed\nFSO closing\nLogger closing'
check "log ends with the closing lines" [ "$(tail -n 5 "$log" | cut -f2- | tr -d '\r')" = "$expected" ]
check "log has the start-up lines" eval "grep -q \$'\tJXComm initialized\r\$' '$log' && grep -q \$'\tEntering terminal loop\r\$' '$log'"
check "the generated name is saved" [ "[$(cat "$root/jx_internal/cfg")]" = "$name" ]
T send-keys -t main "clear; unshare -rn ./jexley; echo DONE" Enter
see "a restart shows the same name" row 23 "^\\$name"
T send-keys -t main Escape
see "the restart exits" has "DONE"

# --- No storage root ----------------------------------------------------------------------------
empty="$work/empty"
mkdir -p "$empty" && cp "$bin" "$empty/jexley"
out=$(cd "$empty" && env -i PATH=/usr/bin:/bin unshare -rn ./jexley </dev/null 2>&1)
check "no storage root: exit status 1" [ $? -eq 1 ]
check "no storage root: the failure line" [ "$(sed -n 1p <<<"$out")" = "Internal error - comm error!" ]
line2=$(sed -n 2p <<<"$out")
check "no storage root: the cause line" [ "${line2#No storage root found: a writable jx_internal/ must exist}" != "$line2" ]
check "no storage root: where it looked" grep -qF "$empty/./jx_internal" <<<"$out"
check "no storage root: nothing else written" [ "$(tr -d -c '\033' <<<"$out" | wc -c)" -eq 0 ]

# --- A read-only root, and msg/ that cannot be made -----------------------------------------------
mkdir -p "$work/ro/jx_internal" && cp "$bin" "$work/ro/jexley"
out=$(unshare -mrn bash -c "mount --bind '$work/ro' '$work/ro' && mount -o remount,bind,ro '$work/ro' &&
    cd '$work/ro' && env -i PATH=/usr/bin:/bin ./jexley </dev/null" 2>&1)
check "read-only root: exit status 1" [ $? -eq 1 ]
check "read-only root: found but not writable" grep -qF "Storage root $work/ro/. found, but its jx_internal/ is not writable (Read-only file system)" <<<"$out"
mkdir -p "$work/nomsg/jx_internal" && cp "$bin" "$work/nomsg/jexley" && touch "$work/nomsg/msg"
out=$(cd "$work/nomsg" && unshare -rn ./jexley </dev/null 2>&1)
check "msg/ impossible: exit status 1" [ $? -eq 1 ]
check "msg/ impossible: which and why" grep -qx "Cannot make the directory $work/nomsg/./msg: something else of that name is in the way" <<<"$out"

# --- Port 8855 taken by a running instance; its root taken from another namespace ----------------
mkroot "$work/first"
mkroot "$work/second"
out=$(unshare -rn bash -c "
    cd '$work/first' || exit 1
    ./jexley </dev/null >/dev/null 2>&1 & first=\$!
    for i in \$(seq 300); do grep -q 'Entering terminal loop' jx_internal/log 2>/dev/null && break; sleep 0.1; done
    cd '$work/second' && ./jexley </dev/null; echo \"rc=\$?\"
    cd '$work/first' && unshare -rn ./jexley </dev/null; echo \"shared=\$? pid=\$first\"
    kill -TERM \$first; wait \$first; echo \"first=\$?\"
" 2>&1)
check "port in use: the failure line" grep -qx "Internal error - comm error!" <<<"$out"
check "port in use: the cause line" grep -qx "UDP port 8855 is in use by another program (is Jexley already running?)" <<<"$out"
check "port in use: exit status 1" grep -qx "rc=1" <<<"$out"
check "SIGTERM ends the first instance cleanly" grep -qx "first=0" <<<"$out"
pid=$(sed -n 's/^shared=1 pid=//p' <<<"$out")
check "root in use: the holder named" grep -qx "Storage root $work/first/. is in use by Jexley process $pid on host $(hostname); one root serves one Jexley at a time" <<<"$out"
check "root in use: its log untouched" [ "$(grep -c 'Logger initialized' "$work/first/jx_internal/log")" -eq 1 ]
check "SIGTERM still writes the closing lines" eval "[[ \$(tail -n 1 '$work/first/jx_internal/log') == *'Logger closing'* ]]"

[ $fail -eq 0 ] && echo "PASS" || { echo "some checks failed"; exit 1; }
