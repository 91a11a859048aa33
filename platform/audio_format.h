#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kestrano {

// The fields of a linear-PCM stream description, as media samples carry them.
struct AudioStreamDescription {
  static constexpr std::uint32_t kFormatLinearPcm = 0x6C70636D;  // 'lpcm'
  static constexpr std::uint32_t kFlagIsFloat = 1u << 0;
  static constexpr std::uint32_t kFlagIsPacked = 1u << 3;
  static constexpr std::uint32_t kFlagIsNonInterleaved = 1u << 5;

  double sampleRate = 0;
  std::uint32_t formatID = 0;
  std::uint32_t formatFlags = 0;
  std::uint32_t bytesPerPacket = 0;
  std::uint32_t framesPerPacket = 0;
  std::uint32_t bytesPerFrame = 0;
  std::uint32_t channelsPerFrame = 0;
  std::uint32_t bitsPerChannel = 0;

  friend bool operator==(const AudioStreamDescription&, const AudioStreamDescription&) = default;
};

// The audio layouts any part of the recorder accepts: a whole number of
// frames per second up to 768 kHz and 1 to 32 channels, the limits of the
// PulseAudio protocol (PA_RATE_MAX, PA_CHANNELS_MAX), which no device we
// record from exceeds. Every check of a rate and channel count uses this.
inline constexpr std::int64_t kMaxAudioSampleRate = 768000;
inline constexpr std::int64_t kMaxAudioChannels = 32;
inline constexpr bool isSupportedAudioLayout(double sampleRate, std::int64_t channelCount) {
  return sampleRate >= 1 && sampleRate <= kMaxAudioSampleRate &&
         sampleRate == static_cast<double>(static_cast<std::int64_t>(sampleRate)) &&
         channelCount >= 1 && channelCount <= kMaxAudioChannels;
}

// A PCM audio format. Samples are always 32-bit float; a format is either
// interleaved (one buffer, frames of channelCount samples) or not (one buffer
// per channel).
class AudioFormat {
 public:
  AudioFormat() = default;
  AudioFormat(double sampleRate, std::uint32_t channelCount, bool interleaved)
      : sampleRate_(sampleRate), channelCount_(channelCount), interleaved_(interleaved) {}

  // The standard layout: 32-bit float, one buffer per channel.
  static AudioFormat standard(double sampleRate, std::uint32_t channelCount) {
    return AudioFormat(sampleRate, channelCount, false);
  }

  double sampleRate() const { return sampleRate_; }
  std::uint32_t channelCount() const { return channelCount_; }
  bool isInterleaved() const { return interleaved_; }
  AudioStreamDescription streamDescription() const;

  friend bool operator==(const AudioFormat&, const AudioFormat&) = default;

 private:
  double sampleRate_ = 0;
  std::uint32_t channelCount_ = 0;
  bool interleaved_ = false;
};

// A buffer of PCM audio in one format that owns its samples: frameCapacity
// frames of room, of which the first frameLength hold audio.
class PcmBuffer {
 public:
  PcmBuffer(const AudioFormat& format, std::uint32_t frameCapacity);

  const AudioFormat& format() const { return format_; }
  std::uint32_t frameCapacity() const { return frameCapacity_; }
  std::uint32_t frameLength() const { return frameLength_; }
  // Clamped to the capacity.
  void setFrameLength(std::uint32_t frames);

  // The buffer list: one buffer per channel, or a single interleaved one.
  std::size_t bufferCount() const { return buffers_.size(); }
  float* data(std::size_t buffer) { return buffers_.at(buffer).data(); }
  const float* data(std::size_t buffer) const { return buffers_.at(buffer).data(); }

 private:
  AudioFormat format_;
  std::uint32_t frameCapacity_;
  std::uint32_t frameLength_ = 0;
  std::vector<std::vector<float>> buffers_;
};

}  // namespace kestrano
