#pragma once

#include "platform/platform.h"

namespace kestrano {

// The platform of a Linux desktop: screen capture through xdg-desktop-portal
// and PipeWire on a Wayland session, else through X11, with PulseAudio system
// audio, the PulseAudio microphone and the FFmpeg writer, on one clock.
Platform makeLinuxPlatform();

}  // namespace kestrano
