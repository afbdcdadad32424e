#!/usr/bin/env bash
# Builds the Debian package build/package/jexley_<version>_<arch>.deb with CPack: the optimised
# program, its manual page, bash completion and documentation, depending on the packages of the
# shared libraries it links. Install it with: sudo apt install ./build/package/jexley_*.deb
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/deps.sh" package
b="$here/build/release"
out="$here/build/package"
cmake -S "$here" -B "$b" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$b" --target jexley
# One package in the folder, the one of this version.
rm -f "$out"/jexley_*.deb
cpack --config "$b/CPackConfig.cmake" -B "$out" >/dev/null
ls "$out"/jexley_*.deb
