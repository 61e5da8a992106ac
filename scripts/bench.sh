#!/usr/bin/env bash
# Benchmarks the helper against parec and cat on a private sound server, prints the table and
# writes it to docs/benchmarks.md. `scripts/bench.sh --long` runs the ten-minute capture session
# (memory growth between minute 1 and minute 10); the default session is 30 seconds.
set -euo pipefail
cd "$(dirname "$0")/.."

session=30
[ "${1:-}" = "--long" ] && session=600

scripts/install-deps.sh
cmake -S . -B build/bench -G Ninja -DCMAKE_CXX_COMPILER=g++ -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/bench -j 2 --target halvo-bench

server_dir=$(mktemp -d /tmp/halvo-bench-server.XXXXXX)
trap 'scripts/sound-server.sh stop "$server_dir"; rm -rf "$server_dir"' EXIT
export PULSE_SERVER=$(scripts/sound-server.sh start "$server_dir")

build/bench/bench/halvo-bench --session-seconds "$session" --markdown docs/benchmarks.md
