#!/usr/bin/env bash
# Installs what building, running and testing Jexley needs, when it is missing.
# Usage: scripts/deps.sh [run|demo|package|test]   (default: test)
set -euo pipefail
want=${1:-test}
# The JSON and archive libraries serve the subcommands and folders.
pkgs=(g++ cmake ninja-build nlohmann-json3-dev libarchive-dev)
if [ "$want" = demo ]; then
  pkgs+=(tmux iproute2)
fi
# CPack's deb generator: dpkg-deb, and dpkg-shlibdeps (dpkg-dev) with file for the dependencies.
if [ "$want" = package ] || [ "$want" = test ]; then
  pkgs+=(dpkg-dev file)
fi
# The fuzzer's compiler, where the distribution has it: installed on its own, so that its absence
# costs only the fuzzing run (which then says it was skipped), not the whole install.
fuzz=()
if [ "$want" = test ]; then
  # groff checks the manual page; python3 reads the subcommands' JSON and crafts a hostile archive.
  pkgs+=(libgtest-dev tmux iproute2 nftables openssl coreutils groff-base python3)
  fuzz=(clang-14 libclang-rt-14-dev)
fi
missing() {
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || echo "$p"
  done
}
mapfile -t need < <(missing "${pkgs[@]}")
mapfile -t need_fuzz < <(missing "${fuzz[@]}")
[ ${#need[@]} -eq 0 ] && [ ${#need_fuzz[@]} -eq 0 ] && exit 0
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo
$SUDO apt-get update -qq
if [ ${#need[@]} -ne 0 ]; then
  echo "Installing: ${need[*]}"
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need[@]}" >/dev/null
fi
if [ ${#need_fuzz[@]} -ne 0 ]; then
  echo "Installing: ${need_fuzz[*]}"
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need_fuzz[@]}" >/dev/null ||
    echo "deps: ${need_fuzz[*]} could not be installed; the fuzzing run will be skipped"
fi
