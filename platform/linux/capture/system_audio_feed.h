#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <optional>

#include "platform/linux/system_audio_source.h"
#include "platform/mutex.h"
#include "platform/screen_capture.h"

namespace kestrano {

using SystemAudioSourceFactory = std::function<std::unique_ptr<SystemAudioSource>()>;

// The system audio of one stream: starts a source, passes its buffers on
// while open, lets the start wait a moment for the first one, and stops the
// source.
class SystemAudioFeed {
 public:
  // Takes a buffer; false when it dropped it (it then does not count as the
  // first buffer).
  using Sink = std::function<bool(PcmBuffer buffer, MediaTime presentationTime)>;

  explicit SystemAudioFeed(SystemAudioSourceFactory makeSource)
      : makeSource_(std::move(makeSource)) {}
  ~SystemAudioFeed() { stop(); }
  SystemAudioFeed(const SystemAudioFeed&) = delete;
  SystemAudioFeed& operator=(const SystemAudioFeed&) = delete;

  // Opens the feed and starts a source at the configured rate and channel
  // count; its buffers go to `sink` while the feed is open, and `onFailure`
  // hears (on the source's thread, once) that it broke after starting.
  // Nothing happens when there is no factory or it makes no source. An
  // error when the source refuses to start.
  std::optional<Error> start(const StreamConfiguration& configuration, Sink sink,
                             std::function<void(Error)> onFailure) EXCLUDES(mutex_);
  // Returns once the source has passed on its first buffer or failed, or
  // after a bound if it stays silent, so the recording does not begin with
  // seconds of video over a still-empty audio track. At once without a source.
  void waitForFirstBuffer() EXCLUDES(mutex_);
  // Buffers from here on are dropped. Any thread.
  void close() { open_.store(false, std::memory_order_release); }
  // Closes the feed and stops the source: no buffer or failure reaches the
  // stream after this returns. Not from the source's own thread.
  void stop() EXCLUDES(mutex_);

 private:
  void takeBuffer(const Sink& sink, PcmBuffer buffer, MediaTime presentationTime) EXCLUDES(mutex_);
  void takeFailure(const std::function<void(Error)>& tell, const Error& error) EXCLUDES(mutex_);

  const SystemAudioSourceFactory makeSource_;
  // Set (release) while buffers may go on; the source's thread reads it
  // (acquire) before each buffer.
  std::atomic<bool> open_{false};

  Mutex mutex_;
  std::condition_variable settled_;  // the first buffer came, or the source failed
  // Never stopped under mutex_: its stop waits for handlers that take it.
  std::unique_ptr<SystemAudioSource> source_ GUARDED_BY(mutex_);
  bool flowing_ GUARDED_BY(mutex_) = false;
  bool failed_ GUARDED_BY(mutex_) = false;
};

}  // namespace kestrano
