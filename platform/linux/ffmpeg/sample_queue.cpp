#include "platform/linux/ffmpeg/sample_queue.h"

namespace kestrano::ffmpeg {

bool SampleQueue::tryPush(std::shared_ptr<MediaSample> sample, std::int64_t units) {
  {
    MutexLock lock(mutex_);
    // Full means the bound is reached; one buffer may overshoot it, so a
    // buffer longer than the whole bound can still pass an empty queue.
    if (closed_ || queuedUnits_ >= capacity_) {
      return false;
    }
    entries_.push_back(Entry{std::move(sample), units});
    queuedUnits_ += units;
  }
  wake_.notify_one();
  return true;
}

bool SampleQueue::hasRoom() const {
  MutexLock lock(mutex_);
  return !closed_ && queuedUnits_ < capacity_;
}

std::shared_ptr<MediaSample> SampleQueue::pop() {
  MutexLock lock(mutex_);
  while (!closed_ && entries_.empty()) {
    lock.wait(wake_);
  }
  if (entries_.empty()) {
    return nullptr;
  }
  Entry e = std::move(entries_.front());
  entries_.pop_front();
  queuedUnits_ -= e.units;
  return std::move(e.sample);
}

void SampleQueue::close() {
  {
    MutexLock lock(mutex_);
    closed_ = true;
  }
  wake_.notify_all();
}

}  // namespace kestrano::ffmpeg
