# shellcheck shell=bash
# Engine drivers on namespace hosts (needs lib_netns.sh sourced first).
#
#   driver_find JEXLEY      set $JX_DRIVER: $JX_ENGINE_DRIVER, or tools/jx_engine_driver
#                           in the build tree of the given jexley binary; exit 77 when missing
#   driver_start i          start a driver on host i with its own storage root ($JX_DRV_DIR/root<i>);
#                           its events go to $JX_DRV_DIR/out<i>; waits for its READY line
#   driver_cmd i LINE       send one command line to driver i
#   driver_wait i REGEX [T] wait up to T s (default 20) until a line of out<i> matches the
#                           extended REGEX; prints the first matching line; 1 on time-out
#   driver_count i REGEX    number of lines of out<i> matching REGEX
#   driver_ask i LINE       send LINE and print the lines it produced (up to a marker echo)
#   driver_pid i            pid of driver i
#   fail MSG                print "FAIL: MSG", the tail of every driver output, exit 1

JX_DRV_DIR=
declare -A _jx_drv_fd=()
declare -A _jx_drv_pid=()
_jx_drv_seq=0

driver_find() {
    local jexley=${1:-}
    JX_DRIVER=${JX_ENGINE_DRIVER:-}
    if [ -z "$JX_DRIVER" ] && [ -n "$jexley" ]; then
        JX_DRIVER="$(cd "$(dirname "$jexley")" && pwd)/tools/jx_engine_driver"
    fi
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
    driver_wait "$i" '^READY ' 10 >/dev/null || fail "driver $i did not start"
}

driver_pid() { echo "${_jx_drv_pid[$1]}"; }

driver_cmd() {
    local i=$1; shift
    printf '%s\n' "$*" >&"${_jx_drv_fd[$i]}"
}

driver_count() {
    local n
    n=$(grep -cE -- "$2" "$JX_DRV_DIR/out$1" 2>/dev/null) || true
    echo "${n:-0}"
}

driver_wait() {
    local i=$1 re=$2 t=${3:-20} end line
    end=$((SECONDS + t))
    while :; do
        line=$(grep -m1 -E -- "$re" "$JX_DRV_DIR/out$i" 2>/dev/null) && { echo "$line"; return 0; }
        [ $SECONDS -ge $end ] && return 1
        sleep 0.1
    done
}

driver_ask() {
    local i=$1 before tag; shift
    _jx_drv_seq=$((_jx_drv_seq + 1))
    tag="ask$_jx_drv_seq"
    before=$(wc -l <"$JX_DRV_DIR/out$i")
    driver_cmd "$i" "$*"
    driver_cmd "$i" "echo $tag"
    driver_wait "$i" "^ECHO $tag\$" 10 >/dev/null || return 1
    tail -n +"$((before + 1))" "$JX_DRV_DIR/out$i" | sed "/^ECHO $tag\$/,\$d"
}

fail() {
    local f
    echo "FAIL: $*" >&2
    for f in "$JX_DRV_DIR"/out*; do
        [ -f "$f" ] || continue
        echo "--- ${f##*/} (last 40 lines)" >&2
        tail -n 40 "$f" >&2
    done
    exit 1
}
