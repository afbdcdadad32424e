#!/usr/bin/env bash
# Builds and runs every test: unit, component, end-to-end (tmux, network namespaces),
# the fuzz corpus replay and, when clang is available, a bounded fuzzing run.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/deps.sh" test
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
passed=$((total - failed))

if [ -f "$here/tests/fuzz/CMakeLists.txt" ] && command -v clang++-14 >/dev/null; then
  f="$here/build/fuzz"
  CXX=clang++-14 cmake -S "$here" -B "$f" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DJX_FUZZ=ON -DJX_WERROR=ON >/dev/null
  cmake --build "$f" --target fuzz_datagram
  mkdir -p "$work/corpus" "$f/artifacts"
  cp "$here"/tests/fuzz/corpus/* "$work/corpus/"
  echo "fuzz: running fuzz_datagram for ${JX_FUZZ_SECONDS:-60} s"
  # One byte of each input steers the harness, so a full 1470-byte datagram needs 1471.
  if "$f/tests/fuzz/fuzz_datagram" -max_total_time="${JX_FUZZ_SECONDS:-60}" -max_len=1471 \
      -print_final_stats=1 -artifact_prefix="$f/artifacts/" "$work/corpus" >"$work/fuzz.log" 2>&1; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    tail -n 60 "$work/fuzz.log"
  fi
  grep -E '^(Done|stat::|==|SUMMARY|artifact)' "$work/fuzz.log" | tail -n 20 || true
fi

echo "tests: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
