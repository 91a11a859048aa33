#pragma once

#include <memory>

#include "platform/audio_engine.h"
#include "platform/audio_format.h"

namespace kestrano {

// A converter between two 32-bit float formats (any rate, channel count and
// layout) on libswresample. Nothing when the pair cannot be converted: either
// format outside isSupportedAudioLayout, or libswresample refuses it.
std::unique_ptr<AudioConverter> makeSwrAudioConverter(const AudioFormat& from,
                                                      const AudioFormat& to);

}  // namespace kestrano
