#!/usr/bin/env bash
# Builds the Debian package from an already built tree with CPack, checks that
# it holds only the stripped helper and its docs, installs it, records a short
# clip with the installed binary on a private desktop as a host would (OK,
# DONE with the file's size, three tracks), then removes it again.
# As root it installs with dpkg -i and removes with dpkg -r. A developer who is
# not root (or who has the package installed already, which this must not
# replace or remove) gets the package extracted into a throw-away root with
# dpkg -x instead: the same files and binary, without dpkg's bookkeeping.
# Usage: package-test.sh [BUILD_DIR]   (default: build/)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-${KESTRANO_BUILD_DIR:-$root/build}}

work=$(mktemp -d "${TMPDIR:-/tmp}/kestrano-package.XXXXXX")
installed="" desktop="" rec_pid=""
cleanup() {
  if [ -n "$rec_pid" ]; then kill "$rec_pid" 2>/dev/null || true; wait "$rec_pid" 2>/dev/null || true; fi
  if [ -n "$desktop" ]; then "$root/scripts/desktop.sh" stop "$desktop" || true; fi
  if [ -n "$installed" ]; then dpkg -r kestrano-recorder >/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "package-test: $*" >&2; exit 1; }

(cd "$build" && cpack -G DEB -B "$work/deb") >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log" >&2; fail "cpack failed"; }
debs=("$work"/deb/kestrano-recorder_*.deb)
deb=${debs[0]}
[ -f "$deb" ] || fail "cpack made no kestrano-recorder_*.deb"

# Nothing of the static libraries, tests or benchmarks; debug information off.
extra=$(dpkg -c "$deb" | awk '{print $6}' |
  grep -v -e '/$' -e '^\./usr/bin/KestranoRecorder$' -e '^\./usr/share/doc/kestrano-recorder/' \
    -e '^\./usr/share/man/man1/KestranoRecorder\.1\.gz$' || true)
[ -z "$extra" ] || fail "unexpected files in the package: $extra"

status=$(dpkg-query -W -f='${Status}' kestrano-recorder 2>/dev/null || true)
if [ "$(id -u)" = 0 ] && { [ -z "$status" ] || [[ $status == *not-installed ]]; }; then
  installed=1  # before dpkg -i: a half-done install is removed as well
  dpkg -i "$deb" >/dev/null
  bin=/usr/bin/KestranoRecorder
else
  echo "package-test: not root, or kestrano-recorder already installed: extracting with dpkg -x"
  dpkg -x "$deb" "$work/root"
  bin=$work/root/usr/bin/KestranoRecorder
fi
file -L "$bin" | grep -q ', stripped' || fail "the installed binary is not stripped"

# A person's way in: the manual page renders without a warning, --help and
# --version answer on standard output, a wrong argument gets the usage on
# standard error and status 2.
manual=$work/KestranoRecorder.1.gz  # from the package: dpkg may be told to skip manual pages
dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/man/man1/KestranoRecorder.1.gz >"$manual"
warnings=$(MANWIDTH=80 man --warnings -l "$manual" 2>&1 >/dev/null) ||
  fail "man -l failed on the manual page: $warnings"
[ -z "$warnings" ] || fail "the manual page has warnings: $warnings"
version=$(dpkg-deb -f "$deb" Version)
[ "$("$bin" --version)" = "KestranoRecorder $version" ] || fail "--version does not say $version"
"$bin" --help | grep -q '^  start PATH' || fail "--help does not show the protocol"
status=0 usage=$("$bin" --bogus 2>&1 >/dev/null) || status=$?
[ "$status" = 2 ] && [[ $usage == Usage:* ]] || fail "a wrong argument: status $status, '$usage'"

eval "$("$root/scripts/desktop.sh" start --size 640x360)"
desktop=$KESTRANO_DESKTOP
export DISPLAY PULSE_SERVER PULSE_CLIENTCONFIG

# One command line, one reply line, as a host drives it. The read timeouts
# only keep a hung recorder from hanging CI.
out=$work/clip.mp4
coproc REC { exec "$bin"; }
# shellcheck disable=SC2153 # REC_PID is set by coproc
rec_pid=$REC_PID
exec {to_rec}>&"${REC[1]}" {from_rec}<&"${REC[0]}"
printf 'start %s\n' "$out" >&"$to_rec"
IFS= read -r -t 30 reply <&"$from_rec" || fail "no reply to start"
[ "$reply" = OK ] || fail "start: $reply"
sleep 2
printf 'stop\n' >&"$to_rec"
IFS= read -r -t 30 reply <&"$from_rec" || fail "no reply to stop"
wait "$rec_pid" || fail "the recorder exited with status $?"
rec_pid=""
size=$(stat -c %s "$out")
[ "$reply" = "DONE $size $out" ] || fail "stop: '$reply' (the file holds $size bytes)"
tracks=$(ffprobe -v error -show_entries stream=codec_type -of csv=p=0 "$out" | tr '\n' ' ')
[ "$tracks" = "video audio audio " ] || fail "tracks in the recording: $tracks"

echo "package-test: $(basename "$deb") from $bin recorded $size bytes: $tracks"
