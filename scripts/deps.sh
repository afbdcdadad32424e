#!/usr/bin/env bash
# Installs what building, running and testing Jexley needs, when it is missing.
# Usage: scripts/deps.sh [run|demo|test]   (default: test)
set -euo pipefail
want=${1:-test}
pkgs=(g++ cmake ninja-build)
if [ "$want" = demo ]; then
  pkgs+=(tmux iproute2)
fi
if [ "$want" = test ]; then
  pkgs+=(libgtest-dev libbenchmark-dev tmux iproute2 nftables openssl coreutils clang-14 libclang-rt-14-dev strace)
fi
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "Installing: ${missing[*]}"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
