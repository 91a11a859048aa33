#pragma once

#include <functional>
#include <memory>

#include "platform/host_clock.h"
#include "platform/linux/system_audio_source.h"
#include "platform/screen_capture.h"

namespace kestrano {

// The screen-capture service of an X11 desktop: the displays are the X
// server's RandR monitors; streams capture one of them through xcb, stamped
// on `clock`. System audio comes from a source made by
// `makeSystemAudioSource` for each stream that captures audio; a null
// factory, or a factory that returns null, means no system audio.
std::shared_ptr<ScreenCaptureService> makeX11CaptureService(
    std::shared_ptr<HostClock> clock,
    std::function<std::unique_ptr<SystemAudioSource>()> makeSystemAudioSource);

}  // namespace kestrano
