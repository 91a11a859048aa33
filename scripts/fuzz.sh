#!/usr/bin/env bash
# Builds the control-loop fuzzer with clang (libFuzzer, AddressSanitizer,
# UBSan) in its own build directory and runs it for a bounded time; any crash,
# sanitizer report or protocol break fails.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KESTRANO_FUZZ_BUILD_DIR:-$root/build-fuzz}
seconds=${KESTRANO_FUZZ_SECONDS:-60}

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++ >/dev/null
ninja -C "$build" control_loop_fuzzer

# The corpus grows in the build directory; the checked-in seeds stay as they are.
corpus=$build/fuzz-corpus
mkdir -p "$corpus"
# -max_len: room for lines past the 64 KiB cap. -rss_limit_mb: the loop must
# stay small whatever it reads.
"$build/tests/fuzz/control_loop_fuzzer" -max_total_time="$seconds" -max_len=140000 \
  -rss_limit_mb=512 -timeout=10 -print_final_stats=1 "$corpus" "$root/tests/fuzz/seeds"
