#!/usr/bin/env bash
# A demo scene on the desktop the environment points at (DISPLAY, PULSE_SERVER):
# moving content over the whole screen, a 440 Hz tone on the speaker and a
# 1000 Hz tone on the virtual microphone.
#
#   demo-scene.sh start DIR [WxH]   starts it; pids go to DIR/scene.pids
#   demo-scene.sh stop DIR          stops what start started
set -euo pipefail

die() { echo "demo-scene.sh: $*" >&2; exit 1; }

start() {
  local dir=$1 size=${2:-1920x1080}
  local w=${size%x*} h=${size#*x}
  : >"$dir/scene.pids"
  # testsrc2 moves everywhere on the picture at every frame.
  ffplay -hide_banner -loglevel error -f lavfi "testsrc2=size=${size}:rate=30" -an -noborder \
    -left 0 -top 0 -x "$w" -y "$h" -window_title scene >"$dir/scene-video.log" 2>&1 &
  echo $! >>"$dir/scene.pids"
  if [ -n "${PULSE_SERVER:-}" ]; then
    # Not paced by ffmpeg (-re): the server's buffer fills at once, so each
    # tone sounds as soon as its stream exists and rides out a busy machine;
    # from then on the sink's clock paces the writes.
    ffmpeg -hide_banner -loglevel error -f lavfi -i "sine=frequency=440:sample_rate=48000" \
      -ac 2 -f pulse -device speaker speaker-tone >"$dir/scene-speaker.log" 2>&1 &
    echo $! >>"$dir/scene.pids"
    ffmpeg -hide_banner -loglevel error -f lavfi -i "sine=frequency=1000:sample_rate=48000" \
      -ac 2 -f pulse -device micsink microphone-tone >"$dir/scene-mic.log" 2>&1 &
    echo $! >>"$dir/scene.pids"
  fi
  # Wait until both tones play (on a busy machine ffmpeg can take seconds to
  # start), then give the player a moment to map its window.
  if [ -n "${PULSE_SERVER:-}" ]; then
    local i
    for i in $(seq 1 200); do
      [ "$(pactl list short sink-inputs 2>/dev/null | wc -l)" -ge 2 ] && break
      sleep 0.05
    done
  fi
  sleep 1
}

stop() {
  local dir=$1 pid
  [ -f "$dir/scene.pids" ] || return 0
  while read -r pid; do
    [ -n "$pid" ] && kill "$pid" 2>/dev/null || true
  done <"$dir/scene.pids"
  sleep 0.2
  while read -r pid; do
    [ -n "$pid" ] && kill -9 "$pid" 2>/dev/null || true
  done <"$dir/scene.pids"
  rm -f "$dir/scene.pids"
}

case "${1:-}" in
  start) [ $# -ge 2 ] || die "usage: demo-scene.sh start DIR [WxH]"; start "$2" "${3:-}" ;;
  stop) [ $# -eq 2 ] || die "usage: demo-scene.sh stop DIR"; stop "$2" ;;
  *) die "usage: demo-scene.sh start DIR [WxH] | stop DIR" ;;
esac
