#!/bin/sh
# The owner's rule: non-blank lines of tests (tests/, java/test/) stay at most 0.40 of the code
# (every other tracked .cpp/.h/.c/.java file). Prints both counts and fails above the limit.
set -eu
cd "$(dirname "$0")/.."
limit=${1:-0.40}
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    files=$(git ls-files -co --exclude-standard -- '*.cpp' '*.h' '*.c' '*.java')
else
    files=$(find . -path ./build\* -prune -o -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.c' \
            -o -name '*.java' \) -print | sed 's|^\./||')
fi
echo "$files" | while read -r f; do
    [ -f "$f" ] && printf '%s %s\n' "$(grep -cv '^[[:space:]]*$' "$f" || true)" "$f"
done | awk -v limit="$limit" '
    $2 ~ /^(tests|java\/test)\// { t += $1; next } { c += $1 }
    END {
        printf "test lines %d, code lines %d, ratio %.3f (limit %s)\n", t, c, t / c, limit
        exit (t / c > limit) ? 1 : 0
    }'
