#!/usr/bin/env bash
# The long run of the fault lab (tests/e2e/test_faults.sh, which CI runs short), on the optimised
# build: 1000 texts at 20 % loss each way, 500 each with 10 % duplication and with reordering and
# 1000 with both and loss, 100 MiB transfers with duplication, with reordering and with loss,
# duplication and reordering together, a 20 s blackhole, a hostile peer, 5000 forged senders that
# each beacon, ask for a private network, write and leave, and 200 beaconing peers with 50 texts a
# second for a minute. Prints the figures:
#   texts undelivered per 1000 at 20 % loss (six tries, each failing with 1 - 0.8 * 0.8 = 36 %, so
#   about 0.36^6 * 1000 = 2.2 are expected, and more than 3 about one run in six), texts received
#   twice, transfers byte-identical, what the forged flood added to the storage root and to the
#   program's resident memory (bounds: 120 channel files, 20 MB each), CPU and memory of the
#   program under the crowd.
# Usage: bench_faults.sh JEXLEY (its build directory holds tools/).
set -u
here=$(cd "$(dirname "$0")" && pwd)
[ "$(id -u)" -eq 0 ] || { echo "SKIP: network namespaces need root"; exit 77; }
jexley=${1:?usage: bench_faults.sh JEXLEY}
log=$(mktemp)
trap 'rm -f "$log"' EXIT
start=$SECONDS
JX_FAULT_TEXTS=1000 JX_FAULT_GAP=0.05 JX_FAULT_MAX_LOST=1000 JX_FAULT_MIB=100 \
    JX_FAULT_CROWD_S=60 JX_FAULT_CUT_S=20 JX_FAULT_FLOOD=5000 bash "$here/../tests/e2e/test_faults.sh" "$jexley" >"$log" 2>&1
rc=$?
sed -nE 's/^ok: //p; /^(FAIL|SKIP)/p' "$log"
sed -nE 's/^ok: loss: ([0-9]+) texts, ([0-9]+) undelivered.*/texts undelivered per 1000 at 20 % loss each way: \2 of \1 (2.2 expected)/p' "$log"
echo "fault lab: $((SECONDS - start)) s, $( [ $rc = 0 ] && echo passed || echo "FAILED ($rc)")"
[ $rc = 0 ] || tail -n 40 "$log"
exit $rc
