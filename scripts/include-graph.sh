#!/usr/bin/env bash
# Prints the include graph of the shipped helper as a Markdown table: for each pair of layers
# (folders), how many #include lines of the first name a header of the second. The layers are
# listed from the top down; an include from a lower layer to a higher one is marked "UP".
# Usage: scripts/include-graph.sh
set -euo pipefail
cd "$(dirname "$0")/.."

layers=(app controller output services/pulse services/pipewire services/common capture logging
        protocol platform)
rank() {
    local i
    for i in "${!layers[@]}"; do
        [ "${layers[$i]}" = "$1" ] && echo "$i" && return
    done
    echo -1
}
layer_of() {
    local path=$1 layer
    for layer in "${layers[@]}"; do
        case $path in "$layer"/*) echo "$layer"; return ;; esac
    done
    case $path in halvo/protocol.h) echo protocol ;; esac
}

echo "| from | to | includes |"
echo "|---|---|---|"
for from in "${layers[@]}"; do
    [ -d "$from" ] || continue
    { grep -rhoE '^#include "[^"]+"' --include='*.cpp' --include='*.h' "$from" || true; } |
        sed -E 's/^#include "([^"]+)"/\1/' |
        while read -r target; do
            to=$(layer_of "$target")
            if [ -n "$to" ] && [ "$to" != "$from" ]; then echo "$to"; fi
        done | sort | uniq -c |
        while read -r count to; do
            mark=""
            if [ "$(rank "$to")" -lt "$(rank "$from")" ]; then mark=" UP"; fi
            echo "| $from | $to | $count$mark |"
        done
done
