#include "platform/linux/capture/configuration_check.h"

#include <string>

#include "platform/audio_format.h"
#include "platform/linux/capture/capture_errors.h"

namespace kestrano {
namespace {

// Frame sizes beyond what any H.264 level takes are a configuration mistake.
constexpr std::int64_t kMaxFrameSide = 16384;

Error invalid(const std::string& text) {
  return captureError(CaptureErrorCode::invalidConfiguration, text);
}

}  // namespace

std::optional<Error> checkConfiguration(const StreamConfiguration& c) {
  if (!c.minimumFrameInterval.valid || c.minimumFrameInterval.value <= 0) {
    return invalid("the minimum frame interval must be a positive time");
  }
  if (c.queueDepth < 1) {
    return invalid("the queue depth must be at least 1, not " + std::to_string(c.queueDepth));
  }
  if (c.capturesAudio &&
      !isSupportedAudioLayout(static_cast<double>(c.sampleRate), c.channelCount)) {
    return invalid("system audio of " + std::to_string(c.sampleRate) + " Hz and " +
                   std::to_string(c.channelCount) + " channels cannot be captured");
  }
  if (c.width <= 0 || c.height <= 0 || c.width > kMaxFrameSide || c.height > kMaxFrameSide) {
    return invalid("the frame size " + std::to_string(c.width) + "x" + std::to_string(c.height) +
                   " is out of range");
  }
  return std::nullopt;
}

}  // namespace kestrano
