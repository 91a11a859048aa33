#pragma once

#include <memory>

#include "platform/host_clock.h"
#include "platform/linux/capture/system_audio_feed.h"
#include "platform/linux/wayland/portal_session.h"
#include "platform/screen_capture.h"

namespace kestrano::wayland {

// A capture stream (see CaptureStream) of the monitor a portal session hands
// over. Its start also fails when there is no portal session or PipeWire
// refuses the stream; its capture thread watches the session, and capture
// fails by itself when the session closes or the PipeWire stream is lost.
// `session`: the portal session the content was listed from; null when there
// was none. The stream closes it when it goes.
std::shared_ptr<Stream> makeWaylandStream(std::unique_ptr<PortalSession> session,
                                          const StreamConfiguration& configuration,
                                          std::weak_ptr<StreamDelegate> delegate,
                                          std::shared_ptr<HostClock> clock,
                                          SystemAudioSourceFactory makeSystemAudioSource);

}  // namespace kestrano::wayland
