#!/usr/bin/env bash
# The long fuzzing run (not part of CI, which fuzzes for about a minute): each fuzz target for
# JX_FUZZ_RUNS (10 000 000) executions on JX_FUZZ_JOBS (2) processes, starting from its seed corpus
# and keeping what it learns in build/fuzz-long/long/<target>. Prints executions, coverage and speed per
# target and every finding; an input that found a fault is copied into the target's seed corpus
# (tests/fuzz/corpus/<kind>), where every ordinary test run replays it.
# Usage: bench_fuzz.sh [JEXLEY] (the argument scripts/bench.sh passes is not needed)
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
command -v clang++-14 >/dev/null || { echo "SKIP: clang++-14 is not installed"; exit 77; }
[ "$(id -u)" -eq 0 ] || { echo "SKIP: fuzz_datagram needs root for its network namespace"; exit 77; }
runs=${JX_FUZZ_RUNS:-10000000}
jobs=${JX_FUZZ_JOBS:-2}
f=$root/build/fuzz-long
CXX=clang++-14 cmake -S "$root" -B "$f" -G Ninja -DCMAKE_BUILD_TYPE=Release -DJX_FUZZ=ON >/dev/null &&
    cmake --build "$f" --target fuzz_datagram fuzz_msgfile >/dev/null || { echo "fuzz build failed"; exit 1; }

status=0
for run in "fuzz_datagram datagram 1471" "fuzz_msgfile msgfile 8000"; do
    read -r target corpus len <<<"$run"
    out=$f/long/$target
    mkdir -p "$out/corpus" "$out/artifacts"
    cp -n "$root/tests/fuzz/corpus/$corpus"/* "$out/corpus/" 2>/dev/null
    start=$(date +%s)
    # Each job runs its share of the executions; the fuzzer logs land in fuzz-<n>.log.
    (cd "$out" && JX_FUZZ_RESET=1000 "$f/tests/fuzz/$target" -runs=$((runs / jobs)) -jobs="$jobs" -workers="$jobs" \
        -max_len="$len" -print_final_stats=1 -artifact_prefix="$out/artifacts/" "$out/corpus" >/dev/null 2>&1)
    took=$(($(date +%s) - start))
    awk -v t="$target" -v s="$took" '
        /^stat::number_of_executed_units/ { n += $2 }
        /DONE|cov:/ { if (match($0, /cov: [0-9]+/)) { c = substr($0, RSTART + 5, RLENGTH - 5) + 0; if (c > cov) cov = c } }
        END { printf "%s: %d executions in %d s (%.0f/s), coverage %d edges\n", t, n, s, n / (s ? s : 1), cov }
    ' "$out"/fuzz-*.log
    found=$(ls "$out/artifacts" 2>/dev/null | wc -l)
    echo "$target: $found findings"
    if [ "$found" -gt 0 ]; then
        status=1
        for a in "$out"/artifacts/*; do
            echo "  $(basename "$a"): $(grep -m1 -E 'ERROR|SUMMARY|fuzz harness' "$out"/fuzz-*.log | head -n 1)"
            cp "$a" "$root/tests/fuzz/corpus/$corpus/found-$(basename "$a")"
        done
    fi
done
exit $status
