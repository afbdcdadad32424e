# shellcheck shell=bash
# Test hosts made of network namespaces, for the end-to-end tests and benchmarks.
#
# Source it from a bash script, then:
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
#                           $JX_NS_LAST_PID and it is ended by netns_down
#   netns_block i [port]    drop every UDP datagram arriving at host i for port (default 8855)
#   netns_unblock i         remove every drop rule of host i
#   netns_tmpdir            print a fresh temporary directory, removed by netns_down
#   netns_on_exit cmd...    run cmd (eval'd) at clean-up, before the namespaces go
#   netns_down              end what we started, delete the namespaces and temporary
#                           directories; idempotent; registered on EXIT by netns_up
#
# Names carry this shell's pid ("jx<pid>h1") so parallel runs never share a namespace; the
# addresses live only inside our own switch, so runs cannot collide on them either. The third
# octet still varies with the pid to keep captures of parallel runs apart.

JX_NS_PREFIX=${JX_NS_PREFIX:-jx$$}
JX_NS_NET=${JX_NS_NET:-$(( ($$ % 250) + 1 ))}
JX_NS_HOSTS=0
JX_NS_LAST_PID=
_jx_ns_pids=()
# Temporary directories live under one per-run base, so that netns_tmpdir also works inside $(...).
JX_NS_TMPBASE="${TMPDIR:-/tmp}/${JX_NS_PREFIX}.tmp"
_jx_ns_hooks=()
_jx_ns_trapped=0

netns_skip() {
    echo "SKIP: $*" >&2
    exit 77
}

netns_require() {
    [ "$(id -u)" -eq 0 ] || netns_skip "network namespaces need root"
    command -v ip >/dev/null || netns_skip "iproute2 (ip) is not installed"
    local probe="${JX_NS_PREFIX}probe"
    ip netns add "$probe" 2>/dev/null || netns_skip "'ip netns add' does not work here"
    ip netns del "$probe" 2>/dev/null
    if [ "${1:-}" = nft ]; then
        command -v nft >/dev/null || netns_skip "nftables (nft) is not installed"
    fi
    return 0
}

netns_name() { echo "${JX_NS_PREFIX}h$1"; }
netns_addr() { echo "10.77.${JX_NS_NET}.$1"; }

netns_exec() {
    local i=$1; shift
    ip netns exec "$(netns_name "$i")" "$@"
}

_jx_ns_arm_trap() {
    [ "$_jx_ns_trapped" -eq 1 ] && return 0
    _jx_ns_trapped=1
    trap netns_down EXIT
    # A signal ends the script through exit, so the EXIT trap still cleans up.
    trap 'exit 130' INT
    trap 'exit 143' TERM
}

netns_up() {
    local n=$1 i sw ns
    netns_require
    _jx_ns_arm_trap
    sw="${JX_NS_PREFIX}sw"
    ip netns add "$sw" || return 1
    ip -n "$sw" link set lo up
    # No snooping: without an IGMP querier the bridge must flood group traffic to every port.
    ip -n "$sw" link add br0 type bridge mcast_snooping 0 || return 1
    ip -n "$sw" link set br0 up
    for ((i = 1; i <= n; i++)); do
        ns=$(netns_name "$i")
        ip netns add "$ns" || return 1
        JX_NS_HOSTS=$i
        ip -n "$ns" link set lo up
        ip -n "$ns" link add eth0 type veth peer name "v$i" netns "$sw" || return 1
        ip -n "$sw" link set "v$i" master br0
        ip -n "$sw" link set "v$i" up
        ip -n "$ns" addr add "$(netns_addr "$i")/24" dev eth0
        ip -n "$ns" link set eth0 up
        ip -n "$ns" route add 224.0.0.0/4 dev eth0
        ip -n "$ns" route add default dev eth0
    done
    # Wait until every host can reach the bridge (the veth carrier comes up asynchronously).
    for ((i = 1; i <= n; i++)); do
        ns=$(netns_name "$i")
        local tries=0
        until ip -n "$ns" link show eth0 | grep -q 'state UP' || [ $tries -ge 50 ]; do
            sleep 0.1; tries=$((tries + 1))
        done
    done
    return 0
}

netns_bg() {
    local i=$1 log=$2 in; shift 2
    # A background job would read /dev/null; hand it our standard input explicitly instead.
    exec {in}<&0
    ip netns exec "$(netns_name "$i")" "$@" <&"$in" >"$log" 2>&1 &
    JX_NS_LAST_PID=$!
    exec {in}<&-
    _jx_ns_pids+=("$JX_NS_LAST_PID")
}

_jx_nft_base() {
    local i=$1
    netns_exec "$i" nft list table inet f >/dev/null 2>&1 && return 0
    netns_exec "$i" nft add table inet f &&
        netns_exec "$i" nft add chain inet f in '{ type filter hook input priority 0; }'
}

netns_block() {
    local i=$1 port=${2:-8855}
    _jx_nft_base "$i" && netns_exec "$i" nft add rule inet f in udp dport "$port" drop
}

netns_unblock() {
    netns_exec "$1" nft delete table inet f 2>/dev/null || true
}

netns_tmpdir() {
    mkdir -p "$JX_NS_TMPBASE" && mktemp -d "$JX_NS_TMPBASE/XXXXXX"
}

netns_on_exit() {
    _jx_ns_hooks+=("$*")
}

netns_down() {
    local rc=$? h p ns i t
    for h in "${_jx_ns_hooks[@]}"; do eval "$h" || true; done
    _jx_ns_hooks=()
    for p in "${_jx_ns_pids[@]}"; do kill "$p" 2>/dev/null || true; done
    for p in "${_jx_ns_pids[@]}"; do
        for t in 1 2 3 4 5 6 7 8 9 10; do kill -0 "$p" 2>/dev/null || break; sleep 0.1; done
        kill -9 "$p" 2>/dev/null || true
        wait "$p" 2>/dev/null || true
    done
    _jx_ns_pids=()
    for ((i = 1; i <= JX_NS_HOSTS; i++)); do
        ns=$(netns_name "$i")
        # Anything still inside one of our hosts was started by this run.
        for p in $(ip netns pids "$ns" 2>/dev/null); do kill -9 "$p" 2>/dev/null || true; done
        ip netns del "$ns" 2>/dev/null || true
    done
    ip netns del "${JX_NS_PREFIX}sw" 2>/dev/null || true
    JX_NS_HOSTS=0
    rm -rf -- "$JX_NS_TMPBASE"
    return $rc
}
