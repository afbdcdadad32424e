#!/usr/bin/env bash
# The program under tmux, in a network namespace of its own: it opens on the home screen, shows
# and scrolls the help page, goes back home, exits on Esc and leaves the terminal as it found it,
# with the closing lines in its log; a restart keeps the generated user name. -h, -v and unknown
# options are answered without the screen. A start without a storage root, on a read-only one, with
# msg/ impossible, on a jx_internal others can change, with port 8855 taken, or on a root another
# instance holds, fails with status 1 and says why; a link planted at the probe file's place is
# never written through. (The key bar, the saved name and the directories
# a start makes are checked by the unit suites.)
set -u -o pipefail
bin=$(realpath "${1:?usage: test_home_help.sh path/to/jexley}")
source "$(dirname "$0")/lib_netns.sh"
# The one version, as the build file gives it.
version=$(sed -n 's/^project(jexley VERSION \([0-9.]*\).*/\1/p' "$(dirname "$0")/../../CMakeLists.txt")

command -v tmux >/dev/null || netns_skip "tmux is not installed"
unshare -rn true 2>/dev/null || netns_skip "cannot make a network namespace (unshare -rn)"
work=$(mktemp -d "${TMPDIR:-/tmp}/jx_home_help.XXXXXX")
sock="jxhh$$"
trap 'T kill-server 2>/dev/null; rm -rf -- "$work"' EXIT
trap 'exit 130' INT; trap 'exit 143' TERM

T() { tmux -L "$sock" "$@"; }
keys() { T send-keys -t main "$@"; }
pane() { T capture-pane -p -t main; }
has() { grep -qE -- "$1" <<<"$(pane)"; }
row() { [[ $(pane | sed -n "$(($1 + 1))p") =~ $2 ]]; }  # row (0-based) regex
changed() { [ "$(pane)" != "$1" ]; }
# see WHAT cmd...: cmd comes to hold within 30 s, else fail WHAT
see() { eventually 30 "${@:2}" || fail "$1; the pane:"$'\n'"$(pane)"; }
mkroot() { mkdir -p "$work/$1/jx_internal" && cp "$bin" "$work/$1/jexley"; }

# --- Home, help, exit ---------------------------------------------------------------------------
mkroot root
root=$work/root
T -f /dev/null new-session -d -s main -x 80 -y 24 "env -i PATH=/usr/bin:/bin TERM=screen HOME=$work HISTFILE=/dev/null bash --norc --noprofile"
T set-option -t main status off >/dev/null
see "shell ready" has '[#$] *$'
# EXIT is printed last, so once it shows, the terminal settings have been saved.
keys "cd '$root' && stty -g > '$work/before' && unshare -rn ./jexley; rc=\$?; stty -g > '$work/after'; echo EXIT=\$rc" Enter
see "title bar is the documentation address" row 0 '^https://jexley\.org/docs *$'
see "version, right column at column 40" has "^Client version: $(printf '%9s' "v$version" | sed 's/\./\\./g')               Compiled on: "
see "terminal size" has 'Terminal size:      80x24'
see "no networks yet" has 'Joined networks:        0'
see "prompt shows the generated username" row 23 '^\[jexley[0-9]{9}\]'
name=$(pane | sed -n 24p | grep -oE '^\[jexley[0-9]{9}\]')

# Keys that arrive together act one by one: four Down in one write on the home screen neither quit
# nor type anything; a pasted line ending in LF is entered.
keys -l $'\e[B\e[B\e[B\e[B'
keys -l $'/help\n'
see "a pasted /help and LF opens help" row 0 '^Help *$'
# Three Down in one write scroll three lines; one split across two writes, one more.
keys -l $'\e[B\e[B\e[B'
see "three Down in one write scroll three lines" row 2 '^Hotkeys'
keys -l $'\e[' \; send-keys -t main -l B
see "a Down split across writes scrolls one line" row 1 '^Hotkeys'
keys -l "$(printf '\e[B%.0s' {1..15})"
see "nineteen steps reach the last line, just above the key bar" row 21 '^For a complete documentation check out https://jexley\.org/docs'
bottom=$(pane | sed -n 2,21p)
# Down at the end must not scroll, so the Up after it shows the page one line before the end.
keys Down
sleep 1
keys Up
see "further Down does nothing" eval '[ "$(pane | sed -n 3,22p)" = "$bottom" ]'

keys Escape
see "Esc alone on help returns home" has "Client Details"
# A paste longer than a line: it takes 1370 bytes and says so.
keys -l "$(printf 'x%.0s' {1..1500})"
see "a 1500-byte paste is cut visibly" row 23 '^Error: Line full \(1370 bytes\): the rest was not taken'
keys Escape
see "Esc on home exits with status 0" has "EXIT=0"
see "the shell's screen is back as it was" has "[#$] cd '"
cmp -s "$work/before" "$work/after" || fail "the terminal settings were not restored exactly"
[ "$(tail -n 5 "$root/jx_internal/log" | cut -f2- | tr -d '\r')" = $'TermData closed\nComms closed\nJXComm closed\nFSO closing\nLogger closing' ] ||
    fail "the log does not end with the closing lines"
keys "clear; unshare -rn ./jexley; echo DONE" Enter
see "a restart shows the same name" row 23 "^\\$name"
keys Escape
see "the restart exits" has "DONE"

# refused WHAT TEXT...: the start whose output is $out (its status in a line "rc=STATUS") failed
# with status 1, printed each TEXT and no escape sequence
refused() {
    local t
    grep -qx "rc=1" <<<"$out" || fail "$1: not status 1:"$'\n'"$out"
    for t in "Internal error - comm error!" "${@:2}"; do grep -qF -- "$t" <<<"$out" || fail "$1: no '$t' in:"$'\n'"$out"; done
    [[ $out != *$'\e'* ]] || fail "$1: an escape sequence in the output"
    echo "ok: $1"
}

# -h and -v answer as --help and --version; anything else is a usage error: status 2, the usage on
# standard error, the terminal untouched.
opt() { out=$(unshare -rn "$bin" "$1" </dev/null 2>"$work/err"; echo "rc=$?"); }
opt -h; [[ $out == "Usage: jexley"*"rc=0" ]] || fail "-h: $out"
opt -v; [ -n "$version" ] && [ "$out" = "jexley $version"$'\nrc=0' ] || fail "-v: $out (want $version)"
opt -x; [ "$out" = "rc=2" ] && grep -q "^jexley: unknown option '-x'" "$work/err" && grep -q "^Usage: jexley" "$work/err" ||
    fail "-x: $out $(cat "$work/err")"

mkdir "$work/empty" && cp "$bin" "$work/empty/jexley"
out=$(cd "$work/empty" && env -i PATH=/usr/bin:/bin unshare -rn ./jexley </dev/null 2>&1; echo "rc=$?")
refused "no storage root" "No storage root found: a writable jx_internal/ must exist" "$work/empty/jx_internal"
mkroot ro
out=$(unshare -mrn bash -c "mount --bind '$work/ro' '$work/ro' && mount -o remount,bind,ro '$work/ro' &&
    cd '$work/ro' && env -i PATH=/usr/bin:/bin ./jexley </dev/null" 2>&1; echo "rc=$?")
refused "read-only root" "Storage root $work/ro found, but its jx_internal/ is not writable (Read-only file system)"
mkroot nomsg && touch "$work/nomsg/msg"
out=$(cd "$work/nomsg" && unshare -rn ./jexley </dev/null 2>&1; echo "rc=$?")
refused "msg/ impossible" "Cannot make the directory $work/nomsg/msg: something else of that name is in the way"
# A jx_internal others can change is not taken, planted files and all. (Why each kind of directory
# is refused, another user's included, is the storage suite's.)
taken="so it is not used (it must be this user's or root's and writable by no one else)"
mkroot open && chmod 777 "$work/open/jx_internal"
out=$(cd "$work/open" && env -i PATH=/usr/bin:/bin unshare -rn ./jexley </dev/null 2>&1; echo "rc=$?")
refused "world-writable jx_internal" "Storage root $work/open found, but its jx_internal/ is writable by group and others (mode 0777), $taken"

# Port 8855 taken by a running instance; its root taken from another namespace.
mkroot first && mkroot second
# A link planted where the root's probe file goes: the start works around it, its target keeps its bytes.
echo "known content" >"$work/outside" && ln -s "$work/outside" "$work/first/jx_internal/.jx_test_file"
out=$(unshare -rn bash -c "
    cd '$work/first' || exit 1
    ./jexley </dev/null >/dev/null 2>&1 & first=\$!
    for i in \$(seq 300); do grep -q 'Entering terminal loop' jx_internal/log 2>/dev/null && break; sleep 0.1; done
    cd '$work/second' && ./jexley </dev/null; echo \"rc=\$?\"
    cd '$work/first' && unshare -rn ./jexley </dev/null; echo \"shared=\$? pid=\$first\"
    kill -TERM \$first; wait \$first; echo \"first=\$?\"
" 2>&1)
pid=$(sed -n 's/^shared=1 pid=//p' <<<"$out")
refused "port and root in use" "UDP port 8855 is in use by another program (is Jexley already running?)" "first=0" \
    "Storage root $work/first is in use by Jexley process $pid on host $(hostname); one root serves one Jexley at a time"
[ "$(grep -c 'Logger initialized' "$work/first/jx_internal/log")" = 1 ] || fail "the root in use had its log touched"
[[ $(tail -n 1 "$work/first/jx_internal/log") == *'Logger closing'* ]] || fail "SIGTERM did not write the closing lines"
[ "$(cat "$work/outside")" = "known content" ] || fail "the planted link's target was written"
echo PASS
