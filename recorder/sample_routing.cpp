// The capture stream's callbacks: routing screen frames and system audio to
// the writer, and the one diagnostic line for a stream that stopped itself.
#include <string>
#include <utility>
#include <variant>

#include "recorder/recorder.h"

namespace kestrano {
namespace {

// A screen frame is dropped only when its first attachment dictionary holds
// an integer status other than complete; any other shape lets it through.
bool isIncompleteFrame(const MediaSample& sample) {
  const std::optional<AttachmentArray>& attachments = sample.sampleAttachments();
  if (!attachments || attachments->empty() || !attachments->front()) {
    return false;
  }
  const PropertyDictionary& first = *attachments->front();
  auto entry = first.find(kFrameInfoStatusKey);
  if (entry == first.end()) {
    return false;
  }
  std::optional<std::int64_t> status = readInt64(entry->second);
  return status && *status != static_cast<std::int64_t>(FrameStatus::complete);
}

// The same picture, asking the encoder for a key frame.
std::shared_ptr<MediaSample> withKeyFrameRequest(const MediaSample& sample) {
  AttachmentArray attachments = sample.sampleAttachments().value_or(AttachmentArray{});
  if (attachments.empty()) {
    attachments.emplace_back();
  }
  if (!attachments.front()) {
    attachments.front() = PropertyDictionary{};
  }
  (*attachments.front())[kForceKeyFrameKey] = PropertyValue{std::int64_t{1}};
  return sample.withTiming(
      SampleTimingInfo{sample.duration(), sample.presentationTimeStamp(), sample.decodeTimeStamp()},
      std::move(attachments));
}

}  // namespace

void Recorder::streamDidOutputSampleBuffer(Stream&, std::shared_ptr<MediaSample> sample,
                                           StreamOutputType type) {
  if (!sample || !sample->dataIsReady()) {
    return;
  }
  // The fields were stored before the stream existed and do not change while
  // it delivers.
  const std::shared_ptr<AssetWriter>& writer = assetWriter_;
  if (!writer || writer->status() != WriterStatus::writing) {
    return;
  }
  // The live level, also while paused: a host warns of a silent source.
  if (const auto* pcm = std::get_if<PcmBuffer>(&sample->data());
      pcm != nullptr && type == StreamOutputType::audio) {
    systemAudioLevel_.add(*pcm, sample->presentationTimeStamp().nanoseconds());
  }
  std::int64_t shift = 0;
  sample = cutPauses(std::move(sample), type != StreamOutputType::audio, shift);
  if (!sample) {
    return;  // paused then
  }
  const MediaTime time = sample->presentationTimeStamp();

  // The first sample that gets this far starts the session, whatever its
  // type and even if it is dropped below. Only this serial queue writes the
  // flag, so load-then-store is enough; the release store comes after the
  // session has started, so the microphone path never sees it early.
  if (!sessionStarted_.load(std::memory_order_relaxed)) {
    writer->startSessionAtSourceTime(time);
    sessionStartNs_.store(time.nanoseconds(), std::memory_order_relaxed);
    sessionStarted_.store(true, std::memory_order_release);
  }

  AssetWriterInput* destination = nullptr;
  switch (type) {
    case StreamOutputType::audio:
      destination = systemAudioInput_.get();
      break;
    case StreamOutputType::screen:
      if (isIncompleteFrame(*sample)) {
        return;
      }
      if (shift != lastPictureShift_) {
        // The first picture after a resume: what it follows is no longer
        // on the screen. Asked again of each picture until one is taken.
        sample = withKeyFrameRequest(*sample);
      }
      destination = videoInput_.get();
      break;
    default:
      return;  // no other type is registered
  }
  if (destination == nullptr) {
    return;
  }
  // Never wait on this queue: an input that is not ready, or refuses the
  // sample, loses it.
  if (!destination->isReadyForMoreMediaData()) {
    return;
  }
  if (destination->appendSampleBuffer(std::move(sample)) && type == StreamOutputType::screen) {
    lastPictureShift_ = shift;
  }
}

void Recorder::streamDidStopWithError(Stream&, const Error& error) {
  // One line on standard error, whatever the description holds.
  platform_.standardError->writeData("stream stop err: " + asOneLine(error.generalDescription()) +
                                     "\n");
}

}  // namespace kestrano
