#!/usr/bin/env bash
# Installs Jexley for everyday use: the program beside its storage root, and a link on PATH.
# Started through the link, Jexley finds its storage root at the link's target.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/deps.sh" run
cmake -S "$here" -B "$here/build/release" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$here/build/release" --target jexley
root=${JEXLEY_HOME:-${XDG_DATA_HOME:-$HOME/.local/share}/jexley}
bindir=${JEXLEY_BIN:-$HOME/.local/bin}
# Jexley takes only directories no one else may write: they are made, or made so, 0700.
mkdir -p -m 700 "$root/jx_internal" "$root/msg" "$root/downloads"
chmod go-w "$root/jx_internal" "$root/msg" "$root/downloads"
mkdir -p "$bindir"
install -m 755 "$here/build/release/jexley" "$root/jexley"
ln -sfn "$root/jexley" "$bindir/jexley"
echo "Installed $root/jexley, linked from $bindir/jexley"
case ":$PATH:" in *":$bindir:"*) ;; *) echo "Add $bindir to your PATH to start it as 'jexley'." ;; esac
