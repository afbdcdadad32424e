# shellcheck shell=bash
# Engine drivers on namespace hosts (needs lib_netns.sh sourced first).
#
#   driver_find JEXLEY      set $JX_DRIVER: $JX_ENGINE_DRIVER, or tools/jx_engine_driver
#                           in the build tree of the given jexley binary; exit 77 when missing
#   driver_start i          start a driver on host i with its own storage root ($JX_DRV_DIR/root<i>);
#                           its events go to $JX_DRV_DIR/out<i>; waits for its READY line
#   driver_cmd i LINE       send one command line to driver i
#   driver_line i REGEX [T] wait up to T s (default 30) until a line of out<i> matches the
#                           extended REGEX; prints the first matching line; 1 on time-out
#   driver_wait i REGEX [T] the same, silent
#   driver_count i REGEX    number of lines of out<i> matching REGEX
#   driver_ask i LINE       send LINE and print the lines it produced (up to a marker echo)
#   driver_until i LINE REGEX [T]  ask LINE again and again until a line of the reply matches
#                           REGEX, for up to T s (default 30); 1 on time-out
#   driver_pid i            pid of driver i
#   driver_offer NAME MIB   host 1 offers host 2, on their direct channel of network $MC, a new
#                           random file of MIB MiB and 777 bytes made in $JX_DRV_DIR ($A2: host
#                           2's address); host 2 accepts it; its transfer id goes to $ID
#   driver_arrived NAME     the file arrives byte-identical and both sides report it complete
#   fail MSG                print "FAIL: MSG", the tail of every driver output, exit 1

JX_DRV_DIR=
declare -A _jx_drv_fd=() _jx_drv_pid=()

driver_find() {
    JX_DRIVER=${JX_ENGINE_DRIVER:-}
    [ -n "$JX_DRIVER" ] || [ -z "${1:-}" ] || JX_DRIVER="$(cd "$(dirname "$1")" && pwd)/tools/jx_engine_driver"
    [ -x "$JX_DRIVER" ] || netns_skip "engine driver not built (looked for '$JX_DRIVER'; set JX_ENGINE_DRIVER)"
}

driver_start() {
    local i=$1 fd
    [ -n "$JX_DRV_DIR" ] || JX_DRV_DIR=$(netns_tmpdir)
    mkfifo "$JX_DRV_DIR/in$i"
    # Held open read-write by this shell so the driver never sees end of input while we live.
    exec {fd}<>"$JX_DRV_DIR/in$i"
    _jx_drv_fd[$i]=$fd
    netns_bg "$i" "$JX_DRV_DIR/out$i" "$JX_DRIVER" "$JX_DRV_DIR/root$i" <"$JX_DRV_DIR/in$i"
    _jx_drv_pid[$i]=$JX_NS_LAST_PID
    driver_wait "$i" '^READY ' || fail "driver $i did not start"
}

driver_pid() { echo "${_jx_drv_pid[$1]}"; }

driver_cmd() { printf '%s\n' "${*:2}" >&"${_jx_drv_fd[$1]}"; }

driver_count() { grep -cE -- "$2" "$JX_DRV_DIR/out$1"; }
_jx_drv_first() { grep -m1 -E -- "$2" "$JX_DRV_DIR/out$1" 2>/dev/null; }  # out<i> may not exist yet
driver_line() { eventually "${3:-30}" _jx_drv_first "$1" "$2"; }
driver_wait() { driver_line "$@" >/dev/null; }

driver_ask() {
    local i=$1 n before
    # The tag must differ from every earlier one, also from asks made in other subshells (most
    # asks run inside $(...)): an old marker would end the wait before the reply is written.
    n=$(($(cat "$JX_DRV_DIR/asks" 2>/dev/null || echo 0) + 1))
    echo "$n" >"$JX_DRV_DIR/asks"
    before=$(wc -l <"$JX_DRV_DIR/out$i")
    driver_cmd "$i" "${*:2}"
    driver_cmd "$i" "echo ask$n"
    driver_wait "$i" "^ECHO ask$n\$" || return 1
    sed -n "$((before + 1)),\${/^ECHO ask$n\$/q;p;}" "$JX_DRV_DIR/out$i"
}

_jx_drv_reply_has() {
    local r
    r=$(driver_ask "$1" "$2") && grep -qE -- "$3" <<<"$r"
}
driver_until() { eventually "${4:-30}" _jx_drv_reply_has "$1" "$2" "$3"; }

driver_offer() {
    head -c $(($2 * 1048576 + 777)) /dev/urandom >"$JX_DRV_DIR/$1"
    driver_cmd 1 "offer $MC $A2 $JX_DRV_DIR/$1"
    driver_wait 2 "^EV_DL_OFFERED .* name=$1\$" 60 || fail "$1: no offer"
    ID=$(driver_ask 2 transfers | sed -nE "s/^DL id=([0-9a-f]+) .* state=0 .* name=$1\$/\1/p")
    [ -n "$ID" ] || fail "$1: no pending download"
    driver_cmd 2 "accept $ID"
}

driver_arrived() {
    driver_wait 2 "^EV_DL_COMPLETE .* name=$1\$" 300 || fail "$1: download did not complete"
    driver_wait 1 "^EV_UL_COMPLETE .* name=$1\$" || fail "$1: upload not reported complete"
    cmp -s "$JX_DRV_DIR/$1" "$JX_DRV_DIR/root2/downloads/$1" || fail "$1: the received file differs"
    echo "ok: $1 arrived byte-identical"
}

fail() {
    local f
    echo "FAIL: $*" >&2
    for f in "$JX_DRV_DIR"/out*; do
        [ -f "$f" ] && { echo "--- ${f##*/} (last 40 lines)"; tail -n 40 "$f"; } >&2
    done
    exit 1
}
