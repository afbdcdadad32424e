#!/usr/bin/env bash
# Jexley on three hosts of one machine, for a first look (needs root): three network-namespace
# hosts on one virtual LAN, each running Jexley (release build) from its own storage root and
# already joined to the group 239.0.0.1, side by side in one tmux window. Closing the window (or
# quitting every Jexley, or detaching) removes everything: programs, namespaces, storage roots.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
[ "$(id -u)" -eq 0 ] || { echo "The demo makes network namespaces: run it as root (sudo $0)." >&2; exit 1; }
"$here/scripts/deps.sh" demo
cmake -S "$here" -B "$here/build/release" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$here/build/release" --target jexley
bin="$here/build/release/jexley"

source "$here/tests/e2e/lib_netns.sh"
netns_up 3 || { echo "could not make the hosts" >&2; exit 1; }
# The server's socket lives with the storage roots, so the clean-up removes it too.
sock="$(netns_tmpdir)/tmux.sock"
T() { tmux -S "$sock" "$@"; }
# Every step of the clean-up is tried, whatever failed before it.
trap 'set +e; T kill-server 2>/dev/null; netns_down' EXIT

cols=$(tput cols 2>/dev/null || echo 160)
rows=$(tput lines 2>/dev/null || echo 40)
names=(alice bob carol)
for i in 1 2 3; do
    name=${names[$((i - 1))]}
    root=$(netns_tmpdir)
    mkdir -p -m 700 "$root/jx_internal" "$root/msg" "$root/downloads"
    install -m 755 "$bin" "$root/jexley"
    # The saved user name: 15 bytes, NUL-padded.
    { printf '%s' "$name"; head -c $((15 - ${#name})) /dev/zero; } >"$root/jx_internal/cfg"
    echo "Hello from $name." >"$root/hello_from_$name.txt"
    run="cd '$root' && exec ip netns exec '$(netns_name "$i")' ./jexley"
    if [ "$i" -eq 1 ]; then
        T -f /dev/null new-session -d -s demo -x "$cols" -y "$rows" "$run"
        T set-option -t demo status off >/dev/null
        T set-option -t demo pane-border-status top >/dev/null
        T set-option -t demo pane-border-format ' #{pane_title} ' >/dev/null
    else
        T split-window -t demo "$run"
    fi
    T select-pane -t demo -T "$name $(netns_addr "$i") | /snd hello_from_$name.txt"
    # Three panes side by side need 152 columns; else they are stacked.
    T select-layout -t demo "$([ "$cols" -ge 152 ] && echo even-horizontal || echo even-vertical)" >/dev/null
done

# The program has no command-line join: type it into each one once its home screen is up.
for p in 0 1 2; do
    for _ in $(seq 150); do
        T capture-pane -p -t "demo.$p" | grep -q F1 && break
        sleep 0.2
    done
    T send-keys -t "demo.$p" -l "/join 239.0.0.1"
    T send-keys -t "demo.$p" Enter
done
cat <<'TXT'
Three Jexleys, alice, bob and carol, joined to 239.0.0.1. In one pane (Ctrl-b and an arrow moves
between panes) type a line and press Enter: it reaches the other two. To send a file, press F5 for
the peers, Enter on one for your direct channel, then /snd hello_from_<you>.txt; the other side
takes it with F6 and Enter. Esc returns home; Esc on the home screen quits that Jexley. When all
three have quit, or the window is closed, everything the demo made is removed.
TXT
sleep 4
TMUX='' T attach -t demo || true
