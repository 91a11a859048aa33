#!/usr/bin/env bash
# A private headless desktop: an Xvfb server and a sound server with a
# virtual speaker (default sink "speaker") and a virtual microphone (default
# source "mic", fed by whatever is played to the sink "micsink"). The sound
# server is the PulseAudio daemon, or PipeWire with WirePlumber and
# pipewire-pulse (on a private session bus), as most desktops run today.
# Everything lives in one private folder; only the processes started here are
# stopped, by the pids recorded there. DIR/pulse.pid holds the pid of the
# process that serves the PulseAudio protocol.
#
#   desktop.sh start [options]   prints shell assignments to eval:
#                                DISPLAY, PULSE_SERVER, PULSE_CLIENTCONFIG, KESTRANO_DESKTOP
#     --size WxH                 screen size (default 1920x1080)
#     --monitors SPEC            RandR monitors, e.g. 1280x720+0+0,1920x1080+1280+0;
#                                the screen grows to hold them all
#     --sound=pulseaudio|pipewire  the sound server (default: $KESTRANO_SOUND_SERVER,
#                                else pulseaudio)
#     --mic-rate HZ              virtual microphone rate (default 48000)
#     --mic-channels N           virtual microphone channels (default 2)
#     --no-mic                   no "micsink" and no "mic": a machine without
#                                a microphone
#     --no-x | --no-pulse        leave the X server or the sound server out
#     --owner PID                stop it all once process PID has ended
#   desktop.sh stop DIR          stops what `start` started in DIR and removes DIR
#   desktop.sh kill-sound DIR    kills the sound server (SIGKILL), as a crash would
#   desktop.sh start-sound DIR   starts it again as it was, on the same socket
#   desktop.sh add-mic DIR [--rate HZ] [--channels N] [--name NAME]
#                                plugs in a microphone NAME (default "mic", fed
#                                by NAME"sink", default mic/micsink) and makes
#                                it the default source
#   desktop.sh add-sink DIR NAME plugs in another output NAME (not the default)
#   desktop.sh tone DIR SINK HZ [CHANNELS]
#                                plays an endless sine at HZ, amplitude 0.5, to
#                                SINK, on CHANNELS channels (default 2): a
#                                server's downmix would change its level
#   desktop.sh listen DIR SOURCE FILE
#                                records SOURCE as 48 kHz mono floats into FILE
#                                until the server or the source goes; prints
#                                the reader's pid
set -euo pipefail

# shellcheck source-path=SCRIPTDIR source=desktop-pids.sh
. "$(dirname "${BASH_SOURCE[0]}")/desktop-pids.sh"
# shellcheck source-path=SCRIPTDIR source=sound-server.sh
. "$(dirname "${BASH_SOURCE[0]}")/sound-server.sh"

die() { echo "desktop.sh: $*" >&2; exit 1; }

start() {
  local size=1920x1080 monitors="" mic_rate=48000 mic_channels=2 want_x=1 want_pulse=1 mic=1 owner=""
  local sound=${KESTRANO_SOUND_SERVER:-pulseaudio}
  while [ $# -gt 0 ]; do
    case "$1" in
      --size) size=$2; shift 2 ;;
      --monitors) monitors=$2; shift 2 ;;
      --mic-rate) mic_rate=$2; shift 2 ;;
      --mic-channels) mic_channels=$2; shift 2 ;;
      --sound=*) sound=${1#--sound=}; shift ;;
      --no-mic) mic=0; shift ;;
      --no-x) want_x=0; shift ;;
      --no-pulse) want_pulse=0; shift ;;
      --owner) owner=$2; shift 2 ;;
      *) die "unknown option $1" ;;
    esac
  done

  case "$sound" in pulseaudio|pipewire) ;; *) die "unknown sound server $sound" ;; esac

  dir=$(mktemp -d "${TMPDIR:-/tmp}/kestrano-desktop.XXXXXX")
  : >"$dir/pids"

  if [ -n "$monitors" ]; then
    # The screen is the bounding box of the monitors.
    local w=0 h=0 m mw mh mx my
    IFS=, read -ra ms <<<"$monitors"
    for m in "${ms[@]}"; do
      [[ $m =~ ^([0-9]+)x([0-9]+)\+([0-9]+)\+([0-9]+)$ ]] || die "bad monitor $m"
      mw=${BASH_REMATCH[1]} mh=${BASH_REMATCH[2]} mx=${BASH_REMATCH[3]} my=${BASH_REMATCH[4]}
      (( mx + mw > w )) && w=$((mx + mw))
      (( my + mh > h )) && h=$((my + mh))
    done
    size=${w}x${h}
  fi

  local display=""
  if [ "$want_x" = 1 ]; then
    # -displayfd lets the server pick a free display number and tell it once
    # it accepts connections.
    exec {fd}>"$dir/display"
    Xvfb -displayfd "$fd" -screen 0 "${size}x24" -nolisten tcp -noreset +extension RANDR \
      +extension DAMAGE +extension XFIXES +extension MIT-SHM >"$dir/xvfb.log" 2>&1 &
    echo $! >>"$dir/pids"
    echo $! >"$dir/x.pid"
    exec {fd}>&-
    for _ in $(seq 1 100); do
      [ -s "$dir/display" ] && break
      sleep 0.05
    done
    [ -s "$dir/display" ] || { stop "$dir"; die "Xvfb did not start (see its log)"; }
    display=":$(tr -d '\n' <"$dir/display")"
    if [ -n "$monitors" ]; then
      local n=0
      for m in "${ms[@]}"; do
        [[ $m =~ ^([0-9]+)x([0-9]+)\+([0-9]+)\+([0-9]+)$ ]]
        # Physical sizes are nominal (96 dpi); only the pixel rectangles matter.
        # The first monitor takes over the output so the server lists exactly
        # the monitors asked for.
        local output=none
        [ "$n" = 0 ] && output=screen
        DISPLAY=$display xrandr --setmonitor "MON$n" \
          "${BASH_REMATCH[1]}/$((BASH_REMATCH[1] * 254 / 960))x${BASH_REMATCH[2]}/$((BASH_REMATCH[2] * 254 / 960))+${BASH_REMATCH[3]}+${BASH_REMATCH[4]}" \
          "$output" >/dev/null
        n=$((n + 1))
      done
    fi
  fi

  local pulse_server=""
  if [ "$want_pulse" = 1 ]; then
    printf 'sound=%s\nmic_rate=%s\nmic_channels=%s\nmic=%s\n' \
      "$sound" "$mic_rate" "$mic_channels" "$mic" >"$dir/sound.conf"
    start_sound
    pulse_server="unix:$dir/run/pulse/native"
  fi

  [ -n "$display" ] && echo "DISPLAY=$display"
  if [ -n "$pulse_server" ]; then
    echo "PULSE_SERVER=$pulse_server"
    echo "PULSE_CLIENTCONFIG=$dir/client.conf"
  fi
  echo "KESTRANO_DESKTOP=$dir"
  [ -z "$owner" ] || watch_owner "$owner"
}

# The sound server's clients and services run in the desktop's own
# environment only: its runtime folder, home and session bus.
user_env() {
  user_cmd=(env -i PATH=/usr/bin:/bin HOME="$dir/home" XDG_RUNTIME_DIR="$dir/run"
    DBUS_SESSION_BUS_ADDRESS="unix:path=$dir/run/bus" PULSE_CLIENTCONFIG="$dir/client.conf")
}
as_user() {
  user_env
  "${user_cmd[@]}" "$@"
}

abandon_start() {
  stop "$dir"
  die "$*"
}

# The sound server DIR/sound.conf describes, with its devices, serving the
# PulseAudio protocol on DIR/run/pulse/native.
start_sound() {
  local sound mic_rate mic_channels mic
  # shellcheck source=/dev/null
  . "$dir/sound.conf"
  user_env
  mkdir -p "$dir/run" "$dir/home"
  chmod 0700 "$dir/run"
  echo "autospawn = no" >"$dir/client.conf"
  if [ "$sound" = pipewire ]; then
    if [ ! -f "$dir/bus.pid" ]; then
      session_bus_config "$dir/run" >"$dir/bus.conf"
      spawn bus dbus-daemon --nofork --nopidfile --config-file="$dir/bus.conf"
      wait_for "the session bus" test -S "$dir/run/bus"
    fi
    start_pipewire
    spawn_pipewire_pulse "$dir/run"
    cp "$dir/pipewire-pulse.pid" "$dir/pulse.pid"
  else
    mkdir -p "$dir/run/pulse"
    echo "load-module module-native-protocol-unix socket=$dir/run/pulse/native auth-anonymous=1" \
      >"$dir/default.pa"
    spawn pulse env PULSE_RUNTIME_PATH="$dir/run/pulse" PULSE_STATE_PATH="$dir/run/pulse" \
      pulseaudio --daemonize=no --exit-idle-time=-1 --disallow-exit --disallow-module-loading=no \
      --use-pid-file=no --system=false -n -F "$dir/default.pa"
  fi
  wait_for "the sound server" as_user pactl info
  if [ "$mic" = 1 ]; then
    load_sound_devices "$mic_rate" "$mic_channels"
    clock_sinks speaker micsink
  else
    load_sound_devices "" ""
    clock_sinks speaker
  fi
}

kill_sound() {
  local name pid
  for name in pulse pipewire-pulse wireplumber pipewire; do
    if [ -f "$dir/$name.pid" ]; then
      kill -9 "$(cat "$dir/$name.pid")" 2>/dev/null || true
    fi
  done
  for name in pulse wireplumber pipewire; do
    [ -f "$dir/$name.pid" ] || continue
    pid=$(cat "$dir/$name.pid")
    for _ in $(seq 1 100); do
      still_running "$pid" || break
      sleep 0.05
    done
  done
}

add_mic() {
  local rate=48000 channels=2 name=mic
  while [ $# -gt 0 ]; do
    case "$1" in
      --rate) rate=$2; shift 2 ;;
      --channels) channels=$2; shift 2 ;;
      --name) name=$2; shift 2 ;;
      *) die "unknown option $1" ;;
    esac
  done
  add_microphone "$name" "$rate" "$channels"
  clock_sinks "${name}sink"
  as_user pactl set-default-source "$name"
}

tone() {
  local sink=$1 hz=$2 channels=${3:-2} log
  user_env
  log=$(mktemp "$dir/tone-$sink.XXXXXX")
  # One second holds a whole number of periods, so repeating it is seamless.
  # A second queued at the server: a busy machine may keep the player from
  # writing for a while, and an underrun's gap would be recorded as one.
  python3 -c "
import array, math, os, sys
hz, channels = $hz, $channels
second = array.array('f', (0.5 * math.sin(2 * math.pi * hz * (i // channels) / 48000)
                           for i in range(48000 * channels)))
out = sys.stdout.buffer
try:
    while True:
        out.write(second.tobytes())
except BrokenPipeError:
    # pacat has gone: what is left unflushed goes nowhere, not into a
    # complaint at exit (Python 3.13 prints one).
    os.dup2(os.open(os.devnull, os.O_WRONLY), out.fileno())
" | "${user_cmd[@]}" pacat --playback --device="$sink" --format=float32le --rate=48000 \
    --channels="$channels" --latency-msec=1000 --client-name=tone -v >/dev/null 2>"$log" &
  # pacat's pid: the generator ends with it.
  echo $! >>"$dir/pids"
  # Back once it sounds (a busy machine may take seconds): tests time their
  # recordings from here.
  for _ in $(seq 1 200); do
    grep -q "Stream started" "$log" && return 0
    sleep 0.1
  done
  die "the tone on $sink did not start (see $log)"
}

# A real device is clocked in periods of ~10 ms, so a new record stream gets
# data within one. A null sink renders as far ahead as its latency and then
# sleeps: 2 s while nobody asks for less, and a new record stream on it (or on
# a source remapped from its monitor) waits for the next block (measured
# here: 1.7 s). A steady reader that asks for 25 ms keeps each sink clocked
# like a device; a suspend and resume then restarts its clock at once,
# instead of after the 2 s block it started with. It reads as the listener
# does, in a format of its own: with --fix-format, parec sizes its 25 ms for
# 44.1 kHz 16-bit stereo before the server fixes the format, which at the
# sink's 32-bit floats is 551 frames, and PipeWire then drives the sink (and
# every stream on it) in 512-frame cycles instead of the 1024 the recorder's
# own 25 ms leave it at: twice the deadlines a busy machine must keep.
clock_sinks() {
  local sink clocked
  client_streams() { as_user pactl list short source-outputs 2>/dev/null | awk '$3 != "-"' | wc -l; }
  clocked=$(client_streams)
  for sink in "$@"; do
    listen "$sink.monitor" /dev/null >/dev/null
  done
  # Their streams are the ones that belong to a client (the remap module's
  # does not).
  for _ in $(seq 1 100); do
    [ "$(client_streams)" -ge $((clocked + $#)) ] && break
    sleep 0.05
  done
  for sink in "$@"; do
    as_user pactl suspend-sink "$sink" 1 && as_user pactl suspend-sink "$sink" 0 ||
      { stop "$dir"; die "the virtual $sink did not start (see the logs in $dir)"; }
  done
}

# Plugs in another output NAME (48000 Hz stereo), not the default.
add_sink() {
  as_user pactl load-module module-null-sink sink_name="$1" rate=48000 channels=2 \
    "sink_properties=device.description=$1" >/dev/null
  clock_sinks "$1"
}

# An independent reader of a source, beside the recorder: what it gets is
# what the server hands every client. Into a file, so a busy machine never
# holds the reader up on a full pipe.
listen() {
  user_env
  "${user_cmd[@]}" parec --latency-msec=25 --format=float32le --rate=48000 --channels=1 \
    -d "$1" >"$2" 2>/dev/null &
  echo $! >>"$dir/pids"
  echo $!
}

stop() {
  local dir=$1
  [ -f "$dir/pids" ] || die "$dir holds no desktop"
  stop_recorded "$dir"
}

case "${1:-}" in
  start) shift; start "$@" ;;
  stop) [ $# -eq 2 ] || die "usage: desktop.sh stop DIR"; stop "$2" ;;
  kill-sound) [ $# -eq 2 ] || die "usage: desktop.sh kill-sound DIR"; dir=$2; kill_sound ;;
  start-sound) [ $# -eq 2 ] || die "usage: desktop.sh start-sound DIR"; dir=$2; start_sound ;;
  add-sink) [ $# -eq 3 ] || die "usage: desktop.sh add-sink DIR NAME"; dir=$2; add_sink "$3" ;;
  add-mic) [ $# -ge 2 ] || die "usage: desktop.sh add-mic DIR [options]"; dir=$2; shift 2; add_mic "$@" ;;
  listen) [ $# -eq 4 ] || die "usage: desktop.sh listen DIR SOURCE FILE"; dir=$2; listen "$3" "$4" ;;
  tone) [ $# -ge 4 ] || die "usage: desktop.sh tone DIR SINK HZ [CHANNELS]"; dir=$2; tone "$3" "$4" "${5:-2}" ;;
  *) die "usage: desktop.sh start [options] | stop DIR" ;;
esac
