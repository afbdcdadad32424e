#!/usr/bin/env bash
# Builds Jexley and starts it from a ready storage root that survives cleaning the build:
# ${JEXLEY_HOME:-~/.local/share/jexley} holds the program and jx_internal/, msg/, downloads/.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/deps.sh" run
cmake -S "$here" -B "$here/build/release" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$here/build/release" --target jexley
root=${JEXLEY_HOME:-${XDG_DATA_HOME:-$HOME/.local/share}/jexley}
# Jexley takes only directories no one else may write: they are made, or made so, 0700.
mkdir -p -m 700 "$root/jx_internal" "$root/msg" "$root/downloads"
chmod go-w "$root/jx_internal" "$root/msg" "$root/downloads"
install -m 755 "$here/build/release/jexley" "$root/jexley"
exec "$root/jexley"
