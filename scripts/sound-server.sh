# shellcheck shell=bash
# Sourced by the private desktop scripts: what their sound servers share (the
# session bus configuration, PipeWire with WirePlumber and pipewire-pulse, and
# the test devices on any PulseAudio-protocol server). It uses spawn and
# wait_for (desktop-pids.sh) and the caller's as_user CMD... (run in the
# session's environment).

# A session bus on RUN/bus with no service activation: the only services on
# it are the ones the desktop started, so a missing one stays missing.
session_bus_config() {
  cat <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=$1/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
CONF
}

# A microphone NAME, which plays back whatever is played to the sink
# NAME"sink", at RATE Hz with CHANNELS channels. pipewire-pulse takes a
# remapped source's rate from audio.rate only.
add_microphone() {
  local name=$1 rate=$2 channels=$3
  as_user pactl load-module module-null-sink sink_name="${name}sink" rate="$rate" \
    channels="$channels" "sink_properties=device.description=${name}Feed" >/dev/null
  as_user pactl load-module module-remap-source source_name="$name" master="${name}sink.monitor" \
    rate="$rate" channels="$channels" \
    "source_properties='device.description=$name audio.rate=$rate'" >/dev/null
}

# The test devices on a running PulseAudio-protocol server: the default sink
# "speaker", and unless MIC_RATE is empty the default source "mic", fed by
# the sink "micsink", at MIC_RATE Hz with MIC_CHANNELS channels.
load_sound_devices() {
  local rate=$1 channels=$2
  as_user pactl load-module module-null-sink sink_name=speaker rate=48000 channels=2 \
    sink_properties=device.description=Speaker >/dev/null
  as_user pactl set-default-sink speaker
  if [ -n "$rate" ]; then
    add_microphone mic "$rate" "$channels"
    as_user pactl set-default-source mic
  fi
}

# PipeWire and WirePlumber (which needs the session bus), in the runtime
# folder as_user gives.
start_pipewire() {
  spawn pipewire pipewire
  # Connected to, not only its socket there: a killed PipeWire leaves the
  # socket behind, and WirePlumber started before the new one listens fails.
  wait_for PipeWire as_user pw-cli info 0
  spawn wireplumber wireplumber
  # WirePlumber announces itself as a client once it is managing the graph.
  wait_for WirePlumber as_user sh -c "pw-cli ls Client | grep -q WirePlumber"
}

# pipewire-pulse on a running PipeWire, serving RUN/pulse/native. It makes
# RUN/pulse with a stat and then a mkdir that fails when the folder appeared
# in between, as it does when a client polling for the server (pactl) makes
# it first; so the folder is made before either runs.
spawn_pipewire_pulse() {
  as_user mkdir -p -m 0700 "$1/pulse"
  spawn pipewire-pulse pipewire-pulse
}

# The same with the test devices (MIC_RATE and MIC_CHANNELS as for
# load_sound_devices).
start_pipewire_pulse() {
  spawn_pipewire_pulse "$1"
  wait_for pipewire-pulse as_user pactl info
  load_sound_devices "$2" "$3"
}
