#!/usr/bin/env bash
# Jexley as an installed program. scripts/package.sh makes the .deb of the project's version: the
# program, the manual page, the completion and the README, nothing else, the same files
# `cmake --install` puts under DESTDIR, with dependencies from dpkg-shlibdeps. The manual renders
# without a warning and names every option the completion offers; the completion offers each
# subcommand's options and send's paths. With no jx_internal beside it or on PATH, the program
# makes its root in $XDG_DATA_HOME/jexley (else ~/.local/share/jexley) on first use, owner-only;
# JEXLEY_HOME overrides the search; one that cannot be made fails the start and says where.
set -u -o pipefail
bin=$(realpath "${1:?usage: test_install.sh path/to/jexley}")
src=${JX_SOURCE_DIR:-$(cd "$(dirname "$0")/../.." && pwd)}
source "$(dirname "$0")/lib_netns.sh"

for tool in cpack dpkg-deb dpkg-shlibdeps file groff; do
    command -v $tool >/dev/null || netns_skip "$tool is not installed (scripts/deps.sh package)"
done
unshare -rn true 2>/dev/null || netns_skip "cannot make a network namespace (unshare -rn)"
work=$(mktemp -d "${TMPDIR:-/tmp}/jx_install.XXXXXX")
trap 'rm -rf -- "$work"' EXIT

# --- The package ---------------------------------------------------------------------------------
version=$(sed -n 's/^project(jexley VERSION \([0-9.]*\) .*/\1/p' "$src/CMakeLists.txt")
"$src/scripts/package.sh" >"$work/package.log" 2>&1 || fail "scripts/package.sh:"$'\n'"$(tail -n 30 "$work/package.log")"
deb=$src/build/package/jexley_${version}_$(dpkg --print-architecture).deb
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "no package $deb of version $version"
[[ $(dpkg-deb -f "$deb" Depends) == *libc6* ]] || fail "no dependencies from the linked libraries"
want=$'./usr/bin/jexley\n./usr/share/bash-completion/completions/jexley\n./usr/share/doc/jexley/README.md\n./usr/share/man/man1/jexley.1'
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort)
[ "$files" = "$want" ] || fail "the package holds:"$'\n'"$files"
DESTDIR="$work/dest" cmake --install "$src/build/release" --prefix /usr >/dev/null || fail "cmake --install"
[ "$(cd "$work/dest" && find . -type f | sort)" = "$want" ] || fail "cmake --install with DESTDIR"
dpkg-deb -x "$deb" "$work/pkg" && usr=$work/pkg/usr
[ "$("$usr/bin/jexley" --version)" = "jexley $version" ] || fail "--version is not $version"

warnings=$(groff -man -ww -Tutf8 -z "$usr/share/man/man1/jexley.1" 2>&1)
[ -z "$warnings" ] || fail "the manual page renders with warnings:"$'\n'"$warnings"
page=$(groff -man -Tutf8 -P-c "$usr/share/man/man1/jexley.1" 2>/dev/null | sed 's/.\x08//g')

# comp WORD...: what the completion offers for the last word, one per line
comp() {
    bash -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _jexley; printf "%s\n" "${COMPREPLY[@]}"' \
        _ "$usr/share/bash-completion/completions/jexley" "$@" | sort | paste -sd' '
}
mkdir -p "$work/files/a dir" && touch "$work/files/a b.txt" "$work/files/other"
cd "$work/files" || fail "no files"
while IFS='|' read -r words offered; do
    read -ra w <<<"$words"
    [ "$(comp "${w[@]}" "")" = "$offered" ] || fail "completion of '$words': '$(comp "${w[@]}" "")', not '$offered'"
    for o in $offered; do
        [[ $o != -* ]] || grep -qF -- "$o" <<<"$page" || fail "the manual page does not name $o"
    done
done <<'CASES'
jexley|--doctor --help --version receive say send watch
jexley send --to 10.0.0.1|a b.txt a dir other
jexley receive|--any --count --extract --from --help --timeout --yes
jexley receive --count|
jexley say|--group --help --timeout --to
jexley watch --json|--group --help --json --timeout
CASES
[ "$(comp jexley send --to 10.0.0.1 a)" = "a b.txt a dir" ] || fail "send's paths from 'a': '$(comp jexley send --to 10.0.0.1 a)'"
echo "ok: the package"

# --- The storage root of an installed program --------------------------------------------------------
mkdir -p "$work/usr/bin" "$work/cwd" "$work/home" && cp "$bin" "$work/usr/bin/jexley" && echo x >"$work/file"
# run ROOT VAR=VALUE...: the program with only these variables and PATH, from $work/cwd, in a
# network namespace of its own, until its log in ROOT shows the main loop (then SIGTERM) or it
# ends; $out holds what it printed and "rc=STATUS".
run() {
    local root=$1
    out=$(cd "$work/cwd" && env -i PATH=/usr/bin:/bin "${@:2}" unshare -rn bash -c '
        "$1" </dev/null & pid=$!
        for i in $(seq 300); do
            grep -qs "Entering terminal loop" "$2/jx_internal/log" && break
            kill -0 $pid 2>/dev/null || break
            sleep 0.1
        done
        kill -TERM $pid 2>/dev/null; wait $pid; echo "rc=$?"' _ "$work/usr/bin/jexley" "$root" 2>&1)
}
# owner_only DIR...: each was made 0700
owner_only() {
    local d
    for d in "$@"; do [ "$(stat -c %a "$d")" = 700 ] || fail "$d is $(stat -c %a "$d"), not 700"; done
}
data=$work/xdg/data/jexley
run "$data" XDG_DATA_HOME="$work/xdg/data" HOME="$work/home"
[[ $out == *rc=0 ]] && grep -q "Entering terminal loop" "$data/jx_internal/log" || fail "no root in XDG_DATA_HOME: $out"
owner_only "$work/xdg" "$work/xdg/data" "$data" "$data/jx_internal" "$data/msg" "$data/downloads"
[ ! -e "$work/home/.local" ] || fail "a root was made in HOME as well"
home=$work/home/.local/share/jexley
run "$home" HOME="$work/home"
[[ $out == *rc=0 ]] && [ -s "$home/jx_internal/log" ] || fail "no root in ~/.local/share: $out"
owner_only "$work/home/.local" "$work/home/.local/share" "$home" "$home/jx_internal"
# JEXLEY_HOME, relative to the working directory, wins over a jx_internal beside the program.
mkdir -m 700 "$work/usr/bin/jx_internal"
run "$work/cwd/mine" JEXLEY_HOME=mine/ HOME="$work/home"
[[ $out == *rc=0 ]] && [ -s "$work/cwd/mine/jx_internal/log" ] || fail "JEXLEY_HOME not used: $out"
[ -z "$(ls "$work/usr/bin/jx_internal")" ] || fail "the root beside the program was used"
owner_only "$work/cwd/mine" "$work/cwd/mine/msg"
run "$work/file" JEXLEY_HOME="$work/file"
for t in "Cannot make the directory $work/file: something else of that name is in the way" \
    "No storage root found: JEXLEY_HOME names it" "  $work/file/jx_internal (made when missing)" "rc=1"; do
    grep -qF -- "$t" <<<"$out" || fail "a JEXLEY_HOME that cannot be made: no '$t' in:"$'\n'"$out"
done
echo PASS
