#pragma once

#include <cstdint>
#include <optional>

#include "platform/audio_format.h"
#include "platform/media_writer.h"
#include "platform/screen_capture.h"

namespace kestrano {

// Every recording is made with these values; nothing configures them.

// Frames are scaled to this width whatever the display's own width.
inline constexpr std::int64_t kFrameWidth = 1280;

// The microphone tap: the input node's only bus, and buffers small enough to
// keep the microphone track close to the host clock (about 21 ms at 48 kHz).
inline constexpr int kMicrophoneTapBus = 0;
inline constexpr std::uint32_t kMicrophoneTapBufferFrames = 1024;

// Microphone audio is converted to the rate and channels the AAC inputs take.
inline constexpr double kMicrophoneTargetSampleRate = 48000.0;
inline constexpr std::uint32_t kMicrophoneTargetChannels = 2;

// Converted microphone buffers never get less room than one tap buffer.
inline constexpr std::uint32_t kMinimumMicrophoneCapacity = 1024;

// Room beyond the capacity rule. The rule truncates, but a resampler yields
// the fraction too (1114.56 frames per 1024 at 44.1 kHz): without this room
// its backlog, and with it the microphone's delay, would grow by about 24
// frames a second. 64 frames also covers the filter's start-up jitter.
inline constexpr std::uint32_t kMicrophoneConverterHeadroom = 64;

// The frame height for a display: height * 1280 / width in double precision,
// truncated toward zero. Nothing when the display has no size (width or
// height not positive) or the quotient does not fit a signed 64-bit integer.
std::optional<std::int64_t> frameHeight(std::int64_t displayWidth, std::int64_t displayHeight);

// The stream's settings for frames of kFrameWidth x `height`.
StreamConfiguration makeStreamConfiguration(std::int64_t height);

// The video input's settings: H.264 High (auto level), 500 kbit/s, a key
// frame at least every 30 frames, planned for the stream's frame interval.
VideoOutputSettings makeVideoOutputSettings(std::int64_t height);

// One map for both audio inputs: AAC, 48000 Hz, stereo, 96 kbit/s.
AudioOutputSettings makeAudioOutputSettings();

// The standard (float, non-interleaved) 48000 Hz stereo format.
AudioFormat microphoneTargetFormat();

// Output frames for converting `frameLength` input frames: frameLength *
// targetRate / inputRate truncated, at least kMinimumMicrophoneCapacity.
// Nothing (drop the buffer) when the input rate is 0 or the quotient is not
// a finite number below 2^32.
std::optional<std::uint32_t> microphoneCapacity(std::uint32_t frameLength, double targetRate,
                                                double inputRate);

}  // namespace kestrano
