#!/usr/bin/env bash
# The #include lines of src/ and tools/ form no circle between modules (a module is a header and
# the source of the same name, so "a.cpp includes b.hpp, b.cpp includes a.hpp" is a circle too), and
# no layer includes one above it: foundation <- protocol <- engine <- cli <- terminal, storage on
# foundation beside the engine, control on storage (used by cli), the doctor on protocol and
# storage. The build refuses an upward include as well (each library sees only its own and lower
# include roots); this names the circle.
set -u -o pipefail
cd "${JX_SOURCE_DIR:-$(dirname "$0")/../..}" || exit 1
fail=0

# "module included-module" for every quoted include of another module.
edges=$(find src tools -name '*.cpp' -o -name '*.hpp' | sort | while read -r f; do
    m=${f%.*}
    m=${m#src/}
    sed -n 's/^#include "\(.*\)\.hpp"$/\1/p' "$f" | while read -r inc; do
        [ "$inc" = "$m" ] || echo "$m $inc"
    done
done | sort -u)
[ -n "$edges" ] || { echo "FAIL: no #include lines found"; exit 1; }

# tsort names the modules of a circle when there is one.
if ! loop=$(tsort <<<"$edges" 2>&1 >/dev/null); then
    echo "FAIL: include circle"$'\n'"$loop"
    fail=1
fi

# The layers each layer may include besides itself.
declare -A below=([foundation]="" [protocol]="foundation" [storage]="foundation"
    [engine]="protocol storage foundation" [doctor]="protocol storage foundation"
    [control]="storage foundation" [cli]="engine control protocol storage foundation"
    [terminal]="cli engine doctor control protocol storage foundation")
while read -r from to; do
    lf=${from%%/*} lt=${to%%/*}
    [ "$lf" = "$lt" ] || [ "$lf" = tools ] || [[ " ${below[$lf]-} " == *" $lt "* ]] && continue
    echo "FAIL: $from includes $to, a layer it may not use"
    fail=1
done <<<"$edges"

[ "$fail" -eq 0 ] && echo "ok: $(wc -l <<<"$edges") includes between modules, no circle, none upward"
exit "$fail"
