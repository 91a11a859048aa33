#!/usr/bin/env bash
# KestranoRecorder against the ffmpeg command-line recorder on a private
# desktop, two 60-second scenes each; prints one table per scene.
#
#   bench/e2e/compare.sh [--seconds N] [--scenes moving,desktop] [--out DIR]
#
# Builds the recorder and the scene program (Release) in build-bench unless
# KESTRANO_BUILD names another build folder.
set -euo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
build=${KESTRANO_BUILD:-$repo/build-bench}
if ! { cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null &&
  ninja -C "$build" -j2 KestranoRecorder e2e_scene >/dev/null; }; then
  [ -x "$build/app/KestranoRecorder" ] && [ -x "$build/bench/e2e/e2e_scene" ] ||
    { echo "compare.sh: build failed" >&2; exit 1; }
  echo "compare.sh: build failed; using the programs already in $build" >&2
fi
exec python3 "$repo/bench/e2e/compare.py" --repo "$repo" \
  --recorder "$build/app/KestranoRecorder" --scene-binary "$build/bench/e2e/e2e_scene" "$@"
