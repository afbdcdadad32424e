# shellcheck shell=bash
# Engine drivers on namespace hosts (it sources lib_netns.sh).
#
#   driver_find JEXLEY      set $JX_DRIVER: $JX_ENGINE_DRIVER, or tools/jx_engine_driver
#                           in the build tree of the given jexley binary; exit 77 when missing
#   driver_start i [VAR=VALUE...]  start a driver on host i with its own storage root
#                           ($JX_DRV_DIR/root<i>) and these environment variables (JEXLEY_PACING=
#                           classic); its events go to $JX_DRV_DIR/out<i>; waits for its READY line
#   driver_cmd i LINE       send one command line to driver i
#   driver_line i REGEX [T] wait up to T s (default 30) until a line of out<i> matches the
#                           extended REGEX; prints the first matching line; 1 on time-out
#   driver_wait i REGEX [T] the same, silent
#   driver_count i REGEX    number of lines of out<i> matching REGEX
#   driver_ask i LINE       send LINE and print the lines it produced (up to a marker echo)
#   driver_until i LINE REGEX [T]  ask LINE again and again until a line of the reply matches
#                           REGEX, for up to T s (default 30); 1 on time-out
#   driver_pid i            pid of driver i

declare -F netns_up >/dev/null || source "$(dirname "${BASH_SOURCE[0]}")/lib_netns.sh"
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
    netns_bg "$i" "$JX_DRV_DIR/out$i" env "${@:2}" "$JX_DRIVER" "$JX_DRV_DIR/root$i" <"$JX_DRV_DIR/in$i"
    _jx_drv_pid[$i]=$JX_NS_LAST_PID
    driver_wait "$i" '^READY ' || fail "driver $i did not start"
}

driver_pid() { echo "${_jx_drv_pid[$1]}"; }

driver_cmd() { printf '%s\n' "${*:2}" >&"${_jx_drv_fd[$1]}"; }

driver_count() { grep -cE -- "$2" "$JX_DRV_DIR/out$1"; }
driver_line() { eventually "${3:-30}" grep -m1 -E -- "$2" "$JX_DRV_DIR/out$1" 2>/dev/null; }  # out<i> may not exist yet
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
