#pragma once

#include "platform/platform.h"

namespace kestrano {

// The platform of a Linux desktop: X11 screen capture with PulseAudio system
// audio, the PulseAudio microphone and the FFmpeg writer, on one clock.
Platform makeLinuxPlatform();

}  // namespace kestrano
