#!/usr/bin/env bash
# Builds the project with AddressSanitizer+UBSan and with ThreadSanitizer, each
# in its own build directory, and runs the unit tests (label "unit": control
# loop, engine over the fake platform, converter, writer) plus one end-to-end
# recording of a real desktop under each. Any report fails. The capture and
# sound-server backend tests measure pacing and levels against the clock,
# which a sanitizer's slowdown distorts; the end-to-end recording covers those
# backends under the sanitizers.
# Usage: sanitizers.sh [address|thread]   (both when none is named)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
asan_build=${KESTRANO_ASAN_BUILD_DIR:-$root/build-asan}
tsan_build=${KESTRANO_TSAN_BUILD_DIR:-$root/build-tsan}
# One whole recording through the binary, besides every unit and backend test:
# ended by SIGTERM, so the signal path and the finish run under the sanitizers
# too. Not one that times the sound's start: a sanitizer's slowdown moves it.
e2e_test='EndToEnd/Recording\.EndsAsTheRowSays/TERM'

# halt_on_error: the first report fails the test (and, in a recorder run by an
# end-to-end test, its exit status).
export ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1:strict_string_checks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$root/tests/pulse/tsan.supp

run() {  # <kind> <build dir>
  local kind=$1 build=$2 began
  began=$(date +%s)
  # -O1 with line tables: reports keep their stack lines, and the build takes
  # about half the time of an optimised one with full debug information.
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g1" -DKESTRANO_SANITIZE="$kind" >/dev/null
  # Only what these runs use: a whole build under a sanitizer takes long.
  ninja -C "$build" platform_tests app_tests recorder_tests \
    resample_tests ffmpeg_writer_tests e2e_tests KestranoRecorder av_sync_scene
  echo "sanitizers: $kind build took $(($(date +%s) - began)) s"
  began=$(date +%s)
  ctest --test-dir "$build" --output-on-failure --timeout 600 -L unit
  ctest --test-dir "$build" --output-on-failure --timeout 600 -R "$e2e_test"
  echo "sanitizers: $kind tests took $(($(date +%s) - began)) s"
}

kinds=${1:-address thread}
for kind in $kinds; do
  case $kind in
    address) run address "$asan_build" ;;
    thread) run thread "$tsan_build" ;;
    *) echo "sanitizers: unknown kind $kind" >&2 && exit 2 ;;
  esac
done
