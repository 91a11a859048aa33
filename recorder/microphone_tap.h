#pragma once

#include <memory>

#include "platform/audio_engine.h"
#include "platform/audio_format.h"
#include "recorder/recorder.h"

namespace kestrano {

// What the microphone tap block captures, fixed for the block's life. The
// recorder is held weakly: between calls the tap must not keep it alive.
struct Recorder::MicrophoneTap {
  std::weak_ptr<Recorder> recorder;
  std::shared_ptr<AudioConverter> converter;  // null when the pair has no converter
  AudioFormat targetFormat;
  AudioFormat inputFormat;
};

}  // namespace kestrano
