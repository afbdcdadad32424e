# shellcheck shell=bash
# Test hosts made of network namespaces, for the end-to-end tests and benchmarks.
#
# Source it from a bash script, then:
#   eventually T cmd...     run cmd every 0.2 s until it succeeds (status 0, its output passed on)
#                           or T seconds have passed (status 1, nothing printed). cmd runs in a
#                           subshell, so it must only look, never set variables.
#   netns_require [nft]     exit 77 with a message unless we are root and `ip netns` works
#                           (and nft exists, when asked); netns_up calls it too
#   netns_up N              make hosts 1..N: namespace "$JX_NS_PREFIX"h<i>, interface eth0 with
#                           address 10.77.$JX_NS_NET.<i>/24, joined by a veth pair to a bridge
#                           in the namespace "$JX_NS_PREFIX"sw; lo up; routes 224.0.0.0/4 and
#                           default on eth0, so multicast and 255.255.255.255 reach every host
#   netns_name i            namespace name of host i
#   netns_addr i            IPv4 address of host i
#   netns_exec i cmd...     run cmd inside host i
#   netns_bg i logfile cmd...  start cmd inside host i in the background with this shell's
#                           standard input, stdout+stderr to logfile; its pid is in
#                           $JX_NS_LAST_PID; netns_down ends it
#   netns_drop i DIR PORT [PCT]  drop PCT % (default 100) of the UDP datagrams to PORT (all: any
#                           port) that host i receives (DIR in) or sends (DIR out), with nftables
#   netns_dup i PORT PCT TO  send PCT % of the UDP datagrams host i sends to PORT twice (the copy
#                           to address TO over eth0)
#   netns_undrop i          remove every nftables rule of host i
#   netns_tmpdir            print a fresh temporary directory, removed by netns_down
#   netns_down              end everything inside our namespaces, delete them and the temporary
#                           directories; idempotent; registered on EXIT by netns_up
#   fail MSG                print "FAIL: MSG", the tail of every engine driver's output (lib_driver)
#                           and every tmux host's screen and log (lib_tmux), exit 1
#
# Names carry this shell's pid ("jx<pid>h1") so parallel runs never share a namespace; the
# addresses live only inside our own switch, so runs cannot collide on them either. The third
# octet still varies with the pid to keep captures of parallel runs apart.

JX_NS_PREFIX=${JX_NS_PREFIX:-jx$$}
JX_NS_NET=${JX_NS_NET:-$(( ($$ % 250) + 1 ))}
JX_NS_LAST_PID=
# Temporary directories live under one per-run base, so that netns_tmpdir also works inside $(...).
JX_NS_TMPBASE="${TMPDIR:-/tmp}/${JX_NS_PREFIX}.tmp"

eventually() {
    local end=$((SECONDS + $1)) out
    until out=$("${@:2}"); do
        [ $SECONDS -lt $end ] && sleep 0.2 || return 1
    done
    [ -z "$out" ] || printf '%s\n' "$out"
}

netns_skip() { echo "SKIP: $*" >&2; exit 77; }

netns_require() {
    [ "$(id -u)" -eq 0 ] || netns_skip "network namespaces need root"
    command -v ip >/dev/null || netns_skip "iproute2 (ip) is not installed"
    ip netns add "${JX_NS_PREFIX}probe" 2>/dev/null || netns_skip "'ip netns add' does not work here"
    ip netns del "${JX_NS_PREFIX}probe"
    [ "${1:-}" != nft ] || command -v nft >/dev/null || netns_skip "nftables (nft) is not installed"
}

netns_name() { echo "${JX_NS_PREFIX}h$1"; }
netns_addr() { echo "10.77.${JX_NS_NET}.$1"; }

netns_exec() { ip netns exec "$(netns_name "$1")" "${@:2}"; }

_jx_ns_eth_up() { [[ $(ip -n "$1" link show eth0) == *"state UP"* ]]; }

netns_up() {
    local i sw="${JX_NS_PREFIX}sw" ns c
    netns_require
    # A signal ends the script through exit, so the EXIT trap still cleans up.
    trap netns_down EXIT; trap 'exit 130' INT; trap 'exit 143' TERM
    ip netns add "$sw" || return 1
    # No snooping: without an IGMP querier the bridge must flood group traffic to every port.
    ip -n "$sw" link add br0 type bridge mcast_snooping 0 && ip -n "$sw" link set br0 up || return 1
    for ((i = 1; i <= $1; i++)); do
        ns=$(netns_name "$i")
        ip netns add "$ns" || return 1
        for c in "link add eth0 type veth peer name v$i netns $sw" "link set lo up" \
            "addr add $(netns_addr "$i")/24 dev eth0" "link set eth0 up" "route add 224.0.0.0/4 dev eth0" \
            "route add default dev eth0"; do
            ip -n "$ns" $c || return 1
        done
        ip -n "$sw" link set "v$i" master br0 up || return 1
        # The veth carrier comes up asynchronously.
        eventually 10 _jx_ns_eth_up "$ns" || return 1
    done
}

netns_bg() {
    # Without the explicit redirection a background job would read /dev/null.
    ip netns exec "$(netns_name "$1")" "${@:3}" <&0 >"$2" 2>&1 &
    JX_NS_LAST_PID=$!
    # netns_down kills it; out of the job table, its end is not reported as "Killed".
    disown "$JX_NS_LAST_PID"
}

netns_drop() {
    local hook=input match="udp dport $3" random=
    [ "$2" = in ] || hook=output
    [ "$3" != all ] || match="meta l4proto udp"
    [ "${4:-100}" -ge 100 ] || random="numgen random mod 100 < $4"
    netns_exec "$1" nft "add table inet jx; add chain inet jx $2 { type filter hook $hook priority 0; };
        add rule inet jx $2 $match $random drop"
}

netns_dup() {
    netns_exec "$1" nft "add table ip jxdup; add chain ip jxdup out { type filter hook output priority 0; };
        add rule ip jxdup out udp dport $2 numgen random mod 100 < $3 dup to $4 device eth0"
}

# The host is ours alone: every rule in it is one of the test's.
netns_undrop() { netns_exec "$1" nft flush ruleset; }

netns_tmpdir() { mkdir -p "$JX_NS_TMPBASE" && mktemp -d "$JX_NS_TMPBASE/XXXXXX"; }

netns_down() {
    local rc=$? p ns
    for ns in $(ip netns list | awk '{ print $1 }' | grep -xE "${JX_NS_PREFIX}(h[0-9]+|sw)"); do
        # Whatever runs inside one of our namespaces was started by this run: drivers, tmux
        # servers and the programs in them, relays.
        for p in $(ip netns pids "$ns"); do kill -9 "$p" 2>/dev/null; done
        ip netns del "$ns"
    done
    rm -rf -- "$JX_NS_TMPBASE"
    return $rc
}

fail() {
    local i
    echo "FAIL: $*"
    for i in "${!ROOT[@]}"; do
        echo "--- screen of host $i (${NAME[$i]}), colours as ^["
        screen "$i" -e | cat -v
    done
    tail -n 30 "${JX_DRV_DIR:-/nonexistent}"/out* "${ROOT[@]/%//jx_internal/log}"
    exit 1
} >&2 2>/dev/null
