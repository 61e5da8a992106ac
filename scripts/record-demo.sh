#!/usr/bin/env bash
# Builds halvo-audio-helper and halvo-record, records a few seconds of the system's audio and
# says what was recorded.
#
#   scripts/record-demo.sh [SECONDS] [FILE]     (defaults: 3 seconds, record-demo.wav)
#
# On a desktop it records whatever is playing. Where no sound server is reachable (a fresh
# headless machine) it starts a private one with a null sink, plays a 440 Hz demo tone into it,
# records that and checks that the tone came back. Installs the Debian 12 packages it needs
# (as root, or through sudo).
set -euo pipefail

seconds=${1:-3}
repo=$(cd "$(dirname "$0")/.." && pwd)
output=${2:-$repo/record-demo.wav}
build=$repo/build/record-demo

# Only what building and recording need: no test tools.
"$repo/scripts/install-deps.sh" cmake ninja-build g++ pkg-config libpulse-dev libpipewire-0.3-dev \
    libsndfile1-dev pulseaudio pulseaudio-utils sox

echo "== building in $build"
mkdir -p "$build"
if ! { cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DHALVO_BUILD_TESTS=OFF &&
    cmake --build "$build" -j 2; } >"$build/build.log" 2>&1; then
    cat "$build/build.log" >&2
    echo "record-demo: the build failed" >&2
    exit 1
fi
record=$build/halvo-record  # finds the halvo-audio-helper built beside it

server_dir=
tone_player=
finish() {
    [ -z "$tone_player" ] || kill "$tone_player" 2>/dev/null || true
    if [ -n "$server_dir" ]; then
        "$repo/scripts/sound-server.sh" stop "$server_dir" || true
        rm -rf "$server_dir"
    fi
}
trap finish EXIT

if pactl info >/dev/null 2>&1; then
    echo "== recording ${seconds} s of what this machine is playing"
    demo_tone=false
else
    server_dir=$(mktemp -d /tmp/halvo-demo.XXXXXX)
    echo "== no sound server reachable: starting a private one in $server_dir"
    PULSE_SERVER=$("$repo/scripts/sound-server.sh" start pulse "$server_dir")
    export PULSE_SERVER
    sox -q -n -r 48000 -c 1 "$server_dir/tone.wav" synth "$((${seconds%.*} + 3))" sine 440 vol 0.5
    paplay "$server_dir/tone.wav" &
    tone_player=$!
    sleep 0.3
    echo "== recording ${seconds} s of a 440 Hz demo tone played into its null sink"
    demo_tone=true
fi

"$record" -d "$seconds" -o "$output"
echo "== recorded $output"
analysis=$("$record" --analyze "$output")
echo "$analysis"

if $demo_tone; then
    # The strongest line of sox's spectrum (bins 11.7 Hz wide at 48 kHz; 0 for silence): a jump
    # or a stretch of silence in the take leaves it where it is, unlike sox's rough estimate.
    frequency=$(sox "$output" -n stat -freq 2>&1 |
        awk 'NF == 2 && $1 + 0 > 0 && $2 + 0 > power { power = $2 + 0; hz = $1 }
             END { printf "%.0f\n", hz }') || true
    if [ -z "$frequency" ] || [ "$frequency" -lt 430 ] || [ "$frequency" -gt 450 ]; then
        echo "record-demo: the demo tone did not come back: sox finds no 440 Hz tone in $output" >&2
        exit 1
    fi
    echo "== the 440 Hz demo tone came back (sox measures $frequency Hz)"
fi
