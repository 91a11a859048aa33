#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>

#include "platform/media_sample.h"
#include "platform/mutex.h"

namespace kestrano::ffmpeg {

// A bounded hand-off from the appending threads to one encoder thread. The
// bound is counted in units (frames of video, sample frames of audio) so that
// buffers of any length are held to the same amount of media.
class SampleQueue {
 public:
  explicit SampleQueue(std::int64_t capacityUnits) : capacity_(capacityUnits) {}

  // False (nothing changes) when full or closed. Never waits.
  bool tryPush(std::shared_ptr<MediaSample> sample, std::int64_t units);
  // True when a push could be taken now.
  bool hasRoom() const;
  // Waits for the next sample; nothing once closed and drained.
  std::shared_ptr<MediaSample> pop();
  // Refuses further pushes; pop still returns what is queued.
  void close();

 private:
  struct Entry {
    std::shared_ptr<MediaSample> sample;
    std::int64_t units;
  };

  const std::int64_t capacity_;
  mutable Mutex mutex_;
  std::condition_variable wake_;
  std::deque<Entry> entries_ GUARDED_BY(mutex_);
  std::int64_t queuedUnits_ GUARDED_BY(mutex_) = 0;
  bool closed_ GUARDED_BY(mutex_) = false;
};

}  // namespace kestrano::ffmpeg
