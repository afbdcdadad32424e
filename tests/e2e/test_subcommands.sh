#!/usr/bin/env bash
# The subcommands on namespace hosts, alone and beside a running program:
#   - alone: carol sends bob a file and a folder; bob receives both (--from, --yes, --count,
#     --extract): byte-identical, the folder unpacked, both exit 0, carol's outbox empty again
#   - a hostile archive (a "../" entry) is refused by receive --extract with its reason, exit 1;
#     its fins are lost until then, and the sender still ends well: the receive answers its
#     repeats before it ends
#   - say to bob while he watches --json: every line parses, the text's event names carol, and the
#     text is kept in bob's message store as the terminal program would keep it
#   - say to a host that never answers gives up with status 1 within 40 s
#   - beside alice's terminal program on her root: say, send, receive and watch go through its
#     control socket (owner-only, mode 0600) and the program shows the text in its channel; bob's
#     own send and receive go through his running watch the same way; carol's receive serves her
#     send to its end though its own file came first; say --group uses the group alice's program
#     has joined; a command too long for one request is refused with status 2; the socket is gone
#     when the program ends
#   - another user is refused: the nobody user cannot use alice's root, and a server run by nobody
#     refuses root's connection on its socket; a malformed request is refused with a reason
# Usage: test_subcommands.sh JEXLEY_BINARY
set -u -o pipefail
source "$(dirname "$0")/lib_tmux.sh"

tmux_hosts "${1:-}"
command -v python3 >/dev/null || netns_skip "python3 is not installed"
command -v setpriv >/dev/null || netns_skip "setpriv is not installed"
netns_require nft
netns_up 4 || fail "could not build the namespace hosts"
BIN=$JX_TMUX_BIN
G=239.0.0.7
A1=$(netns_addr 1); A2=$(netns_addr 2); A3=$(netns_addr 3)
W=$(netns_tmpdir)
# A root of its own for each headless host, with a saved user name.
declare -A HOME_OF
for h in 2:bob 3:carol 4:dave; do
    HOME_OF[${h%%:*}]=$(netns_tmpdir)
    mkdir -m 700 "${HOME_OF[${h%%:*}]}/jx_internal"
    { printf '%s' "${h#*:}"; head -c $((15 - ${#h} + 2)) /dev/zero; } >"${HOME_OF[${h%%:*}]}/jx_internal/cfg"
done
# jx i NAME [ROOT] ARGS...: jexley ARGS on host i in the background (root: the host's own);
# NAME.out, NAME.err, NAME.pid and, once it ended, its status in NAME.rc. stop NAME: SIGTERM.
jx() {
    local i=$1 n=$2 root=${HOME_OF[$1]:-}
    shift 2
    [[ ${1:-} == /* ]] && root=$1 && shift
    rm -f "$W/$n".*
    netns_exec "$i" env JEXLEY_HOME="$root" bash -c '"$@" >"$0.out" 2>"$0.err" & echo $! >"$0.pid"
        wait $!; echo $? >"$0.rc"' "$W/$n" "$BIN" "$@" </dev/null &
}
stop() { eventually 5 test -s "$W/$1.pid" && kill -TERM "$(cat "$W/$1.pid")"; }
# status NAME [T]: waits up to T s (default 60) for NAME to end, and prints its status.
status() { eventually "${2:-60}" test -s "$W/$1.rc" && cat "$W/$1.rc"; }
# ends NAME STATUS WHAT: NAME ended with STATUS, else fail, showing its output.
ends() {
    local rc
    rc=$(status "$1") || rc=none
    [ "$rc" = "$2" ] || fail "$3 (status $rc, want $2): $(cat "$W/$1.out" "$W/$1.err" 2>/dev/null)"
}
watched() { grep -qE -- "$2" "$W/$1.out"; }

make_host 1 alice
join_lan 1 "$G"

# --- A host that never answers: in the background while the rest goes on -------------------------
t0=$SECONDS
jx 4 nobody_there say --to "$(netns_addr 99)" "anyone?"

# --- Alone: a file and a folder, byte for byte ------------------------------------------------------
src=$(netns_tmpdir)
head -c 3000000 /dev/urandom >"$src/data.bin"
mkdir -p "$src/tree/sub" && echo "a script" >"$src/tree/run.sh" && chmod 755 "$src/tree/run.sh"
head -c 100000 /dev/urandom >"$src/tree/sub/blob"
jx 2 take receive --from "$A3" --yes --count 2 --extract --timeout 60
jx 3 give send --to "$A2" "$src/data.bin" "$src/tree/"
ends give 0 "carol's send"
ends take 0 "bob's receive"
cmp -s "$src/data.bin" "${HOME_OF[2]}/downloads/data.bin" || fail "the file arrived changed"
diff -r "$src/tree" "${HOME_OF[2]}/downloads/tree" >/dev/null || fail "the folder arrived changed"
[ -x "${HOME_OF[2]}/downloads/tree/run.sh" ] || fail "the script lost its execute bit"
[ ! -e "${HOME_OF[2]}/downloads/tree.tar" ] || fail "the unpacked archive was kept"
watched give "^sent 3000000 $(sha256sum <"$src/data.bin" | cut -c1-64) data.bin$" || fail "no result line for the file"
watched take "^extracted [0-9]+ [0-9a-f]{64} .*/downloads/tree$" || fail "no result line for the folder"
[ -z "$(ls -A "${HOME_OF[3]}/jx_internal/outbox")" ] || fail "the outbox was not emptied"

# --- A hostile archive is refused with its reason ----------------------------------------------------
python3 -c 'import io, sys, tarfile
with tarfile.open(sys.argv[1], "w") as t:
    for n in ("x/", "x/../../evil"):
        i = tarfile.TarInfo(n); i.type = tarfile.DIRTYPE if n.endswith("/") else tarfile.REGTYPE
        i.size = 0 if n.endswith("/") else 4; t.addfile(i, io.BytesIO(b"evil"))' "$src/hostile.tar"
# Every fin bob sends (type 14, byte 4 of the payload) is lost until his receive has ended.
netns_exec 2 nft "add table inet jx; add chain inet jx out { type filter hook output priority 0; };
    add rule inet jx out udp dport 8856 @th,96,8 14 drop" || fail "nft on bob"
jx 2 take receive --yes --any --count 1 --extract --timeout 60
jx 3 give send --to "$A2" "$src/hostile.tar"
eventually 30 grep -q "archive refused" "$W/take.err" || fail "bob's receive did not end"
netns_undrop 2
ends take 1 "a hostile archive was not refused"
ends give 0 "the send whose fin was lost"
grep -q "archive refused: .*\.\." "$W/take.err" || fail "the refusal gives no reason: $(cat "$W/take.err")"
[ ! -e "${HOME_OF[2]}/evil" ] && [ ! -e "${HOME_OF[2]}/downloads/x" ] || fail "the hostile archive left files"

# --- say while bob watches --json ------------------------------------------------------------------------
jx 2 bobwatch watch --json
eventually 10 test -S "${HOME_OF[2]}/jx_internal/control" || fail "bob's watch does not serve its socket"
jx 3 hello say --to "$A2" "hello from carol"
ends hello 0 "say to bob"
watched hello "^delivered $(re "$A2")$" || fail "no result line for the text"
eventually 10 watched bobwatch '"event":"EV_TXT_RECEIVED".*"name":"carol".*"text":"hello from carol"' ||
    fail "bob's watch does not show carol's text: $(cat "$W/bobwatch.out")"
python3 -c 'import json, sys
for line in open(sys.argv[1]): json.loads(line)' "$W/bobwatch.out" || fail "watch --json printed a line that is no JSON"
grep -rqF "hello from carol" "${HOME_OF[2]}/msg" || fail "bob's watch did not keep the text it acknowledged"

# --- Beside alice's program: through its control socket -------------------------------------------------
ctl=${ROOT[1]}/jx_internal/control
[ -S "$ctl" ] && [ "$(stat -c %a "$ctl")" = 600 ] || fail "alice's control socket is not an owner-only socket"
jx 1 alicewatch "${ROOT[1]}" watch --json
jx 1 say1 "${ROOT[1]}" say --to "$A2" "via alice's program"
ends say1 0 "say beside the program"
grep -rqF "via alice's program" "${ROOT[1]}/msg" || fail "the program did not keep the text in its channel"
head -c 200000 /dev/urandom >"$src/small.bin"
# Carol's receive takes her send, which alice accepts only after the receive got its own file.
jx 3 ctake receive --from "$A2" --yes --count 1 --timeout 60
eventually 10 test -S "${HOME_OF[3]}/jx_internal/control" || fail "carol's receive does not serve its socket"
jx 3 cgive send --to "$A1" "$src/small.bin"
eventually 10 grep -q "Control request: send" "${HOME_OF[3]}/jx_internal/log" || fail "carol's receive did not serve"
jx 2 give2 send --to "$A3" "$src/small.bin"
eventually 30 watched ctake "^received 200000 " || fail "carol's receive got nothing: $(cat "$W/ctake.err")"
jx 1 take1 "${ROOT[1]}" receive --from "$A3" --yes --count 1
ends cgive 0 "carol's send through her receive, which had ended"
ends ctake 0 "carol's receive"
ends give2 0 "bob's send through his watch"
ends take1 0 "receive beside the program"
cmp -s "$src/small.bin" "${ROOT[1]}/downloads/small.bin" || fail "the file to alice arrived changed"
# (The watch may have started after the text went: the download is surely after it.)
eventually 10 watched alicewatch '"event":"EV_DL_COMPLETE".*"file":"small.bin".*"state":"completed"' ||
    fail "watch beside the program did not see the download"
jx 2 take2 receive --from "$A1" --yes --count 1
jx 1 give1 "${ROOT[1]}" send --to "$A2" "$src/tree"
ends give1 0 "send beside the program"
ends take2 0 "bob's receive through his watch"
for v in send receive; do
    grep -q "Control request: $v" "${HOME_OF[2]}/jx_internal/log" || fail "bob's watch did not serve his $v"
done
# A command too long for one request line is refused here, not dropped there without a word.
netns_exec 1 env JEXLEY_HOME="${ROOT[1]}" "$BIN" send --to "$A2" $(printf "$src/%0200d " $(seq 400)) >"$W/long.out" 2>&1
rc=$?
[ "$rc" = 2 ] && grep -q "give it fewer paths at a time" "$W/long.out" || fail "a command too long: $rc $(cat "$W/long.out")"

# --- The host that never answered ------------------------------------------------------------------------
ends nobody_there 1 "say to a silent host"
[ $((SECONDS - t0)) -le 40 ] || fail "say to a silent host took $((SECONDS - t0)) s"
grep -q "never answered" "$W/nobody_there.err" || fail "no reason: $(cat "$W/nobody_there.err")"

# --- say --group on the group alice's program joined -------------------------------------------------------
jx 4 davewatch watch --group "$G"
eventually 10 watched davewatch "EV_NET_REFRESH network=$(re $G)" || fail "dave's watch did not join $G"
jx 1 group1 "${ROOT[1]}" say --group "$G" "to the group"
ends group1 0 "say --group beside the program"
eventually 10 watched davewatch "EV_TXT_RECEIVED .*name=alice .*text=to the group" || fail "dave did not see the group text"
for w in alicewatch bobwatch davewatch; do stop $w; ends $w 0 "$w did not end cleanly on SIGTERM"; done
! watched davewatch "EV_PEER_LEFT .*name=alice" || fail "say --group left a group alice's program had joined"
[ ! -e "${HOME_OF[2]}/jx_internal/control" ] || fail "bob's socket was left behind"
python3 -c 'import json, sys
for line in open(sys.argv[1]): json.loads(line)' "$W/alicewatch.out" || fail "watch --json printed a line that is no JSON"

# --- Another user ----------------------------------------------------------------------------------------------
# nobody cannot use alice's root at all; a server run by nobody refuses root on its socket.
nobody=(setpriv --reuid 65534 --regid 65534 --clear-groups)
netns_exec 1 "${nobody[@]}" env JEXLEY_HOME="${ROOT[1]}" "$BIN" say --to "$A2" "not mine" >"$W/other.out" 2>&1
rc=$?
[ "$rc" = 3 ] || fail "another user's say on alice's root: status $rc: $(cat "$W/other.out")"
nob=$JX_NS_TMPBASE/nobody
mkdir -m 700 "$nob" && chown 65534:65534 "$nob" || fail "no root for nobody"
netns_exec 4 "${nobody[@]}" env JEXLEY_HOME="$nob" "$BIN" watch --timeout 30 >"$W/nobody.out" 2>&1 </dev/null &
eventually 10 test -S "$nob/jx_internal/control" || fail "nobody's watch does not serve: $(cat "$W/nobody.out")"
# ask SOCKET LINE: the lines a server answers to LINE.
ask() {
    python3 -c 'import socket, sys
s = socket.socket(socket.AF_UNIX)
s.connect(sys.argv[1])
s.sendall(sys.argv[2].encode() + b"\n")
print(s.makefile().read())' "$@"
}
reply=$(ask "$nob/jx_internal/control" '{"argv": ["say", "--to", "10.0.0.1", "hi"], "cwd": "/"}')
[[ $reply == *"serves only its own user"*'"exit":3'* ]] || fail "root was not refused on nobody's socket: $reply"
reply=$(ask "$ctl" '{"argv": ["say", "--to"], "cwd": "/"} and more')
[[ $reply == *"request refused: not a JSON object"*'"exit":2'* ]] || fail "a malformed request was not refused: $reply"

# --- The program ends: its socket goes with it -----------------------------------------------------------------
press 1 Escape "Client Details" "Esc did not go home"
key 1 Escape
eventually 30 ended 1 || fail "alice's program did not end"
[ ! -e "$ctl" ] || fail "alice's socket was left behind"
echo "ok: subcommands alone, through the control socket and refused to another user ($SECONDS s)"
