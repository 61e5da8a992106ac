#!/usr/bin/env bash
# How large the tests are against the code, counted the same way each time: non-blank lines that
# are not comments, in the files git tracks.
#   tests: .cpp .h .py .sh and scenario files (.scn) under tests/
#   code:  every other .cpp and .h, bench/, tools/ and client/ included; examples/ is neither.
# Comments: whole lines starting with // or # (after blanks), and /* ... */ blocks in C++.
# Usage: scripts/count-lines.sh   (prints both counts and the tests' share of the code)
set -euo pipefail
cd "$(dirname "$0")/.."

# Counts the lines of the files named on standard input, one a line (xargs may run awk more
# than once for a long list: the last awk adds up).
count() {
    tr '\n' '\0' | xargs -0 -r awk '
        FNR == 1 { inBlock = 0 }
        { line = $0; sub(/^[ \t]+/, "", line) }
        inBlock { if (line ~ /\*\//) { inBlock = 0 } next }
        line == "" { next }
        line ~ /^\/\// { next }
        line ~ /^#/ && FILENAME !~ /\.(cpp|h)$/ { next }
        line ~ /^\/\*/ { if (line !~ /\*\//) { inBlock = 1 } next }
        { n++ }
        END { print n + 0 }' | awk '{ sum += $1 } END { print sum + 0 }'
}

tests=$(git ls-files -- 'tests/' | grep -E '\.(cpp|h|py|sh|scn)$' | count)
code=$(git ls-files | grep -E '\.(cpp|h)$' | grep -vE '^(tests|examples)/' | count)
echo "tests: $tests lines"
echo "code:  $code lines"
awk -v t="$tests" -v c="$code" 'BEGIN { printf "tests/code: %.1f%%\n", c ? 100 * t / c : 0 }'
