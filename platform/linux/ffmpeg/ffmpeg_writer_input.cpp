#include "platform/linux/ffmpeg/ffmpeg_writer_input.h"

#include <variant>

namespace kestrano::ffmpeg {
namespace {

// Video: a few frames. At 15 fps four frames cover ~0.27 s of encoder stall
// (another process taking the CPU) and cap the queue at ~5.5 MB of 720p
// pictures; x264 keeps its own copies for look-ahead, so more buys nothing.
constexpr std::int64_t kVideoQueueFrames = 4;
// Audio: 0.75 s of the track's sample frames. AAC encodes two orders of
// magnitude faster than real time, so only a stalled thread fills this; the
// bound keeps such a stall from growing memory while riding out most of a
// second.
constexpr double kAudioQueueSeconds = 0.75;

// Marks: a host's clicks, a handful at a time.
constexpr std::int64_t kChapterQueueMarks = 64;

std::int64_t queueCapacity(const OutputSettings& settings) {
  if (std::holds_alternative<ChapterListSettings>(settings)) {
    return kChapterQueueMarks;
  }
  if (const auto* audio = std::get_if<AudioOutputSettings>(&settings)) {
    return static_cast<std::int64_t>(kAudioQueueSeconds * static_cast<double>(audio->sampleRate));
  }
  return kVideoQueueFrames;
}

}  // namespace

FfmpegWriterInput::FfmpegWriterInput(MediaType mediaType, OutputSettings settings)
    : mediaType_(mediaType), settings_(std::move(settings)), queue_(queueCapacity(settings_)) {}

void FfmpegWriterInput::setExpectsMediaDataInRealTime(bool) {
  // Encoders are always set up for real time (no deep look-ahead).
}

bool FfmpegWriterInput::settingsMatchMediaType() const {
  switch (mediaType_) {
    case MediaType::video:
      return std::holds_alternative<VideoOutputSettings>(settings_);
    case MediaType::audio:
      return std::holds_alternative<AudioOutputSettings>(settings_);
    case MediaType::text:
      return std::holds_alternative<ChapterListSettings>(settings_);
  }
  return false;
}

bool FfmpegWriterInput::attach(std::shared_ptr<const WriterState> state) {
  MutexLock lock(mutex_);
  if (state_) {
    return false;
  }
  state_ = std::move(state);
  return true;
}

bool FfmpegWriterInput::isReadyForMoreMediaData() const {
  MutexLock lock(mutex_);
  return state_ && state_->isWriting() && !finished_.load() && queue_.hasRoom();
}

std::int64_t FfmpegWriterInput::unitsOf(const MediaSample& sample) const {
  if (!sample.dataIsReady()) {
    return 0;
  }
  if (mediaType_ == MediaType::video) {
    // Frames without pixels (idle frames) carry nothing to encode.
    return std::holds_alternative<VideoFrame>(sample.data()) ? 1 : 0;
  }
  if (mediaType_ == MediaType::text) {
    return std::holds_alternative<std::string>(sample.data()) ? 1 : 0;
  }
  const auto* audio = std::get_if<PcmBuffer>(&sample.data());
  const auto* wanted = std::get_if<AudioOutputSettings>(&settings_);
  if (audio == nullptr || wanted == nullptr || !sample.presentationTimeStamp().valid) {
    return 0;
  }
  // The encoder takes the track's own rate and channel count only; the
  // microphone path converts before it appends.
  if (audio->format().sampleRate() != static_cast<double>(wanted->sampleRate) ||
      static_cast<std::int64_t>(audio->format().channelCount()) != wanted->numberOfChannels) {
    return 0;
  }
  return audio->frameLength();
}

bool FfmpegWriterInput::appendSampleBuffer(std::shared_ptr<MediaSample> sample) {
  if (!sample) {
    return false;
  }
  MutexLock lock(mutex_);
  if (!state_ || !state_->isWriting() || finished_.load() ||
      !state_->sessionStarted.load(std::memory_order_acquire)) {
    return false;
  }
  if (mediaType_ != MediaType::audio && !sample->presentationTimeStamp().valid) {
    return false;
  }
  std::int64_t units = unitsOf(*sample);
  if (units <= 0) {
    return false;
  }
  return queue_.tryPush(std::move(sample), units);
}

void FfmpegWriterInput::markAsFinished() {
  finished_.store(true);
  queue_.close();
}

}  // namespace kestrano::ffmpeg
