#pragma once

#include <memory>

#include "platform/audio_engine.h"
#include "platform/host_clock.h"

namespace kestrano {

// Microphone engines on PulseAudio and converters on libswresample.
std::shared_ptr<AudioFactory> makePulseAudioFactory(std::shared_ptr<HostClock> clock);

}  // namespace kestrano
