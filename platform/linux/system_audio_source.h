#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "platform/audio_format.h"
#include "platform/error.h"
#include "platform/media_time.h"

namespace kestrano {

// The system's audio output as the capture stream takes it: the default
// output device's monitor, 32-bit float at the asked rate and channel count.
class SystemAudioSource {
 public:
  // `presentationTime` is the host-clock time at which the buffer's first
  // frame was captured.
  using BufferHandler = std::function<void(PcmBuffer buffer, MediaTime presentationTime)>;
  // Called at most once, when capture breaks by itself for good (a source
  // that outlives its server's restarts never calls it).
  using FailureHandler = std::function<void(Error error)>;

  virtual ~SystemAudioSource() = default;

  // Handlers run on the source's own thread.
  virtual std::optional<Error> start(double sampleRate, std::uint32_t channelCount,
                                     BufferHandler onBuffer, FailureHandler onFailure) = 0;
  // No handler runs after this returns. Safe at any time, also twice.
  virtual void stop() = 0;
};

}  // namespace kestrano
