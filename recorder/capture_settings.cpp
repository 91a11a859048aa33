#include "recorder/capture_settings.h"

#include <cmath>

namespace kestrano {
namespace {

// At most 15 frames per second: enough for screen content, cheap to encode.
constexpr MediaTime kMinimumFrameInterval = MediaTime::make(1, 15);
// Frames the stream may hold while the handler is busy.
constexpr std::int64_t kStreamQueueDepth = 5;
// System audio at the same rate and channels as the AAC inputs.
constexpr std::int64_t kAudioSampleRate = 48000;
constexpr std::int64_t kAudioChannels = 2;
// Average video bit rate, bits per second.
constexpr std::int64_t kVideoAverageBitRate = 500000;
// Longest run of frames without a key frame (2 s at 15 fps).
constexpr std::int64_t kVideoMaxKeyFrameInterval = 30;
// AAC bit rate per audio track, bits per second.
constexpr std::int64_t kAudioEncoderBitRate = 96000;

// 2^63 and 2^32 as doubles: the first values that no longer fit.
constexpr double kInt64Limit = 9223372036854775808.0;
constexpr double kUint32Limit = 4294967296.0;

}  // namespace

std::optional<std::int64_t> frameHeight(std::int64_t displayWidth, std::int64_t displayHeight) {
  if (displayWidth <= 0 || displayHeight <= 0) {
    return std::nullopt;
  }
  double quotient =
      static_cast<double>(displayHeight) * static_cast<double>(kFrameWidth) / displayWidth;
  if (!std::isfinite(quotient) || quotient >= kInt64Limit) {
    return std::nullopt;
  }
  return static_cast<std::int64_t>(quotient);
}

StreamConfiguration makeStreamConfiguration(std::int64_t height) {
  StreamConfiguration c;
  c.width = kFrameWidth;
  c.height = height;
  c.minimumFrameInterval = kMinimumFrameInterval;
  c.queueDepth = kStreamQueueDepth;
  c.showsCursor = true;
  c.capturesAudio = true;
  c.sampleRate = kAudioSampleRate;
  c.channelCount = kAudioChannels;
  c.excludesCurrentProcessAudio = true;
  return c;
}

VideoOutputSettings makeVideoOutputSettings(std::int64_t height) {
  VideoOutputSettings s;
  s.codec = VideoCodec::h264;
  s.width = kFrameWidth;
  s.height = height;
  s.compression.averageBitRate = kVideoAverageBitRate;
  s.compression.profileLevel = H264ProfileLevel::highAutoLevel;
  s.compression.maxKeyFrameInterval = kVideoMaxKeyFrameInterval;
  s.expectedFrameInterval = kMinimumFrameInterval;
  return s;
}

AudioOutputSettings makeAudioOutputSettings() {
  AudioOutputSettings s;
  s.formatID = kAudioFormatMpeg4Aac;
  s.sampleRate = kAudioSampleRate;
  s.numberOfChannels = kAudioChannels;
  s.encoderBitRate = kAudioEncoderBitRate;
  return s;
}

AudioFormat microphoneTargetFormat() {
  return AudioFormat::standard(kMicrophoneTargetSampleRate, kMicrophoneTargetChannels);
}

std::optional<std::uint32_t> microphoneCapacity(std::uint32_t frameLength, double targetRate,
                                                double inputRate) {
  if (inputRate == 0) {
    return std::nullopt;
  }
  double quotient = static_cast<double>(frameLength) * targetRate / inputRate;
  // Negative rates give a negative quotient; it cannot be a frame count either.
  if (!std::isfinite(quotient) || quotient >= kUint32Limit || quotient <= -1.0) {
    return std::nullopt;
  }
  auto frames = static_cast<std::uint32_t>(quotient < 0 ? 0.0 : quotient);
  return frames < kMinimumMicrophoneCapacity ? kMinimumMicrophoneCapacity : frames;
}

}  // namespace kestrano
