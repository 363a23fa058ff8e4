#!/usr/bin/env bash
# Checks every #include "..." of the library and of tevo against the layering
# (README.md, Architecture): a folder includes its own headers and those of
# the folders below it that the table allows, nothing else. Prints each
# offending file:line with the rule it breaks; exits 1 when there is any.
#   bash scripts/check-layers.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

# Folder: the folders it may include besides itself. "umbrella" is the
# library's single public header at the top of the tree.
rules='
core:
graph: core
io: core graph
filters: core graph
spectral: core graph filters
dynamics: core graph filters spectral
jobs: core graph io filters spectral dynamics
playback: core graph io filters spectral dynamics
app: core graph io filters spectral dynamics jobs playback umbrella
python: core graph io filters spectral dynamics jobs playback umbrella
'
folders=$(printf '%s\n' "$rules" | sed -n 's/^\([a-z]*\):.*/\1/p')

# Where each header lives; one flat include path means one name per header.
headers=$(
    for dir in $folders; do
        [ -d "$dir" ] || continue
        for h in "$dir"/*.h; do [ -e "$h" ] && printf '%s %s\n' "${h##*/}" "$dir"; done
    done
    printf '%s umbrella\n' tevo_fftw_win32.h
)

sources=()
for dir in $folders; do
    [ -d "$dir" ] || continue
    for f in "$dir"/*.h "$dir"/*.cpp; do [ -e "$f" ] && sources+=("$f"); done
done

awk -v rules="$rules" -v headers="$headers" '
BEGIN {
    n = split(rules, lines, "\n")
    for (i = 1; i <= n; i++) {
        if (split(lines[i], kv, ":") < 2) continue
        may[kv[1]] = kv[2]; sub(/^ +/, "", may[kv[1]])
        m = split(kv[2], list, " ")
        for (j = 1; j <= m; j++) allowed[kv[1], list[j]] = 1
    }
    n = split(headers, lines, "\n")
    for (i = 1; i <= n; i++) {
        split(lines[i], hv, " ")
        if (hv[1] in home && home[hv[1]] != hv[2]) {
            printf "%s/%s: header name also in %s; the flat include path would pick either\n", hv[2], hv[1], home[hv[1]]
            bad++
        }
        home[hv[1]] = hv[2]
    }
}
FNR == 1 { dir = FILENAME; sub(/\/.*/, "", dir) }
/^[ \t]*#[ \t]*include[ \t]*"/ {
    name = $0
    sub(/^[^"]*"/, "", name); sub(/".*/, "", name); sub(/.*\//, "", name)
    if (!(name in home)) next
    to = home[name]
    if (to == dir || (dir, to) in allowed) next
    printf "%s:%d: %s must not include %s (%s): %s may include %s\n", FILENAME, FNR, dir, to, name, dir, \
        (may[dir] ~ /[a-z]/ ? may[dir] : "nothing outside itself")
    bad++
}
END {
    if (bad) { printf "%d include(s) against the layering (README.md, Architecture)\n", bad; exit 1 }
}
' "${sources[@]}"
