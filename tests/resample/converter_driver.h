#pragma once

#include <memory>
#include <optional>
#include <utility>

#include "platform/audio_engine.h"
#include "recorder/capture_settings.h"

namespace kestrano::testing {

// An input block that hands `buffer` over once, then answers `after` with
// nothing (what the microphone path's block does with noDataNow).
inline ConverterInputBlock giveOnce(const PcmBuffer& buffer,
                                    ConverterInputStatus after = ConverterInputStatus::noDataNow) {
  auto given = std::make_shared<bool>(false);
  return [&buffer, given, after](std::uint32_t, ConverterInputStatus& status) -> const PcmBuffer* {
    status = std::exchange(*given, true) ? after : ConverterInputStatus::haveData;
    return status == ConverterInputStatus::haveData ? &buffer : nullptr;
  };
}

// Converts one tap buffer to the microphone track's format with the room the microphone path
// gives it: the capacity rule plus the converter headroom.
inline PcmBuffer convertLikeMicrophonePath(AudioConverter& converter, const PcmBuffer& input,
                                           std::optional<Error>& error) {
  auto capacity = microphoneCapacity(input.frameLength(), kMicrophoneTargetSampleRate,
                                     input.format().sampleRate());
  PcmBuffer out(microphoneTargetFormat(), capacity.value_or(0) + kMicrophoneConverterHeadroom);
  converter.convert(out, error, giveOnce(input));
  return out;
}

}  // namespace kestrano::testing
