#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KESTRANO_BUILD_DIR:-$root/build}

"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C "$build"
ctest --test-dir "$build" --output-on-failure --timeout 300
# The Debian package made from that build, installed and run once.
"$root/scripts/package-test.sh" "$build"
# Bad input under libFuzzer, then the suite again under the sanitizers.
KESTRANO_FUZZ_BUILD_DIR="$build-fuzz" "$root/scripts/fuzz.sh"
KESTRANO_ASAN_BUILD_DIR="$build-asan" KESTRANO_TSAN_BUILD_DIR="$build-tsan" \
  "$root/scripts/sanitizers.sh"
