#!/usr/bin/env bash
# Benchmarks the helper against the recorders people already run, on three private sound servers
# in turn, and its sink path against cat; prints one table per set-up and writes them all to
# docs/benchmarks.md.
#
#   scripts/bench.sh          30-second capture sessions
#   scripts/bench.sh --long   ten-minute sessions (memory growth over ten minutes); the length
#                             can be overridden with BENCH_LONG_SECONDS, to try the long path
#   scripts/bench.sh native   the native PipeWire set-up (e) alone, which takes about 17 minutes;
#                             its section of docs/benchmarks.md is replaced, the rest kept
#
# The set-ups: (a) plain PulseAudio, a null sink as it comes; (b) PulseAudio shaped like a sound
# card by a pacing reader on each monitor (the server of the end-to-end tests); (c) PipeWire with
# WirePlumber and pipewire-pulse, where pw-record joins as a third recorder; (e) the same
# PipeWire found as a desktop finds it (XDG_RUNTIME_DIR alone), where the helper chooses its
# native service: against pw-record at its latency and its own pulse path, each alone in turn,
# three rounds of 60 s windows (BENCH_NATIVE_SECONDS overrides that length). Exits 3 when a
# target was missed, 1 when a set-up could not be measured.
set -euo pipefail
cd "$(dirname "$0")/.."

session=30
only_native=false
case "${1:-}" in
"") ;;
--long) session=${BENCH_LONG_SECONDS:-600} ;;
native) only_native=true ;;
*)
    echo "usage: $0 [--long | native]" >&2
    exit 2
    ;;
esac

scripts/install-deps.sh
cmake -S . -B build/bench -G Ninja -DCMAKE_CXX_COMPILER=g++ -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/bench -j 2 --target halvo-bench
bench=build/bench/bench/halvo-bench

work=$(mktemp -d /tmp/halvo-bench.XXXXXX)
cleanup() {
    for setup in plain shaped pipewire apps-pulse apps-pipewire native; do
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

# run_native: (e), the native helper on a PipeWire reached as a desktop reaches it: XDG_RUNTIME_DIR
# alone, with the pulse socket where libpulse looks in it.
run_native() {
    echo
    echo "== (e) native PipeWire"
    local dir="$work/native" rc=0 runtime
    if ! scripts/sound-server.sh start pipewire "$dir" >/dev/null; then
        echo "The server did not start." >"$work/native.md"
        note_status 1
        return
    fi
    runtime="$(cat "$dir/sockets")/runtime"
    mkdir -p "$runtime/pulse"
    ln -sf "$(cat "$dir/sockets")/native" "$runtime/pulse/native"
    local seconds=${BENCH_NATIVE_SECONDS:-60}
    env -u PULSE_SERVER XDG_RUNTIME_DIR="$runtime" "$bench" --native "$dir" --launches 30 \
        --session-seconds "$seconds" --markdown "$work/native.md" || rc=$?
    [ -s "$work/native.md" ] || echo "The benchmark failed (status $rc)." >"$work/native.md"
    note_status $rc
    rc=0
    env -u PULSE_SERVER XDG_RUNTIME_DIR="$runtime" "$bench" --native "$dir" --applications \
        --session-seconds "$seconds" --markdown "$work/native-apps.md" || rc=$?
    [ -s "$work/native-apps.md" ] ||
        echo "The benchmark failed (status $rc)." >"$work/native-apps.md"
    note_status $rc
    scripts/sound-server.sh stop "$dir"
}

# The section (e) of docs/benchmarks.md, from the figures in $work.
native_section() {
    cat <<DOC
## (e) Native PipeWire

The same PipeWire (\`scripts/sound-server.sh start pipewire\`), reached as a desktop reaches it:
\`XDG_RUNTIME_DIR\` alone, the pulse socket where libpulse looks in it, \`PULSE_SERVER\` unset. The
native helper (\`--backend pipewire\`), \`pw-record --target halvo_null_a -P stream.capture.sink=true
--format f32 --rate 48000 --channels 1 --latency 1024 -\` (the helper's capture node asks 1024
frames too) and the helper's pulse path (\`--backend pulse\`) record in turn, each alone, while
\`pacat\` plays a tone. Each window starts 3 s after the recorder's launch. CPU is the sum over
\`/proc/PID/task/*/schedstat\` (ns on a CPU), wake-ups the voluntary and involuntary context
switches of all threads; pipewire, pipewire-pulse and wireplumber are measured over the same
window, so that the whole system's figure is each recorder's. Launches alternate between the
helper as a parent starts it (it chooses its service) and pw-record.

$(cat "$work/native.md")

Three applications play (sox's tones through \`pacat --latency-msec=50\`), and the native helper
with \`--exclude halvo-bench-3\` records beside the native helper's whole-output capture, both
at once, three windows:

$(cat "$work/native-apps.md")
DOC
}

if $only_native; then
    run_native
    load_after=$(load)
    # The section (e) in place of the one there (or before the notes), the rest as it was.
    native_section >"$work/native-section.md"
    awk -v section="$work/native-section.md" '
        /^## / { skip = 0 }
        /^## \(e\) Native PipeWire/ {
            while ((getline line < section) > 0) print line
            print ""
            skip = 1
            done = 1
            next
        }
        /^## Notes/ && !done {
            while ((getline line < section) > 0) print line
            print ""
            done = 1
        }
        !skip { print }
        END {
            if (!done) while ((getline line < section) > 0) print line
        }
    ' docs/benchmarks.md >"$work/benchmarks.md"
    cp "$work/benchmarks.md" docs/benchmarks.md
    echo
    echo "Wrote section (e) of docs/benchmarks.md (load before: $load_before; after: $load_after)."
    exit $status
fi

run_setup plain "(a) plain PulseAudio" pulse-plain
run_setup shaped "(b) PulseAudio shaped by pacing readers" pulse
run_setup pipewire "(c) PipeWire, WirePlumber and pipewire-pulse" pipewire
run_applications apps-pulse "(d) applications chosen by rule, PulseAudio" pulse
run_applications apps-pipewire "(d) applications chosen by rule, PipeWire" pipewire
run_native
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

$(native_section)

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
