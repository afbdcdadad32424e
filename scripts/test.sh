#!/usr/bin/env bash
# Builds and runs every test: unit, component, end-to-end (tmux, network namespaces),
# the fuzz corpus replay and, when clang is available, a bounded fuzzing run.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/deps.sh" test
# Test roots are made with mkdir; Jexley refuses directories its group may write.
umask 022
b="$here/build/test"
cmake -S "$here" -B "$b" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DJX_TESTS=ON -DJX_SANITIZE=ON -DJX_WERROR=ON >/dev/null
cmake --build "$b"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

(cd "$b" && ctest --output-on-failure -j2 --timeout 900) | tee "$work/ctest.log" || true
total=$(sed -n 's/.* tests failed out of \([0-9]*\).*/\1/p' "$work/ctest.log" | tail -n 1)
failed=$(sed -n 's/.*, \([0-9]*\) tests failed out of.*/\1/p' "$work/ctest.log" | tail -n 1)
if [ -z "$total" ]; then
  echo "ctest did not run"
  total=1 failed=1
fi
# ctest counts a suite that exited 77 (it could not run here) among those that did not fail.
skipped=$(grep -c '\*\*\*Skipped' "$work/ctest.log" || true)
passed=$((total - failed - skipped))

# The two fuzz targets count as two tests: passed, failed, or skipped when they cannot be built.
f="$here/build/fuzz"
if [ ! -f "$here/tests/fuzz/CMakeLists.txt" ]; then
  :
elif ! command -v clang++-14 >/dev/null; then
  echo "fuzz: SKIPPED, clang++-14 is not installed (scripts/deps.sh test installs it)"
  skipped=$((skipped + 2))
elif ! { CXX=clang++-14 cmake -S "$here" -B "$f" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DJX_FUZZ=ON -DJX_WERROR=ON >/dev/null &&
  cmake --build "$f" --target fuzz_datagram fuzz_msgfile; }; then
  echo "fuzz: FAILED, the fuzz targets did not build"
  failed=$((failed + 2))
else
  mkdir -p "$f/artifacts"
  # target, seconds, corpus, longest input: one control byte and a whole datagram; a small ring.
  for run in "fuzz_datagram ${JX_FUZZ_SECONDS:-60} datagram 1471" "fuzz_msgfile ${JX_FUZZ_MSG_SECONDS:-20} msgfile 8000"; do
    read -r target secs corpus len <<<"$run"
    rm -rf "$work/$corpus" && cp -r "$here/tests/fuzz/corpus/$corpus" "$work/$corpus"
    echo "fuzz: running $target for $secs s"
    if "$f/tests/fuzz/$target" -max_total_time="$secs" -max_len="$len" -print_final_stats=1 \
        -artifact_prefix="$f/artifacts/$target-" "$work/$corpus" >"$work/$target.log" 2>&1; then
      passed=$((passed + 1))
    else
      failed=$((failed + 1))
      tail -n 60 "$work/$target.log"
    fi
    grep -E '^(Done|stat::|==|SUMMARY|artifact)' "$work/$target.log" | tail -n 20 || true
  done
fi

echo "tests: $passed passed, $failed failed, $skipped skipped"
# In CI every test must run: a skip there means the machine is not what the project needs.
if [ "${CI:-}" = true ] && [ "$skipped" -ne 0 ]; then
  echo "CI: $skipped skipped, which fails the run"
  exit 1
fi
[ "$failed" -eq 0 ]
