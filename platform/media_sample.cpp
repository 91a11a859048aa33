#include "platform/media_sample.h"

#include <algorithm>
#include <utility>

namespace kestrano {

std::shared_ptr<MediaSample> MediaSample::makeVideo(std::optional<VideoFrame> frame,
                                                    SampleTimingInfo timing,
                                                    std::optional<AttachmentArray> attachments) {
  auto sample = std::make_shared<MediaSample>();
  sample->timing_ = timing;
  sample->numSamples_ = 1;
  sample->attachments_ = std::move(attachments);
  if (frame) {
    sample->format_ = VideoFormatDescription{frame->width(), frame->height(), frame->pixelFormat()};
    sample->setData(std::move(*frame));
  }
  sample->dataReady_ = true;
  return sample;
}

std::shared_ptr<MediaSample> MediaSample::makeAudio(PcmBuffer audio, SampleTimingInfo timing) {
  auto sample = std::make_shared<MediaSample>();
  sample->timing_ = timing;
  sample->numSamples_ = audio.frameLength();
  sample->format_ = AudioFormatDescription{audio.format().streamDescription()};
  sample->setData(std::move(audio));
  sample->dataReady_ = true;
  return sample;
}

std::shared_ptr<MediaSample> MediaSample::makeText(std::string text, MediaTime time) {
  auto sample = std::make_shared<MediaSample>();
  sample->timing_ = SampleTimingInfo{MediaTime::invalid(), time, time};
  sample->numSamples_ = 1;
  sample->setData(std::move(text));
  sample->dataReady_ = true;
  return sample;
}

std::shared_ptr<MediaSample> MediaSample::withTiming(
    SampleTimingInfo timing, std::optional<AttachmentArray> attachments) const {
  auto copy = std::make_shared<MediaSample>(*this);
  copy->timing_ = timing;
  copy->attachments_ = std::move(attachments);
  return copy;
}

std::optional<AudioFormatDescription> audioFormatDescriptionCreate(
    const AudioStreamDescription& description, int* status) {
  bool usable = description.formatID == AudioStreamDescription::kFormatLinearPcm &&
                description.sampleRate > 0 && description.channelsPerFrame > 0;
  if (status != nullptr) {
    *status = usable ? kSampleNoErr : kSampleParamErr;
  }
  if (!usable) {
    return std::nullopt;
  }
  return AudioFormatDescription{description};
}

int sampleBufferCreate(const FormatDescription& format, std::int64_t numSamples,
                       const SampleTimingInfo& timing, std::shared_ptr<MediaSample>* out) {
  if (out == nullptr || numSamples < 0) {
    return kSampleParamErr;
  }
  auto sample = std::make_shared<MediaSample>();
  sample->setFormatDescription(format);
  sample->setNumSamples(numSamples);
  sample->setTiming(timing);
  sample->setDataReady(false);
  *out = std::move(sample);
  return kSampleNoErr;
}

int setDataBufferFromAudioBufferList(MediaSample& sample, const PcmBuffer& audio) {
  PcmBuffer copy(audio.format(), audio.frameLength());
  copy.setFrameLength(audio.frameLength());
  std::size_t perBuffer =
      audio.format().isInterleaved()
          ? static_cast<std::size_t>(audio.frameLength()) * audio.format().channelCount()
          : audio.frameLength();
  for (std::size_t b = 0; b < audio.bufferCount(); ++b) {
    std::copy_n(audio.data(b), perBuffer, copy.data(b));
  }
  sample.setData(std::move(copy));
  sample.setDataReady(true);
  return kSampleNoErr;
}

}  // namespace kestrano
