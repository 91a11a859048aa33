#pragma once

#include <functional>
#include <memory>

#include "platform/host_clock.h"
#include "platform/linux/system_audio_source.h"
#include "platform/screen_capture.h"

namespace kestrano {

// The screen-capture service of a Wayland desktop: listing the displays
// opens an xdg-desktop-portal ScreenCast session (the user may be asked to
// pick a monitor) and lists exactly the monitor it streams; the next stream
// made captures that monitor over PipeWire, stamped on `clock`. System audio
// as on X11, from `makeSystemAudioSource` (null: none).
std::shared_ptr<ScreenCaptureService> makeWaylandCaptureService(
    std::shared_ptr<HostClock> clock,
    std::function<std::unique_ptr<SystemAudioSource>()> makeSystemAudioSource);

}  // namespace kestrano
