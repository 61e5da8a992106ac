#!/bin/sh
# A private PipeWire sound server with its pulse server, for tests, living entirely in one
# directory, the way PipeWire desktops run it.
#
#   pipewire-server.sh start DIR           PipeWire, pipewire-pulse and the WirePlumber session
#                                          manager (on a private D-Bus); prints the PULSE_SERVER
#                                          value (also in DIR/server)
#   pipewire-server.sh start-bare DIR      PipeWire and pipewire-pulse without a session manager
#   pipewire-server.sh stop DIR            ends it (quietly does nothing if it is not running)
#
# Both have a null sink halvo_null_a, the default, and the pulse socket DIR/native; `start` has
# a second null sink, halvo_null_b. Without a session manager nothing links a new stream to its
# device: the pulse server answers every query, but a record stream never leaves creation.
# pw-metadata and pw-cli reach the server with XDG_RUNTIME_DIR=DIR/runtime. Runtime files, state
# and home are under DIR: nothing outside DIR is touched.
set -eu

usage() {
    echo "usage: $0 start|start-bare|stop DIR" >&2
    exit 2
}

[ $# -eq 2 ] || usage
command=$1
mkdir -p "$2"
dir=$(cd "$2" && pwd)
socket="$dir/native"

alive() {
    state=$(ps -o stat= -p "$1" 2>/dev/null) || return 1
    [ "${state#Z}" = "$state" ]
}

stop_server() {
    [ -f "$dir/pids" ] || return 0
    pids=$(cat "$dir/pids")
    rm -f "$dir/pids"
    for pid in $pids; do
        kill -TERM "$pid" 2>/dev/null || true
    done
    for pid in $pids; do
        tries=0
        while alive "$pid" && [ $tries -lt 50 ]; do
            sleep 0.02
            tries=$((tries + 1))
        done
        kill -KILL "$pid" 2>/dev/null || true
    done
}

# The server's environment, for `env`.
set -- HOME="$dir/home" XDG_RUNTIME_DIR="$dir/runtime" XDG_CONFIG_HOME="$dir/home/.config" \
    XDG_STATE_HOME="$dir/state" DBUS_SESSION_BUS_ADDRESS="unix:path=$dir/bus" \
    PULSE_SERVER="unix:$socket"
environment="$*"

# Runs a command in the server's environment.
in_server() {
    # shellcheck disable=SC2086 # the entries hold no spaces (the directory is checked)
    env $environment "$@"
}

fail() {
    echo "pipewire-server: $1; the logs:" >&2
    tail -n 20 "$dir"/*.log >&2 || true
    stop_server
    exit 1
}

# Waits up to five seconds for a shell condition.
wait_until() {
    tries=0
    until eval "$1"; do
        tries=$((tries + 1))
        [ $tries -le 250 ] || fail "$2"
        sleep 0.02
    done
}

default_sink_is() {
    in_server pactl info 2>/dev/null | grep -qx "Default Sink: $1"
}

# Starts a daemon in the background; its pid (env's, which becomes the daemon) goes to DIR/pids.
start_daemon() {
    log=$1
    shift
    # shellcheck disable=SC2086
    env $environment "$@" </dev/null >"$dir/$log.log" 2>&1 &
    echo $! >>"$dir/pids"
}

case "$command" in
start | start-bare)
    if [ ${#socket} -gt 100 ]; then
        echo "pipewire-server: $socket is too long for a socket path" >&2
        exit 1
    fi
    case "$dir" in
    *[[:space:]]*)
        echo "pipewire-server: $dir has white space in it" >&2
        exit 1
        ;;
    esac
    stop_server
    rm -rf "$dir/runtime" "$dir/state" "$dir/home" "$socket" "$dir/bus"
    mkdir -p "$dir/runtime" "$dir/state" "$dir/home/.config/pipewire/pipewire.conf.d" \
        "$dir/home/.config/pipewire/pipewire-pulse.conf.d"
    chmod 700 "$dir/runtime"
    cat >"$dir/home/.config/pipewire/pipewire-pulse.conf.d/halvo.conf" <<CONF
pulse.properties = { server.address = [ "unix:$socket" ] }
CONF
    if [ "$command" = start-bare ]; then
        # What a session manager would make: the metadata store that names the default sink.
        cat >"$dir/home/.config/pipewire/pipewire.conf.d/halvo.conf" <<'CONF'
context.objects = [
    { factory = metadata args = { metadata.name = default } }
    { factory = adapter
      args = { factory.name = support.null-audio-sink node.name = halvo_null_a
               media.class = Audio/Sink audio.position = [ MONO ] } }
]
CONF
    else
        start_daemon dbus dbus-daemon --session --address="unix:path=$dir/bus" --nofork --nopidfile
        wait_until '[ -S "$dir/bus" ]' "D-Bus did not come up"
    fi
    start_daemon pipewire pipewire
    wait_until '[ -S "$dir/runtime/pipewire-0" ]' "PipeWire did not come up"
    start_daemon pipewire-pulse pipewire-pulse
    wait_until 'in_server pactl info >/dev/null 2>&1' "the pulse server did not come up"
    if [ "$command" = start-bare ]; then
        in_server pw-metadata -n default 0 default.audio.sink '{ "name": "halvo_null_a" }' \
            Spa:String:JSON >/dev/null
    else
        start_daemon wireplumber wireplumber
        for sink in halvo_null_a halvo_null_b; do
            in_server pactl load-module module-null-sink sink_name=$sink >/dev/null
        done
        # The session manager takes a moment to see the sinks and store the default.
        wait_until 'in_server pactl set-default-sink halvo_null_a 2>/dev/null &&
            default_sink_is halvo_null_a' "the session manager did not take the default sink"
    fi
    wait_until 'default_sink_is halvo_null_a' "halvo_null_a did not become the default sink"
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
