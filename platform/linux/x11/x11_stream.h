#pragma once

#include <memory>

#include "platform/host_clock.h"
#include "platform/linux/capture/system_audio_feed.h"
#include "platform/screen_capture.h"

namespace kestrano::x11 {

// A capture stream (see CaptureStream) of one X11 monitor. Its start also
// fails when the X server cannot be reached; its stop cuts the connection of
// a capture thread stuck on a server that no longer answers.
std::shared_ptr<Stream> makeX11Stream(const ContentFilter& filter,
                                      const StreamConfiguration& configuration,
                                      std::weak_ptr<StreamDelegate> delegate,
                                      std::shared_ptr<HostClock> clock,
                                      SystemAudioSourceFactory makeSystemAudioSource);

}  // namespace kestrano::x11
