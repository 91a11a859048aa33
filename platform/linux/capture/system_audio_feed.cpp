#include "platform/linux/capture/system_audio_feed.h"

#include <chrono>
#include <utility>

#include "platform/linux/capture/capture_errors.h"

namespace kestrano {
namespace {

// How long a start waits for the system audio's first buffer. A fresh
// PulseAudio record stream delivers within 0.1-0.3 s here, over a second on a
// loaded machine; past this bound the video starts anyway, and the audio
// track simply begins late, as it would without the wait.
constexpr std::chrono::seconds kFirstAudioWait{2};

}  // namespace

std::optional<Error> SystemAudioFeed::start(const StreamConfiguration& configuration, Sink sink,
                                            std::function<void(Error)> onFailure) {
  std::unique_ptr<SystemAudioSource> source = makeSource_ ? makeSource_() : nullptr;
  {
    MutexLock lock(mutex_);
    flowing_ = false;
    failed_ = false;
  }
  open_.store(true, std::memory_order_release);
  if (!source) {
    return std::nullopt;
  }
  std::optional<Error> refused = source->start(
      static_cast<double>(configuration.sampleRate),
      static_cast<std::uint32_t>(configuration.channelCount),
      [this, sink = std::move(sink)](PcmBuffer buffer, MediaTime time) {
        takeBuffer(sink, std::move(buffer), time);
      },
      [this, tell = std::move(onFailure)](Error e) { takeFailure(tell, e); });
  {
    MutexLock lock(mutex_);
    source_ = std::move(source);
  }
  if (refused) {
    return captureError(CaptureErrorCode::audioFailed,
                        "the system audio cannot be captured: " + refused->description);
  }
  return std::nullopt;
}

void SystemAudioFeed::waitForFirstBuffer() {
  const auto deadline = std::chrono::steady_clock::now() + kFirstAudioWait;
  MutexLock lock(mutex_);
  // On failure the start goes on: the stream reports it as a stopped
  // stream, as for any failure once started.
  while (source_ && !flowing_ && !failed_) {
    if (!lock.waitUntil(settled_, deadline)) {
      return;
    }
  }
}

void SystemAudioFeed::stop() {
  close();
  std::unique_ptr<SystemAudioSource> source;
  {
    MutexLock lock(mutex_);
    source = std::move(source_);
  }
  if (source) {
    source->stop();
  }
}

void SystemAudioFeed::takeBuffer(const Sink& sink, PcmBuffer buffer, MediaTime presentationTime) {
  if (!open_.load(std::memory_order_acquire) || !sink(std::move(buffer), presentationTime)) {
    return;
  }
  bool first = false;
  {
    MutexLock lock(mutex_);
    first = !flowing_;
    flowing_ = true;
  }
  if (first) {
    settled_.notify_all();
  }
}

void SystemAudioFeed::takeFailure(const std::function<void(Error)>& tell, const Error& error) {
  {
    MutexLock lock(mutex_);
    failed_ = true;
  }
  settled_.notify_all();
  tell(captureError(CaptureErrorCode::audioFailed,
                    "the system audio capture failed: " + error.description));
}

}  // namespace kestrano
