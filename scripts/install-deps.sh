#!/usr/bin/env bash
# Installs the Debian packages that building, testing and the demo need.
# Idempotent: asks apt only for what dpkg does not already report installed.
set -euo pipefail

packages=(
  # build
  build-essential cmake ninja-build pkg-config clang-format
  libgtest-dev libgmock-dev libutf8proc-dev
  libavcodec-dev libavformat-dev libavutil-dev libswscale-dev libswresample-dev
  libxcb1-dev libxau-dev libxcb-shm0-dev libxcb-randr0-dev libxcb-xfixes0-dev libxcb-damage0-dev
  libpulse-dev
  libsystemd-dev libpipewire-0.3-dev
  # the Debian package (CPack computes its dependencies with dpkg-shlibdeps and file)
  dpkg-dev file
  # its manual page, rendered by the package test
  man-db
  # private headless desktop for tests and the demo (python3 makes its test tones)
  xvfb x11-xserver-utils pulseaudio pulseaudio-utils python3
  # private headless Wayland desktop (scripts/wayland-desktop.sh) and its test portal backend
  dbus-daemon dbus-bin pipewire pipewire-bin pipewire-pulse wireplumber mutter weston
  xdg-desktop-portal python3-dbus python3-gi util-linux passwd
  # reading recordings back
  ffmpeg
  # fuzzing the control loop (libFuzzer comes with clang's runtime libraries);
  # both are the release's default versions (Debian 12: 14, Debian 13: 19)
  clang libclang-rt-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages: ${missing[*]} (run as root to install them)" >&2
  exit 1
fi

export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y --no-install-recommends "${missing[@]}"
