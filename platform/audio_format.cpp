#include "platform/audio_format.h"

#include <algorithm>

namespace kestrano {

AudioStreamDescription AudioFormat::streamDescription() const {
  AudioStreamDescription d;
  d.sampleRate = sampleRate_;
  d.formatID = AudioStreamDescription::kFormatLinearPcm;
  d.formatFlags = AudioStreamDescription::kFlagIsFloat | AudioStreamDescription::kFlagIsPacked;
  if (!interleaved_) {
    d.formatFlags |= AudioStreamDescription::kFlagIsNonInterleaved;
  }
  d.bitsPerChannel = 32;
  d.channelsPerFrame = channelCount_;
  d.framesPerPacket = 1;
  // Non-interleaved descriptions count the bytes of one channel's buffer.
  d.bytesPerFrame = interleaved_ ? 4 * channelCount_ : 4;
  d.bytesPerPacket = d.bytesPerFrame;
  return d;
}

PcmBuffer::PcmBuffer(const AudioFormat& format, std::uint32_t frameCapacity)
    : format_(format), frameCapacity_(frameCapacity) {
  if (format.isInterleaved()) {
    buffers_.emplace_back(static_cast<std::size_t>(frameCapacity) * format.channelCount(), 0.0f);
  } else {
    buffers_.assign(format.channelCount(), std::vector<float>(frameCapacity, 0.0f));
  }
}

void PcmBuffer::setFrameLength(std::uint32_t frames) {
  frameLength_ = std::min(frames, frameCapacity_);
}

}  // namespace kestrano
