#!/usr/bin/env bash
# Benchmarks the helper against the recorders people already run, on three private sound servers
# in turn, and its sink path against cat; prints one table per set-up and writes them all to
# docs/benchmarks.md.
#
#   scripts/bench.sh          30-second capture sessions
#   scripts/bench.sh --long   ten-minute sessions (memory growth over ten minutes); the length
#                             can be overridden with BENCH_LONG_SECONDS, to try the long path
#
# The set-ups: (a) plain PulseAudio, a null sink as it comes; (b) PulseAudio shaped like a sound
# card by a pacing reader on each monitor (the server of the end-to-end tests); (c) PipeWire with
# WirePlumber and pipewire-pulse, where pw-record joins as a third recorder. Exits 3 when a
# target was missed, 1 when a set-up could not be measured.
set -euo pipefail
cd "$(dirname "$0")/.."

session=30
case "${1:-}" in
"") ;;
--long) session=${BENCH_LONG_SECONDS:-600} ;;
*)
    echo "usage: $0 [--long]" >&2
    exit 2
    ;;
esac

scripts/install-deps.sh
cmake -S . -B build/bench -G Ninja -DCMAKE_CXX_COMPILER=g++ -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/bench -j 2 --target halvo-bench
bench=build/bench/bench/halvo-bench

work=$(mktemp -d /tmp/halvo-bench.XXXXXX)
cleanup() {
    for setup in plain shaped pipewire apps-pulse apps-pipewire; do
        scripts/sound-server.sh stop "$work/$setup" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT

load() { cut -d' ' -f1-3 /proc/loadavg; }
load_before=$(load)
status=0

# Notes the worst exit status of a measurement: 1 (could not measure) over 3 (target missed).
note_status() {
    case $1 in
    0) ;;
    3) [ $status -ne 0 ] || status=3 ;;
    *) status=1 ;;
    esac
}

# run_setup NAME TITLE SERVER-KIND (see scripts/sound-server.sh)
run_setup() {
    local name=$1 title=$2 kind=$3
    echo
    echo "== $title"
    local dir="$work/$name" rc=0 pulse options=()
    if ! pulse=$(scripts/sound-server.sh start "$kind" "$dir"); then
        echo "The server did not start." >"$work/$name.md"
        note_status 1
        return
    fi
    # pw-record joins as a third recorder where PipeWire's own socket is.
    [ "$kind" != pipewire ] || options=(--pipewire-runtime "$(cat "$dir/sockets")/runtime")
    PULSE_SERVER=$pulse "$bench" --session-seconds "$session" --markdown "$work/$name.md" \
        "${options[@]}" || rc=$?
    [ -s "$work/$name.md" ] || echo "The benchmark failed (status $rc)." >"$work/$name.md"
    note_status $rc
    scripts/sound-server.sh stop "$dir"
}

# run_applications NAME TITLE SERVER-KIND: the helper recording all applications but one, against
# its own whole-output capture.
run_applications() {
    local name=$1 title=$2 kind=$3
    echo
    echo "== $title"
    local dir="$work/$name" rc=0 pulse
    if ! pulse=$(scripts/sound-server.sh start "$kind" "$dir"); then
        echo "The server did not start." >"$work/$name.md"
        note_status 1
        return
    fi
    PULSE_SERVER=$pulse "$bench" --applications --session-seconds "$session" \
        --markdown "$work/$name.md" || rc=$?
    [ -s "$work/$name.md" ] || echo "The benchmark failed (status $rc)." >"$work/$name.md"
    note_status $rc
    scripts/sound-server.sh stop "$dir"
}

run_setup plain "(a) plain PulseAudio" pulse-plain
run_setup shaped "(b) PulseAudio shaped by pacing readers" pulse
run_setup pipewire "(c) PipeWire, WirePlumber and pipewire-pulse" pipewire
run_applications apps-pulse "(d) applications chosen by rule, PulseAudio" pulse
run_applications apps-pipewire "(d) applications chosen by rule, PipeWire" pipewire
echo
echo "== sink path"
rc=0
"$bench" --sink-path --markdown "$work/sink.md" || rc=$?
note_status $rc
load_after=$(load)

# What people wrote under "## Notes" survives a new run of the figures.
notes=$(sed -n '/^## Notes/,$p' docs/benchmarks.md 2>/dev/null || true)
cpu=$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')
{
    cat <<DOC
# Benchmarks

Written by \`scripts/bench.sh\`; see that script and \`bench/\` for how the figures are taken.

Machine: $cpu, $(nproc) cores, $(uname -sr)

Date: $(date -u '+%Y-%m-%d %H:%M UTC')

Load average (1, 5, 15 min) before: $load_before; after: $load_after. A load near or above the
number of cores means the machine was shared (with builds and tests) while it ran.

Capture session: $session s per set-up, all recorders at once, each writing float32 mono 48 kHz
to a pipe that the benchmark reads.

## (a) Plain PulseAudio

A private PulseAudio server (\`scripts/sound-server.sh start pulse-plain\`) with a null sink as the
default output and nothing else attached: the sink renders at the pace its clients ask for.

$(cat "$work/plain.md")

## (b) PulseAudio shaped like a sound card

The same server with a 10 ms reader on each monitor (\`scripts/sound-server.sh start pulse\`, the server
of the end-to-end tests), which makes the null sinks render in short periods like a card.

$(cat "$work/shaped.md")

## (c) PipeWire

Private PipeWire with WirePlumber and pipewire-pulse (\`scripts/sound-server.sh start pipewire\`). The
helper and parec go through pipewire-pulse; pw-record is PipeWire's own recorder:
\`pw-record --target halvo_null_a -P stream.capture.sink=true --format f32 --rate 48000
--channels 1 --latency 20ms -\` (the latency of parec's \`--latency-msec=20\`).

$(cat "$work/pipewire.md")

## (d) Applications chosen by rule

Three applications play on the default output (sox tones through \`pacat --latency-msec=50\`,
each under a client name of its own), beside the onset tone; \`halvo-audio-helper --exclude
halvo-bench-3\` records all but the third, side by side with the helper's whole-output capture.

PulseAudio (\`scripts/sound-server.sh start pulse\`):

$(cat "$work/apps-pulse.md")

PipeWire (\`scripts/sound-server.sh start pipewire\`):

$(cat "$work/apps-pipewire.md")

## Sink path

A stub service floods 64 KiB buffers through the real sink into a pipe, against \`cat\` of
a 1 GiB file held in memory through the same kind of pipe.

$(cat "$work/sink.md")
DOC
    if [ -n "$notes" ]; then
        echo
        echo "$notes"
    fi
} >docs/benchmarks.md
echo
echo "Wrote docs/benchmarks.md (load before: $load_before; after: $load_after)."
exit $status
