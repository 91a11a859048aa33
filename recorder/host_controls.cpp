// What a host asks of a running recording besides start and stop: its status,
// pauses and chapter marks.
#include <algorithm>
#include <utility>

#include "recorder/file_size.h"
#include "recorder/recorder.h"
#include "recorder/recorder_errors.h"

namespace kestrano {

bool Recorder::recording() const {
  // A failed writer still counts: the host stops it as any other.
  const WriterStatus status = assetWriter_ ? assetWriter_->status() : WriterStatus::unknown;
  return status == WriterStatus::writing || status == WriterStatus::failed;
}

RecordingStatus Recorder::status() {
  RecordingStatus status;
  if (!recording()) {
    return status;
  }
  const std::int64_t now = platform_.hostClock->now().nanoseconds();
  std::int64_t recordedNow = 0;
  {
    MutexLock lock(controlsMutex_);
    status.paused = timeline_.paused();
    recordedNow = timeline_.recordedTime(now);
  }
  status.recording = true;
  if (sessionStarted_.load(std::memory_order_acquire)) {
    const std::int64_t start = sessionStartNs_.load(std::memory_order_relaxed);
    status.mediaMilliseconds = std::max<std::int64_t>(0, recordedNow - start) / 1'000'000;
  }
  status.bytes = fileSize(*platform_.fileSystem, assetWriter_->outputURL());
  status.systemAudioDbfs = systemAudioLevel_.peakDbfs(now);
  status.microphoneDbfs = microphoneLevel_.peakDbfs(now);
  return status;
}

std::optional<Error> Recorder::pause() {
  if (!recording()) {
    return notRecordingError();
  }
  MutexLock lock(controlsMutex_);
  if (timeline_.paused()) {
    return alreadyPausedError();
  }
  timeline_.pause(platform_.hostClock->now().nanoseconds());
  return std::nullopt;
}

std::optional<Error> Recorder::resume() {
  if (!recording()) {
    return notRecordingError();
  }
  MutexLock lock(controlsMutex_);
  if (!timeline_.paused()) {
    return notPausedError();
  }
  timeline_.resume(platform_.hostClock->now().nanoseconds());
  return std::nullopt;
}

std::optional<Error> Recorder::mark(const std::string& title) {
  if (!recording()) {
    return notRecordingError();
  }
  // On the file's clock, as every sample that reaches the writer is.
  std::int64_t at = 0;
  {
    MutexLock lock(controlsMutex_);
    at = timeline_.recordedTime(platform_.hostClock->now().nanoseconds());
  }
  auto sample = MediaSample::makeText(title, MediaTime::make(at, kNanosecondTimescale));
  if (!chapterInput_ || !chapterInput_->isReadyForMoreMediaData() ||
      !chapterInput_->appendSampleBuffer(std::move(sample))) {
    return markNotKeptError();
  }
  return std::nullopt;
}

std::shared_ptr<MediaSample> Recorder::cutPauses(std::shared_ptr<MediaSample> sample, bool instant,
                                                 std::int64_t& shift) {
  const MediaTime time = sample->presentationTimeStamp();
  const auto* pcm = std::get_if<PcmBuffer>(&sample->data());
  const double rate = pcm != nullptr ? pcm->format().sampleRate() : 0;
  const std::int64_t begin = time.nanoseconds();
  const std::int64_t frames = pcm != nullptr ? pcm->frameLength() : 0;
  const std::int64_t end =
      instant || rate <= 0
          ? begin + 1
          : begin + static_cast<std::int64_t>(static_cast<double>(frames) * 1e9 / rate);
  std::optional<PauseTimeline::Span> kept;
  {
    MutexLock lock(controlsMutex_);
    kept = timeline_.keptPart(begin, end);
    shift = kept ? timeline_.shiftAt(kept->begin) : 0;
  }
  if (!kept) {
    return nullptr;
  }
  if (kept->begin == begin && kept->end == end) {
    if (shift == 0) {
      return sample;  // never paused before it: untouched
    }
    SampleTimingInfo timing{sample->duration(),
                            MediaTime::make(begin - shift, kNanosecondTimescale),
                            MediaTime::invalid()};
    return sample->withTiming(timing, sample->sampleAttachments());
  }
  // Sound that a pause begins or ends inside: only its frames outside it.
  const auto frameAt = [&](std::int64_t t) {
    return std::clamp<std::int64_t>(
        static_cast<std::int64_t>(static_cast<double>(t - begin) * rate / 1e9 + 0.5), 0, frames);
  };
  const std::int64_t first = frameAt(kept->begin);
  const std::int64_t last = kept->end == end ? frames : frameAt(kept->end);
  if (last <= first) {
    return nullptr;
  }
  const AudioFormat& format = pcm->format();
  const std::size_t channels = format.isInterleaved() ? format.channelCount() : 1;
  PcmBuffer part(format, static_cast<std::uint32_t>(last - first));
  part.setFrameLength(static_cast<std::uint32_t>(last - first));
  for (std::size_t b = 0; b < pcm->bufferCount(); ++b) {
    std::copy(pcm->data(b) + first * channels, pcm->data(b) + last * channels, part.data(b));
  }
  const std::int64_t partBegin =
      begin + static_cast<std::int64_t>(static_cast<double>(first) * 1e9 / rate + 0.5);
  return MediaSample::makeAudio(
      std::move(part),
      SampleTimingInfo{sample->duration(), MediaTime::make(partBegin - shift, kNanosecondTimescale),
                       MediaTime::invalid()});
}

}  // namespace kestrano
