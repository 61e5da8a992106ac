#!/bin/sh
# A private sound server for tests and benchmarks, PulseAudio or PipeWire, kept in one folder.
#
#   sound-server.sh start KIND DIR   starts it and prints the PULSE_SERVER value (also in DIR/server)
#   sound-server.sh restart DIR      starts the same kind again on the same socket (after a crash)
#   sound-server.sh stop DIR         ends it (quietly does nothing if it is not running)
#
# KIND is one of
#   pulse           PulseAudio with two null sinks, halvo_null_a (the default) and halvo_null_b,
#                   and a low-latency reader on each monitor (below)
#   pulse-plain     the same without the readers: null sinks as they come (a benchmark set-up)
#   pipewire        PipeWire, pipewire-pulse and the WirePlumber session manager on a private
#                   D-Bus, with the same two null sinks, as PipeWire desktops run it
#   pipewire-bare   PipeWire and pipewire-pulse without a session manager, and halvo_null_a only:
#                   nothing links a new stream to its device, so the pulse server answers every
#                   query but a record stream never leaves creation
#   pipewire-native PipeWire and WirePlumber with no pulse server at all, halvo_null_a (the
#                   default) and halvo_null_b made by PipeWire itself; DIR/pid names the daemon
#
# Home, state, logs and process ids are under DIR; the sockets and runtime files are in a short
# folder of their own under /tmp (named in DIR/sockets), since a socket's path must fit in 108
# bytes whatever DIR's length. The pulse socket is <sockets>/native; PipeWire's tools reach the
# server with XDG_RUNTIME_DIR=<sockets>/runtime. Nothing else is touched; it runs as root (and
# where there is no systemd or logind) as well as as any other user. DIR/pid names the process
# that serves the pulse protocol, DIR/pids every process of the server.
#
# A sound card renders in short periods. An idle PulseAudio null sink renders two seconds at a
# time, so a recorder that connects to its monitor could wait that long for its first audio; a
# low-latency reader on each monitor (it discards what it reads) keeps the sinks ticking like a
# card. A source of its own stays the default source: otherwise the default source is a
# monitor that changes with the default sink, and the server moves the readers along with it.
set -eu

usage() {
    echo "usage: $0 start pulse|pulse-plain|pipewire|pipewire-bare|pipewire-native DIR |" \
        "restart DIR | stop DIR" >&2
    exit 2
}

case "${1:-}" in
start) [ $# -eq 3 ] || usage; kind=$2 ;;
restart | stop) [ $# -eq 2 ] || usage; kind= ;;
*) usage ;;
esac
command=$1
eval "dir=\${$#}"
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
[ -n "$kind" ] || kind=$(cat "$dir/kind" 2>/dev/null || echo none)
case "$kind" in
pulse | pulse-plain | pipewire | pipewire-bare | pipewire-native) ;;
none) [ "$command" = stop ] || { echo "sound-server: no server was started in $dir" >&2; exit 1; } ;;
*) usage ;;
esac

# The short folder of an earlier start is kept, so that a restarted server has the same address.
sockets=$(cat "$dir/sockets" 2>/dev/null || true)

# Running and not a zombie: where nobody reaps promptly (a container's init), a killed server
# lingers as a zombie for a while. /proc rather than ps: a minimal system has no ps.
alive() {
    stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
    state=${stat##*) }
    case "${state%% *}" in
    Z | X) return 1 ;;
    esac
}

stop_server() {
    if [ -f "$dir/pacers" ]; then
        kill -TERM $(cat "$dir/pacers") 2>/dev/null || true
        rm -f "$dir/pacers"
    fi
    [ -f "$dir/pids" ] || return 0
    pids=$(cat "$dir/pids")
    rm -f "$dir/pids" "$dir/pid"
    for pid in $pids; do
        kill -TERM "$pid" 2>/dev/null || true
    done
    # A clean exit can take a server over a second; a test server has nothing worth waiting for.
    for pid in $pids; do
        tries=0
        while alive "$pid" && [ $tries -lt 15 ]; do
            sleep 0.02
            tries=$((tries + 1))
        done
        kill -KILL "$pid" 2>/dev/null || true
    done
    # Gone before anything starts on the same socket.
    for pid in $pids; do
        while alive "$pid"; do
            sleep 0.01
        done
    done
}

# Everything below runs in the server's environment.
server_environment() {
    export HOME="$dir/home" XDG_CONFIG_HOME="$dir/home/.config" XDG_STATE_HOME="$dir/state" \
        XDG_RUNTIME_DIR="$sockets/runtime" PULSE_RUNTIME_PATH="$sockets/runtime" \
        PULSE_STATE_PATH="$dir/state" PULSE_SERVER="unix:$sockets/native" \
        DBUS_SESSION_BUS_ADDRESS="unix:path=$sockets/bus"
}

fail() {
    echo "sound-server: $1; the logs:" >&2
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
    pactl info 2>/dev/null | grep -qx "Default Sink: $1"
}

# Starts a daemon in the background, its log in DIR/NAME.log and its pid in DIR/pids. (A simple
# command, not a function, in the background: the shell that runs a function in the background
# keeps a copy of our stdout open while it waits, and whoever reads our output waits with it.)
start_daemon() {
    name=$1
    shift
    "$@" </dev/null >"$dir/$name.log" 2>&1 &
    echo $! >>"$dir/pids"
    last_daemon=$!
}

start_pulseaudio() {
    cat >"$dir/server.pa" <<PA
load-module module-native-protocol-unix auth-anonymous=1 socket=$sockets/native
load-module module-null-sink sink_name=halvo_null_a rate=48000
load-module module-null-sink sink_name=halvo_null_b rate=48000
set-default-sink halvo_null_a
load-module module-null-source source_name=halvo_null_mic rate=48000
set-default-source halvo_null_mic
PA
    start_daemon pulseaudio env -u PULSE_SERVER pulseaudio -n --file="$dir/server.pa" \
        --daemonize=no --exit-idle-time=-1 --use-pid-file=no --disallow-exit --system=no \
        --realtime=no --high-priority=no --log-target=stderr
    echo "$last_daemon" >"$dir/pid"
    wait_until 'alive "$last_daemon" || fail "the server exited";
        pactl info >/dev/null 2>&1' "the server did not come up"
    [ "$kind" = pulse ] || return 0
    for sink in halvo_null_a halvo_null_b; do
        parec --raw --latency-msec=10 --device="$sink.monitor" </dev/null >/dev/null 2>&1 &
        echo $! >>"$dir/pacers"
    done
    wait_until '[ "$(pactl list short source-outputs | wc -l)" -ge 2 ]' \
        "the monitor readers did not connect"
    # A suspend and resume makes the sinks drop the long block they started with.
    for sink in halvo_null_a halvo_null_b; do
        pactl suspend-sink "$sink" 1
        pactl suspend-sink "$sink" 0
    done
}

start_pipewire() {
    mkdir -p "$dir/home/.config/pipewire/pipewire.conf.d" \
        "$dir/home/.config/pipewire/pipewire-pulse.conf.d" \
        "$dir/home/.config/wireplumber/bluetooth.lua.d"
    cat >"$dir/home/.config/pipewire/pipewire-pulse.conf.d/halvo.conf" <<CONF
pulse.properties = { server.address = [ "unix:$sockets/native" ] }
CONF
    # WirePlumber's Bluetooth monitor needs logind and takes WirePlumber down without it (a
    # container, a chroot); a test server has no Bluetooth devices anyway.
    echo 'bluez_monitor.enabled = false' \
        >"$dir/home/.config/wireplumber/bluetooth.lua.d/60-halvo-no-bluetooth.lua"
    if [ "$kind" = pipewire-native ]; then
        cat >"$dir/home/.config/pipewire/pipewire.conf.d/halvo.conf" <<'CONF'
context.objects = [
    { factory = adapter
      args = { factory.name = support.null-audio-sink node.name = halvo_null_a
               media.class = Audio/Sink audio.position = [ FL FR ] priority.session = 2000 } }
    { factory = adapter
      args = { factory.name = support.null-audio-sink node.name = halvo_null_b
               media.class = Audio/Sink audio.position = [ FL FR ] priority.session = 1000 } }
]
CONF
    elif [ "$kind" = pipewire-bare ]; then
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
        rm -f "$dir/home/.config/pipewire/pipewire.conf.d/halvo.conf"
    fi
    if [ "$kind" != pipewire-bare ]; then
        start_daemon dbus dbus-daemon --session --address="unix:path=$sockets/bus" --nofork \
            --nopidfile
        wait_until '[ -S "$sockets/bus" ]' "D-Bus did not come up"
    fi
    start_daemon pipewire pipewire
    wait_until '[ -S "$sockets/runtime/pipewire-0" ]' "PipeWire did not come up"
    if [ "$kind" = pipewire-native ]; then
        echo "$last_daemon" >"$dir/pid"
        start_daemon wireplumber wireplumber
        wait_until 'pw-metadata -n default 0 default.audio.sink 2>/dev/null |
            grep -q halvo_null_a' "the session manager did not take the default sink"
        return 0
    fi
    start_daemon pipewire-pulse pipewire-pulse
    echo "$last_daemon" >"$dir/pid"
    wait_until 'pactl info >/dev/null 2>&1' "the pulse server did not come up"
    if [ "$kind" = pipewire-bare ]; then
        pw-metadata -n default 0 default.audio.sink '{ "name": "halvo_null_a" }' \
            Spa:String:JSON >/dev/null
    else
        start_daemon wireplumber wireplumber
        for sink in halvo_null_a halvo_null_b; do
            pactl load-module module-null-sink sink_name=$sink >/dev/null
        done
        # The session manager takes a moment to see the sinks and store the default.
        wait_until 'pactl set-default-sink halvo_null_a 2>/dev/null &&
            default_sink_is halvo_null_a' "the session manager did not take the default sink"
    fi
    wait_until 'default_sink_is halvo_null_a' "halvo_null_a did not become the default sink"
}

case "$command" in
start | restart)
    stop_server
    if [ -z "$sockets" ] || [ ! -d "$sockets" ]; then
        sockets=$(mktemp -d /tmp/halvo-sound.XXXXXX)
        chmod 755 "$sockets"  # the pulse socket is for anyone
        echo "$sockets" >"$dir/sockets"
    fi
    echo "$kind" >"$dir/kind"
    server_environment
    rm -rf "$sockets/runtime" "$sockets/native" "$sockets/bus" "$dir/state" "$dir/server"
    mkdir -p "$sockets/runtime" "$dir/state" "$dir/home"
    chmod 700 "$sockets/runtime"
    case "$kind" in
    pulse*) start_pulseaudio ;;
    pipewire*) start_pipewire ;;
    esac
    echo "unix:$sockets/native" >"$dir/server"
    echo "unix:$sockets/native"
    ;;
stop)
    stop_server
    [ -z "$sockets" ] || rm -rf "$sockets"
    rm -f "$dir/server" "$dir/sockets" "$dir/kind"
    ;;
esac
