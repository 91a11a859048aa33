# shellcheck shell=bash
# Sourced by the private desktop scripts: starts a desktop's services with
# their pids recorded in DIR/pids, and stops those processes (and only
# those), then removes DIR. The caller sets dir and user_cmd (the prefix that
# runs a program in the desktop's environment, env or setpriv, which exec)
# and defines abandon_start MESSAGE (clean up and fail).

# Starts "$@" in the background, logging to DIR/NAME.log. A plain command,
# not a function: the recorded pid is the program's own, so stopping it (or
# a test killing DIR/NAME.pid mid-recording) stops the program.
spawn() {
  local name=$1; shift
  # shellcheck disable=SC2154 # user_cmd is the caller's
  "${user_cmd[@]}" "$@" >"$dir/$name.log" 2>&1 &
  echo $! >>"$dir/pids"
  echo $! >"$dir/$name.pid"
}

# Polls "$@" (up to 20 s: this machine is often busy) until it succeeds;
# otherwise shows what the services said and abandons the start.
wait_for() {
  local what=$1; shift
  for _ in $(seq 1 200); do
    "$@" >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  tail -n 20 "$dir"/*.log >&2 || true
  abandon_start "$what did not start"
}

# A finished process stays a zombie until init reaps it, which here takes a
# second or two: it counts as gone.
still_running() {
  local stat
  stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
  stat=${stat##*) }
  [ "${stat%% *}" != Z ]
}

# Stops the desktop once process OWNER has ended. A test its harness killed
# (a timeout kills it outright) runs no destructor, and its services, nobody's
# children by then, would run on beside every later test. Its output goes
# nowhere: the reader of `start`'s output waits for the end of it.
watch_owner() {
  (
    while kill -0 "$1" 2>/dev/null; do sleep 1; done
    stop_recorded "$dir"
  ) </dev/null >/dev/null 2>&1 &
  echo $! >"$dir/watcher.pid"
}

stop_recorded() {
  local dir=$1 pid
  # The watcher is no service: it goes first, unless it is the one stopping.
  if [ -f "$dir/watcher.pid" ] && [ "$(cat "$dir/watcher.pid")" != "$BASHPID" ]; then
    kill "$(cat "$dir/watcher.pid")" 2>/dev/null || true
  fi
  while read -r pid; do
    [ -n "$pid" ] && kill "$pid" 2>/dev/null || true
  done <"$dir/pids"
  # Give them a moment to go, then make sure.
  for _ in $(seq 1 40); do
    local alive=0
    while read -r pid; do
      [ -n "$pid" ] && still_running "$pid" && alive=1
    done <"$dir/pids"
    [ "$alive" = 0 ] && break
    sleep 0.05
  done
  while read -r pid; do
    [ -n "$pid" ] && kill -9 "$pid" 2>/dev/null || true
  done <"$dir/pids"
  rm -rf "$dir"
}
