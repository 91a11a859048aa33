#!/usr/bin/env bash
# Builds the control-loop fuzzer with clang (libFuzzer, AddressSanitizer,
# UBSan) in its own build directory, with the product beside it so that clang's
# lock analysis sees every file, and runs the fuzzer for a bounded time; any
# crash, sanitizer report or protocol break fails.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KESTRANO_FUZZ_BUILD_DIR:-$root/build-fuzz}
seconds=${KESTRANO_FUZZ_SECONDS:-60}

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++ >/dev/null
# The product too: this is the clang build, so -Wthread-safety (an error
# here) checks the lock annotations of every file the process is made of.
ninja -C "$build" -j2 KestranoRecorder control_loop_fuzzer

# The corpus grows in the build directory; the checked-in seeds stay as they are.
corpus=$build/fuzz-corpus
mkdir -p "$corpus"
# -max_len: room for lines past the 64 KiB cap. -malloc_limit_mb: no input of
# that size may make the loop take more than a few megabytes at once (the
# whole process, with AddressSanitizer's quarantine, may take more).
"$build/tests/fuzz/control_loop_fuzzer" -max_total_time="$seconds" -max_len=140000 \
  -rss_limit_mb=1024 -malloc_limit_mb=64 -timeout=10 -print_final_stats=1 \
  -dict="$root/tests/fuzz/protocol.dict" \
  "$corpus" "$root/tests/fuzz/seeds"
