#!/usr/bin/env bash
# A private headless Wayland desktop: its own session bus, PipeWire with
# WirePlumber and pipewire-pulse (virtual speaker "speaker", virtual microphone
# "mic" fed by whatever is played to "micsink"), and headless mutter with one
# virtual monitor, whose screen-cast D-Bus API gives real PipeWire video.
# Optionally an animated client on the screen, and the real xdg-desktop-portal
# frontend with the test ScreenCast backend (tests/support/portal) behind it.
# Compositors refuse to run as root, so as root the session runs as the
# unprivileged user kestrano-test (created here if missing); clients that talk
# to the portal must run as that user too (the frontend refuses root).
# Everything lives in one private folder DIR; only the processes started here
# are stopped, by the pids recorded there. Each service logs to DIR/NAME.log
# and leaves its pid in DIR/NAME.pid (NAME: bus, pipewire, wireplumber,
# pipewire-pulse, mutter, client, permission-store, portal, xdg-desktop-portal).
#
#   wayland-desktop.sh start [options]   prints shell assignments to eval:
#       WAYLAND_DISPLAY, XDG_RUNTIME_DIR, DBUS_SESSION_BUS_ADDRESS, PULSE_SERVER,
#       KESTRANO_WAYLAND_USER, KESTRANO_WAYLAND_DESKTOP
#     --size WxH          virtual monitor size (default 1280x720)
#     --refresh HZ        virtual monitor refresh rate (default 30)
#     --client            run weston-simple-shm (an animated window) on it
#     --portal[=MODE]     run xdg-desktop-portal with the test backend; MODE is
#                         pick (default: the "user" picks the first monitor),
#                         refuse (the "user" cancels the picker), hold (the
#                         picker stays open, never answered), slow (the "user"
#                         picks after 12 s) or no-screencast (the desktop has
#                         no ScreenCast backend); KESTRANO_PORTAL_MODE sets the
#                         default. The backend logs each
#                         pick/restore/refuse/hold/slow to DIR/portal.log.
#     --no-pulse          leave pipewire-pulse out
#     --owner PID         stop it all once process PID has ended
#   wayland-desktop.sh stop DIR          stops what `start` started in DIR and removes DIR
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source-path=SCRIPTDIR source=desktop-pids.sh
. "$here/desktop-pids.sh"
# shellcheck source-path=SCRIPTDIR source=sound-server.sh
. "$here/sound-server.sh"

die() { echo "wayland-desktop.sh: $*" >&2; exit 1; }

test_user=kestrano-test

# Runs "$@" as the session's user in the session's environment only.
as_user() { "${user_cmd[@]}" "$@"; }

# The folder goes with the failed start (see the trap in start).
abandon_start() { die "$*"; }

bus_has() {
  as_user dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
    org.freedesktop.DBus.NameHasOwner "string:$1" | grep -q 'boolean true'
}

start() {
  local size=1280x720 refresh=30 client=0 portal="" pulse=1 owner=""
  while [ $# -gt 0 ]; do
    case "$1" in
      --size) size=$2; shift 2 ;;
      --refresh) refresh=$2; shift 2 ;;
      --client) client=1; shift ;;
      --portal) portal=${KESTRANO_PORTAL_MODE:-pick}; shift ;;
      --portal=*) portal=${1#--portal=}; shift ;;
      --no-pulse) pulse=0; shift ;;
      --owner) owner=$2; shift 2 ;;
      *) die "unknown option $1" ;;
    esac
  done
  [[ $size =~ ^[0-9]+x[0-9]+$ ]] || die "bad size $size"
  case "$portal" in ""|pick|refuse|hold|slow|no-screencast) ;; *) die "bad portal mode $portal" ;; esac

  if [ "$(id -u)" = 0 ]; then
    # Two desktops may start at once: losing the race to create the user is fine.
    id -u "$test_user" >/dev/null 2>&1 ||
      useradd --system --user-group --no-create-home --home-dir /nonexistent \
        --shell /usr/sbin/nologin "$test_user" 2>/dev/null || id -u "$test_user" >/dev/null
  else
    test_user=$(id -un)
  fi

  dir=$(mktemp -d "${TMPDIR:-/tmp}/kestrano-wayland.XXXXXX")
  : >"$dir/pids"
  # A failed or interrupted start leaves nothing running.
  trap 'stop_recorded "$dir"' EXIT
  trap 'exit 1' INT TERM HUP
  # The user may pass through DIR to its own runtime and home folders only.
  chmod 0711 "$dir"
  mkdir -m 0700 "$dir/run" "$dir/home"
  chown "$test_user:" "$dir/run" "$dir/home"
  local run=$dir/run

  # Nothing is activated on demand: every service on this bus is one started
  # (and recorded) here, and a missing portal stays missing.
  session_bus_config "$run" >"$dir/bus.conf"
  session_env=(
    HOME="$dir/home" XDG_RUNTIME_DIR="$run" DBUS_SESSION_BUS_ADDRESS="unix:path=$run/bus"
    PATH=/usr/bin:/bin LANG=C.UTF-8 GSETTINGS_BACKEND=memory XDG_SESSION_TYPE=wayland
    XDG_CURRENT_DESKTOP=kestrano-test
  )
  user_cmd=(env -i "${session_env[@]}")
  [ "$(id -u)" = 0 ] && user_cmd=(setpriv --reuid="$test_user" --regid="$test_user" --init-groups "${user_cmd[@]}")

  spawn bus dbus-daemon --nofork --nopidfile --config-file="$dir/bus.conf"
  wait_for "the session bus" bus_has org.freedesktop.DBus

  start_pipewire

  local pulse_server=""
  if [ "$pulse" = 1 ]; then
    # Like desktop.sh's: a speaker, and a microphone fed through "micsink".
    start_pipewire_pulse "$run" 48000 2
    pulse_server="unix:$run/pulse/native"
  fi

  spawn mutter mutter --headless --wayland --no-x11 --wayland-display=wayland-0 \
    --virtual-monitor "${size}@${refresh}"
  wait_for mutter bus_has org.gnome.Mutter.ScreenCast
  wait_for "mutter's Wayland socket" test -S "$run/wayland-0"

  if [ "$client" = 1 ]; then
    spawn client env WAYLAND_DISPLAY=wayland-0 weston-simple-shm
  fi

  if [ -n "$portal" ]; then
    # The frontend keeps restore tokens in the permission store.
    spawn permission-store /usr/libexec/xdg-permission-store
    wait_for "the permission store" bus_has org.freedesktop.impl.portal.PermissionStore
    # The frontend finds backends through .portal files in this folder: with
    # none, the desktop has a portal but no ScreenCast backend.
    mkdir -m 0755 "$dir/portals"
    if [ "$portal" != no-screencast ]; then
      cp "$here/../tests/support/portal/kestrano-test.portal" "$dir/portals/"
      # The source may sit in a folder the session's user cannot read.
      cp "$here/../tests/support/portal/screencast_backend.py" "$dir/"
      chmod a+r "$dir/portals/kestrano-test.portal" "$dir/screencast_backend.py"
      spawn portal env KESTRANO_PORTAL_MODE="$portal" python3 -u "$dir/screencast_backend.py"
      wait_for "the test portal backend" bus_has org.freedesktop.impl.portal.desktop.kestrano_test
    fi
    spawn xdg-desktop-portal env XDG_DESKTOP_PORTAL_DIR="$dir/portals" /usr/libexec/xdg-desktop-portal
    wait_for xdg-desktop-portal bus_has org.freedesktop.portal.Desktop
  fi

  trap - EXIT INT TERM HUP
  echo "WAYLAND_DISPLAY=wayland-0"
  echo "XDG_RUNTIME_DIR=$run"
  echo "DBUS_SESSION_BUS_ADDRESS=unix:path=$run/bus"
  [ -n "$pulse_server" ] && echo "PULSE_SERVER=$pulse_server"
  echo "KESTRANO_WAYLAND_USER=$test_user"
  echo "KESTRANO_WAYLAND_DESKTOP=$dir"
  [ -z "$owner" ] || watch_owner "$owner"
}

stop() {
  [ -f "$1/pids" ] || die "$1 holds no desktop"
  stop_recorded "$1"
}

case "${1:-}" in
  start) shift; start "$@" ;;
  stop) [ $# -eq 2 ] || die "usage: wayland-desktop.sh stop DIR"; stop "$2" ;;
  *) die "usage: wayland-desktop.sh start [options] | stop DIR" ;;
esac
