#!/usr/bin/env bash
# Builds the benchmarks in an optimised build and runs them all, printing their figures:
# every bench_* executable from bench/*.cpp, then every bench/*.sh script
# (given the jexley binary as $1, with JX_BUILD_DIR and JX_SOURCE_DIR set). The two long runs,
# bench_faults.sh (about 12 minutes) and bench_fuzz.sh (hours), run only with JX_BENCH_LONG=1 or
# when named: scripts/bench.sh bench_fuzz.sh runs that script alone.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/deps.sh" test
b="$here/build/bench"
cmake -S "$here" -B "$b" -G Ninja -DCMAKE_BUILD_TYPE=Release -DJX_BENCH=ON >/dev/null
cmake --build "$b" --target jx_benches jexley jx_engine_driver jx_relay jx_peer jx_msgdump -j2
export JX_BUILD_DIR="$b" JX_SOURCE_DIR="$here"
status=0
for exe in "$b"/bench/bench_*; do
  [ -f "$exe" ] && [ -x "$exe" ] && [ $# -eq 0 ] || continue
  echo "== $(basename "$exe")"
  "$exe" || { echo "$(basename "$exe") failed"; status=1; }
done
for script in "$here"/bench/*.sh; do
  [ -f "$script" ] || continue
  name=$(basename "$script")
  if [ $# -gt 0 ]; then
    [[ " $* " == *" $name "* ]] || continue
  elif [ "${JX_BENCH_LONG:-0}" != 1 ] && [[ $name == bench_faults.sh || $name == bench_fuzz.sh ]]; then
    echo "== $name skipped (a long run: JX_BENCH_LONG=1, or scripts/bench.sh $name)"
    continue
  fi
  echo "== $(basename "$script")"
  rc=0
  bash "$script" "$b/jexley" || rc=$?
  case $rc in
    0) ;;
    77) echo "$(basename "$script") skipped" ;;
    *) echo "$(basename "$script") failed ($rc)"; status=1 ;;
  esac
done
exit $status
