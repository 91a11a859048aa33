# shellcheck shell=bash
# Sourced by the private desktop scripts: stops the processes whose pids a
# desktop recorded in DIR/pids (and only those), then removes DIR.

# A finished process stays a zombie until init reaps it, which here takes a
# second or two: it counts as gone.
still_running() {
  local stat
  stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
  stat=${stat##*) }
  [ "${stat%% *}" != Z ]
}

stop_recorded() {
  local dir=$1 pid
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
