#!/usr/bin/env bash
# Formats the C++ sources (library, tevo, tests, fuzz targets) with the
# repository's .clang-format.
#   bash scripts/format.sh          rewrite every file that differs
#   bash scripts/format.sh --check  list the files that differ with the lines
#                                   that would change; exit 1 when any does
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
format=$(command -v clang-format-14 || command -v clang-format || true)
if [ -z "$format" ]; then
    echo "format.sh: clang-format not found (apt-get install clang-format-14)" >&2
    exit 2
fi
check=0
case "${1:-}" in
"") ;;
--check) check=1 ;;
*) echo "usage: bash scripts/format.sh [--check]" >&2; exit 2 ;;
esac

mapfile -t files < <(git ls-files -- '*.cpp' '*.h')
if [ "$check" = 0 ]; then
    "$format" -i --style=file "${files[@]}"
    exit 0
fi
total=0
changed=0
for f in "${files[@]}"; do
    # Lines of the file that formatting would rewrite or remove.
    n=$("$format" --style=file "$f" | diff -U0 "$f" - | tail -n +3 | grep -c '^-' || true)
    if [ "$n" -gt 0 ]; then
        printf '%6d  %s\n' "$n" "$f"
        total=$((total + n))
        changed=$((changed + 1))
    fi
done
if [ "$changed" -gt 0 ]; then
    echo "$total line(s) in $changed file(s) are not formatted (bash scripts/format.sh rewrites them)"
    exit 1
fi
echo "all ${#files[@]} files formatted"
