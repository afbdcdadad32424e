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
status=0
(cd "$b" && ctest --output-on-failure -j2 --timeout 900) || status=1
if [ -f "$here/tests/fuzz/CMakeLists.txt" ] && command -v clang++-14 >/dev/null; then
  f="$here/build/fuzz"
  CXX=clang++-14 cmake -S "$here" -B "$f" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DJX_FUZZ=ON -DJX_WERROR=ON >/dev/null
  cmake --build "$f" --target fuzz_datagram
  work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
  cp "$here"/tests/fuzz/corpus/* "$work"/ 2>/dev/null || true
  echo "fuzz: running fuzz_datagram for ${JX_FUZZ_SECONDS:-60} s"
  "$f/tests/fuzz/fuzz_datagram" -max_total_time="${JX_FUZZ_SECONDS:-60}" -max_len=1471 -print_final_stats=1 "$work" 2>&1 | tail -n 25 || status=1
fi
exit $status
