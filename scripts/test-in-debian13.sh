#!/usr/bin/env bash
# Runs the test command in a fresh Debian 13 (trixie) system: debootstrap into
# a private folder, copy the working tree in, run scripts/test.sh there as root
# (it installs what trixie names, builds, runs ctest and the package test), and
# take everything down again: the processes left in it, its mounts, its folder.
#
# Usage: test-in-debian13.sh [--keep] [--full] [-- COMMAND...]
#   --keep     leave the system in place (its folder is printed, unmounted);
#              a later run given it as KESTRANO_DEBIAN13_DIR reuses it, its
#              installed packages and its build folders
#   --full     also the fuzzer and the sanitizer builds (CI leaves those to
#              the host's Debian 12 run)
#   COMMAND    run this in the tree instead of scripts/test.sh
# Environment: KESTRANO_DEBIAN13_DIR  the folder (default: a new one in
#              /var/tmp); KESTRANO_DEBIAN_MIRROR; KESTRANO_DEBIAN13_CACHE
#              (default /var/cache/kestrano-debian13: downloaded packages and
#              an image of the system with them installed, kept between runs).
# Needs root and debootstrap (installed here when missing).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
mirror=${KESTRANO_DEBIAN_MIRROR:-http://deb.debian.org/debian}
cache=${KESTRANO_DEBIAN13_CACHE:-/var/cache/kestrano-debian13}
keep="" full=""
while [ $# -gt 0 ]; do
  case $1 in
    --keep) keep=1 ;;
    --full) full=1 ;;
    --) shift; break ;;
    *) echo "usage: $0 [--keep] [--full] [-- COMMAND...]" >&2; exit 2 ;;
  esac
  shift
done
command=("$@")
[ ${#command[@]} -gt 0 ] || command=(./scripts/test.sh)

[ "$(id -u)" = 0 ] || { echo "test-in-debian13: needs root (debootstrap, chroot, mounts)" >&2; exit 1; }
if ! command -v debootstrap >/dev/null || ! command -v zstd >/dev/null; then
  apt-get update -qq  # a clean machine may hold no package lists yet
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends debootstrap zstd >/dev/null
fi

dir=${KESTRANO_DEBIAN13_DIR:-$(mktemp -d /var/tmp/kestrano-debian13.XXXXXX)}
mkdir -p "$dir" "$cache/debs" "$cache/apt"
dir=$(cd "$dir" && pwd)

# Every mount below the folder, deepest first.
mounts_below() { awk -v d="$dir" '$2 == d || index($2, d "/") == 1 {print $2}' /proc/self/mounts | sort -r; }

cleanup() {
  local status=$? p pids=()
  # Only processes whose root is this system: what the run started in it.
  for p in /proc/[0-9]*; do
    [ "$(readlink "$p/root" 2>/dev/null)" = "$dir" ] && pids+=("${p#/proc/}")
  done
  if [ ${#pids[@]} -gt 0 ]; then
    kill -KILL "${pids[@]}" 2>/dev/null || true
    sleep 1
  fi
  local m
  for m in $(mounts_below); do umount "$m" 2>/dev/null || umount -l "$m"; done
  if [ -n "$keep" ]; then
    echo "test-in-debian13: kept $dir (unmounted)"
  elif [ -z "$(mounts_below)" ]; then
    # One file system only: never reach through a mount that outlived the
    # unmounting above into the host's own folders.
    rm -rf --one-file-system "$dir"
  else
    echo "test-in-debian13: $dir still has mounts; left in place" >&2
  fi
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

# The system with every package the tests need is kept as an image, made
# afresh when the package list changes and at least once a week (so the
# release's updates come in); without one, debootstrap makes the system and
# the image is taken once the packages are in.
image=$cache/trixie-$(sha256sum "$root/scripts/install-deps.sh" | cut -c1-12)-$(date +%G-week%V).tar.zst
fresh=""
if [ ! -x "$dir/usr/bin/apt-get" ]; then
  if [ -f "$image" ]; then
    echo "test-in-debian13: unpacking $image into $dir"
    tar -I zstd -xpf "$image" -C "$dir"
  else
    echo "test-in-debian13: debootstrap trixie into $dir"
    debootstrap --variant=minbase --cache-dir="$cache/debs" trixie "$dir" "$mirror" >"$dir.debootstrap.log" 2>&1 ||
      { tail -n 20 "$dir.debootstrap.log" >&2; rm -f "$dir.debootstrap.log"; exit 1; }
    rm -f "$dir.debootstrap.log"
    fresh=1
  fi
fi
cat >"$dir/etc/apt/sources.list" <<EOF
deb $mirror trixie main
deb $mirror trixie-updates main
deb http://deb.debian.org/debian-security trixie-security main
EOF
# Packages install without starting services: the tests start their own.
printf '#!/bin/sh\nexit 101\n' >"$dir/usr/sbin/policy-rc.d"
chmod 755 "$dir/usr/sbin/policy-rc.d"
cp /etc/resolv.conf "$dir/etc/resolv.conf"
[ -s "$dir/etc/machine-id" ] || tr -d - </proc/sys/kernel/random/uuid >"$dir/etc/machine-id"

# A system's root is open to all (mktemp made the folder 0700): the
# tests' unprivileged desktop user has to reach every path in it.
chmod 755 "$dir"
mount -t proc proc "$dir/proc"
mount -t sysfs sysfs "$dir/sys"
mount --bind /dev "$dir/dev"
mount -t devpts -o newinstance,ptmxmode=0666 devpts "$dir/dev/pts"
mount -t tmpfs -o mode=1777 tmpfs "$dir/dev/shm"
mount -t tmpfs -o mode=755 tmpfs "$dir/run"
mkdir -p "$dir/var/cache/apt/archives"
mount --bind "$cache/apt" "$dir/var/cache/apt/archives"

# The working tree as git sees it (committed and not). Build folders of an
# earlier run in a kept system stay, so that run's build goes on from there.
mkdir -p "$dir/src"
find "$dir/src" -mindepth 1 -maxdepth 1 ! -name 'build*' -exec rm -rf {} +
(cd "$root" && git ls-files -co --exclude-standard -z | tar -c --null -T - -f -) | tar -x -C "$dir/src"

if [ -n "$fresh" ]; then
  chroot "$dir" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
    /src/scripts/install-deps.sh
  echo "test-in-debian13: keeping the system as $image"
  rm -f "$cache"/trixie-*.tar.zst
  tar -I 'zstd -T0' -C "$dir" --exclude=./proc/* --exclude=./sys/* --exclude=./dev/* --exclude=./run/* \
    --exclude=./src --exclude=./var/cache/apt/archives/* -cpf "$image.part" . && mv "$image.part" "$image"
fi

skip=1
[ -n "$full" ] && skip=""
echo "test-in-debian13: running ${command[*]} in Debian $(cat "$dir/etc/debian_version")"
chroot "$dir" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
  HOME=/root LANG=C.UTF-8 TERM=dumb KESTRANO_SKIP_FUZZ_AND_SANITIZERS=$skip \
  /bin/bash -c 'cd /src && exec "$@"' bash "${command[@]}"
