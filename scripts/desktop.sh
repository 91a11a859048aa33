#!/usr/bin/env bash
# A private headless desktop: an Xvfb server and a PulseAudio daemon with a
# virtual speaker (default sink "speaker") and a virtual microphone (default
# source "mic", fed by whatever is played to the sink "micsink").
# Everything lives in one private folder; only the processes started here are
# stopped, by the pids recorded there.
#
#   desktop.sh start [options]   prints shell assignments to eval:
#                                DISPLAY, PULSE_SERVER, PULSE_CLIENTCONFIG, KESTRANO_DESKTOP
#     --size WxH                 screen size (default 1920x1080)
#     --monitors SPEC            RandR monitors, e.g. 1280x720+0+0,1920x1080+1280+0;
#                                the screen grows to hold them all
#     --mic-rate HZ              virtual microphone rate (default 48000)
#     --mic-channels N           virtual microphone channels (default 2)
#     --no-x | --no-pulse        leave one of the two out
#   desktop.sh stop DIR          stops what `start` started in DIR and removes DIR
set -euo pipefail

# shellcheck source-path=SCRIPTDIR source=desktop-pids.sh
. "$(dirname "${BASH_SOURCE[0]}")/desktop-pids.sh"

die() { echo "desktop.sh: $*" >&2; exit 1; }

start() {
  local size=1920x1080 monitors="" mic_rate=48000 mic_channels=2 want_x=1 want_pulse=1
  while [ $# -gt 0 ]; do
    case "$1" in
      --size) size=$2; shift 2 ;;
      --monitors) monitors=$2; shift 2 ;;
      --mic-rate) mic_rate=$2; shift 2 ;;
      --mic-channels) mic_channels=$2; shift 2 ;;
      --no-x) want_x=0; shift ;;
      --no-pulse) want_pulse=0; shift ;;
      *) die "unknown option $1" ;;
    esac
  done

  local dir
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
    local i
    for i in $(seq 1 100); do
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
    mkdir -p "$dir/pulse" "$dir/home"
    cat >"$dir/default.pa" <<PA
load-module module-native-protocol-unix socket=$dir/pulse/native auth-anonymous=1
load-module module-null-sink sink_name=speaker rate=48000 channels=2 sink_properties=device.description=Speaker
load-module module-null-sink sink_name=micsink rate=$mic_rate channels=$mic_channels sink_properties=device.description=MicrophoneFeed
load-module module-remap-source source_name=mic master=micsink.monitor rate=$mic_rate channels=$mic_channels source_properties=device.description=Microphone
set-default-sink speaker
set-default-source mic
PA
    cat >"$dir/client.conf" <<CONF
autospawn = no
CONF
    HOME="$dir/home" XDG_RUNTIME_DIR="$dir/pulse" PULSE_RUNTIME_PATH="$dir/pulse" \
      PULSE_STATE_PATH="$dir/pulse" pulseaudio --daemonize=no --exit-idle-time=-1 \
      --disallow-exit --disallow-module-loading=no --use-pid-file=no --system=false \
      -n -F "$dir/default.pa" --log-target=file:"$dir/pulse.log" >/dev/null 2>&1 &
    echo $! >>"$dir/pids"
    echo $! >"$dir/pulse.pid"
    pulse_server="unix:$dir/pulse/native"
    local i
    for i in $(seq 1 100); do
      PULSE_SERVER=$pulse_server PULSE_CLIENTCONFIG="$dir/client.conf" pactl info >/dev/null 2>&1 && break
      sleep 0.05
    done
    PULSE_SERVER=$pulse_server PULSE_CLIENTCONFIG="$dir/client.conf" pactl info >/dev/null 2>&1 ||
      { stop "$dir"; die "PulseAudio did not start (see $dir/pulse.log)"; }
    clock_sinks "$dir" "$pulse_server"
  fi

  [ -n "$display" ] && echo "DISPLAY=$display"
  if [ -n "$pulse_server" ]; then
    echo "PULSE_SERVER=$pulse_server"
    echo "PULSE_CLIENTCONFIG=$dir/client.conf"
  fi
  echo "KESTRANO_DESKTOP=$dir"
}

# A real device is clocked in periods of ~10 ms, so a new record stream gets
# data within one. A null sink renders as far ahead as its latency and then
# sleeps: 2 s while nobody asks for less, and a new record stream on it (or on
# a source remapped from its monitor) waits for the next block (measured
# here: 1.7 s). A steady reader that asks for 10 ms keeps each sink clocked
# like a device; a suspend and resume then restarts its clock at once,
# instead of after the 2 s block it started with.
clock_sinks() {
  local dir=$1 server=$2 sink i
  for sink in speaker micsink; do
    PULSE_SERVER=$server PULSE_CLIENTCONFIG="$dir/client.conf" parec --latency-msec=10 \
      --fix-format --fix-rate --fix-channels -d "$sink.monitor" >/dev/null 2>&1 &
    echo $! >>"$dir/pids"
  done
  # Their streams are the ones that belong to a client (the remap module's
  # does not).
  for i in $(seq 1 100); do
    [ "$(PULSE_SERVER=$server PULSE_CLIENTCONFIG="$dir/client.conf" \
      pactl list short source-outputs 2>/dev/null | awk '$3 != "-"' | wc -l)" -ge 2 ] && break
    sleep 0.05
  done
  for sink in speaker micsink; do
    PULSE_SERVER=$server PULSE_CLIENTCONFIG="$dir/client.conf" pactl suspend-sink "$sink" 1 &&
      PULSE_SERVER=$server PULSE_CLIENTCONFIG="$dir/client.conf" pactl suspend-sink "$sink" 0 ||
      { stop "$dir"; die "the virtual $sink did not start (see $dir/pulse.log)"; }
  done
}

stop() {
  local dir=$1
  [ -f "$dir/pids" ] || die "$dir holds no desktop"
  stop_recorded "$dir"
}

case "${1:-}" in
  start) shift; start "$@" ;;
  stop) [ $# -eq 2 ] || die "usage: desktop.sh stop DIR"; stop "$2" ;;
  *) die "usage: desktop.sh start [options] | stop DIR" ;;
esac
