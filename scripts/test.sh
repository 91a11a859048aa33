#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KESTRANO_BUILD_DIR:-$root/build}

# Test code against product code (C/C++ lines that are neither blank nor a
# comment alone), printed at the end of every run, passed or not: tests are
# meant to stay about a quarter to a third of the code.
test_share() {
  local t c
  git -C "$root" rev-parse 2>/dev/null || return 0  # a copied tree (scripts/test-in-debian13.sh)
  count() { git -C "$root" ls-files -co --exclude-standard | grep -E '\.(c|cc|cpp|cxx|h|hh|hpp)$' |
    grep "$@" | (cd "$root" && xargs -r cat) | grep -c -v -E '^\s*(//.*)?$'; }
  t=$(count -E '(^|/)tests?/') c=$(count -v -E '(^|/)tests?/')
  echo "test lines $t, code lines $c, tests/code $(awk -v t="$t" -v c="$c" 'BEGIN{printf "%.2f", t/c}')"
}
trap 'test_share || true' EXIT

"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C "$build"
ctest --test-dir "$build" --output-on-failure --timeout 300
# The Debian package made from that build, installed and run once.
"$root/scripts/package-test.sh" "$build"
# Bad input under libFuzzer, then the suite again under the sanitizers (left
# out where another run covers them: scripts/test-in-debian13.sh).
[ -z "${KESTRANO_SKIP_FUZZ_AND_SANITIZERS:-}" ] || exit 0
KESTRANO_FUZZ_BUILD_DIR="$build-fuzz" "$root/scripts/fuzz.sh"
KESTRANO_ASAN_BUILD_DIR="$build-asan" KESTRANO_TSAN_BUILD_DIR="$build-tsan" \
  "$root/scripts/sanitizers.sh"
