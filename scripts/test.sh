#!/usr/bin/env bash
# The whole test suite on a fresh Debian 12 machine: installs what it needs, then builds and
# runs every test in three configurations: g++ plain, clang with AddressSanitizer and
# UndefinedBehaviorSanitizer, clang with ThreadSanitizer. Tests that need a sound server start
# a private one of their own. Usage: scripts/test.sh [plain|asan|tsan ...]
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

configurations=("$@")
[ ${#configurations[@]} -gt 0 ] || configurations=(plain asan tsan)

# Sanitizer reports must fail the test that caused them, helpers' children included.
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:halt_on_error=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"

for configuration in "${configurations[@]}"; do
    case "$configuration" in
        plain) options=(-DCMAKE_CXX_COMPILER=g++ -DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
        asan) options=(-DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug -DHALVO_SANITIZE=address) ;;
        tsan) options=(-DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHALVO_SANITIZE=thread) ;;
        *) echo "unknown configuration: $configuration" >&2; exit 2 ;;
    esac
    directory="build/$configuration"
    echo "=== $configuration: building in $directory"
    cmake -S . -B "$directory" -G Ninja "${options[@]}" >/dev/null
    cmake --build "$directory" -j 2
    echo "=== $configuration: testing"
    ctest --test-dir "$directory" --output-on-failure --timeout 120 -j 2
done
