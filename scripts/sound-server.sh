#!/bin/sh
# A private PulseAudio sound server for tests, living entirely in one directory.
#
#   sound-server.sh start DIR         starts it and prints the PULSE_SERVER value (also in DIR/server)
#   sound-server.sh start-plain DIR   the same without the pacing readers below: a null sink as
#                                     it comes, for the benchmark of a plain server
#   sound-server.sh stop DIR          ends it (quietly does nothing if it is not running)
#
# The server has two null sinks, halvo_null_a (the default) and halvo_null_b, and one socket,
# DIR/native, that anyone may use. Its runtime files, state and home are under DIR: nothing
# outside DIR is touched, and it runs as root as well as any other user.
#
# A sound card renders in short periods. An idle null sink renders two seconds at a time, so a
# recorder that connects to its monitor could wait that long for its first audio; a
# low-latency reader on each monitor (it discards what it reads) keeps the null sinks ticking
# like a card. A source of its own stays the default source: otherwise the default source is a
# monitor that changes with the default sink, and the server moves the readers along with it.
set -eu

usage() {
    echo "usage: $0 start|start-plain|stop DIR" >&2
    exit 2
}

[ $# -eq 2 ] || usage
command=$1
mkdir -p "$2"
dir=$(cd "$2" && pwd)
socket="$dir/native"

# Running and not a zombie: where nobody reaps promptly (a container's init), a killed server
# lingers as a zombie for a while.
alive() {
    state=$(ps -o stat= -p "$1" 2>/dev/null) || return 1
    [ "${state#Z}" = "$state" ]
}

stop_server() {
    if [ -f "$dir/pacers" ]; then
        kill -TERM $(cat "$dir/pacers") 2>/dev/null || true
        rm -f "$dir/pacers"
    fi
    [ -f "$dir/pid" ] || return 0
    pid=$(cat "$dir/pid")
    rm -f "$dir/pid"
    kill -TERM "$pid" 2>/dev/null || return 0
    # A clean exit takes the server over a second; a test server has nothing worth waiting for.
    tries=0
    while alive "$pid" && [ $tries -lt 15 ]; do
        sleep 0.02
        tries=$((tries + 1))
    done
    kill -KILL "$pid" 2>/dev/null || true
    while alive "$pid"; do
        sleep 0.01
    done
}

case "$command" in
start | start-plain)
    # A unix socket path must fit in 108 bytes.
    if [ ${#socket} -gt 100 ]; then
        echo "sound-server: $socket is too long for a socket path" >&2
        exit 1
    fi
    stop_server
    rm -f "$socket"
    mkdir -p "$dir/home" "$dir/runtime" "$dir/state"
    chmod 700 "$dir/runtime"
    cat >"$dir/server.pa" <<PA
load-module module-native-protocol-unix auth-anonymous=1 socket=$socket
load-module module-null-sink sink_name=halvo_null_a rate=48000
load-module module-null-sink sink_name=halvo_null_b rate=48000
set-default-sink halvo_null_a
load-module module-null-source source_name=halvo_null_mic rate=48000
set-default-source halvo_null_mic
PA
    HOME="$dir/home" XDG_RUNTIME_DIR="$dir/runtime" XDG_CONFIG_HOME="$dir/home/.config" \
        PULSE_RUNTIME_PATH="$dir/runtime" PULSE_STATE_PATH="$dir/state" \
        pulseaudio -n --file="$dir/server.pa" --daemonize=no --exit-idle-time=-1 \
        --use-pid-file=no --disallow-exit --system=no --realtime=no --high-priority=no \
        --log-target=stderr </dev/null >"$dir/log" 2>&1 &
    echo $! >"$dir/pid"
    tries=0
    until PULSE_SERVER="unix:$socket" pactl info >/dev/null 2>&1; do
        tries=$((tries + 1))
        if [ $tries -gt 250 ] || ! alive "$(cat "$dir/pid")"; then
            echo "sound-server: the server did not come up; its log:" >&2
            cat "$dir/log" >&2
            stop_server
            exit 1
        fi
        sleep 0.02
    done
    if [ "$command" = start-plain ]; then
        echo "unix:$socket" >"$dir/server"
        echo "unix:$socket"
        exit 0
    fi
    for sink in halvo_null_a halvo_null_b; do
        PULSE_SERVER="unix:$socket" parec --raw --latency-msec=10 --device="$sink.monitor" \
            </dev/null >/dev/null 2>&1 &
        echo $! >>"$dir/pacers"
    done
    tries=0
    until [ "$(PULSE_SERVER="unix:$socket" pactl list short source-outputs | wc -l)" -ge 2 ]; do
        tries=$((tries + 1))
        if [ $tries -gt 250 ]; then
            echo "sound-server: the monitor readers did not connect" >&2
            stop_server
            exit 1
        fi
        sleep 0.01
    done
    # A suspend and resume makes the sinks drop the long block they started with.
    for sink in halvo_null_a halvo_null_b; do
        PULSE_SERVER="unix:$socket" pactl suspend-sink "$sink" 1
        PULSE_SERVER="unix:$socket" pactl suspend-sink "$sink" 0
    done
    echo "unix:$socket" >"$dir/server"
    echo "unix:$socket"
    ;;
stop)
    stop_server
    rm -f "$socket" "$dir/server"
    ;;
*)
    usage
    ;;
esac
