#pragma once

#include <memory>

#include "platform/audio_engine.h"
#include "platform/host_clock.h"
#include "platform/linux/pulse/pulse_default_device_capture.h"

namespace kestrano {

// Microphone engines on a PulseAudio-protocol server, telling `notice` when
// the microphone or the server is missing, and converters on libswresample.
std::shared_ptr<AudioFactory> makePulseAudioFactory(
    std::shared_ptr<HostClock> clock, PulseDefaultDeviceCapture::NoticeHandler notice = nullptr);

}  // namespace kestrano
