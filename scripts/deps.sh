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
if [ "$want" = test ]; then
  # groff checks the manual page; python3 reads the subcommands' JSON and crafts a hostile archive.
  pkgs+=(libgtest-dev tmux iproute2 nftables openssl coreutils clang-14 libclang-rt-14-dev
    groff-base python3)
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
