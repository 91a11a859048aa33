#!/usr/bin/env bash
# The demo: installs what is missing, builds, starts a private desktop with a
# moving scene and two tones, records about 5 seconds by driving
# KestranoRecorder over its line protocol as a host would, then summarises the
# file and draws a contact sheet and a waveform beside it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KESTRANO_BUILD_DIR:-$root/build}
out=${1:-$root/out/demo.mp4}

"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C "$build" KestranoRecorder >/dev/null
mkdir -p "$(dirname "$out")"

eval "$("$root/scripts/desktop.sh" start)"
export DISPLAY PULSE_SERVER PULSE_CLIENTCONFIG
cleanup() {
  "$root/scripts/demo-scene.sh" stop "$KESTRANO_DESKTOP" || true
  "$root/scripts/desktop.sh" stop "$KESTRANO_DESKTOP" || true
}
trap cleanup EXIT
"$root/scripts/demo-scene.sh" start "$KESTRANO_DESKTOP"

# Drive the recorder exactly as a host does: one command line, one reply line.
coproc REC { "$build/app/KestranoRecorder"; }
say() { echo "> $1"; printf '%s\n' "$1" >&"${REC[1]}"; }
hear() { local line; IFS= read -r line <&"${REC[0]}"; echo "< $line"; reply=$line; }

say "start $out"
hear
case "$reply" in OK) ;; *) echo "demo: the recorder did not start" >&2; exit 1 ;; esac
sleep 5
say "stop"
hear
wait "$REC_PID" || true

echo
echo "== $out"
ffprobe -v error -show_entries format=duration,size:stream=index,codec_type,codec_name,profile,width,height,sample_rate,channels,duration \
  -of compact=p=0 "$out"

sheet=${out%.*}-frames.png
wave=${out%.*}-waveform.png
ffmpeg -v error -y -i "$out" -vf "fps=2,scale=320:-1,tile=5x2" -frames:v 1 "$sheet"
ffmpeg -v error -y -i "$out" -filter_complex \
  "[0:a:0]showwavespic=s=1280x200:colors=orange[s];[0:a:1]showwavespic=s=1280x200:colors=cyan[m];[s][m]vstack" \
  -frames:v 1 "$wave"
echo "contact sheet: $sheet"
echo "waveforms (system audio above, microphone below): $wave"
