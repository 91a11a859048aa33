#include "platform/linux/capture/frame_ticker.h"

#include "platform/media_time.h"

namespace kestrano {

void FrameTicker::ticked(Clock::time_point now) {
  due_ += interval_;
  if (due_ <= now) {
    due_ += (now - due_) / interval_ * interval_ + interval_;
  }
}

std::int64_t FrameTicker::waitBeforeSample(std::int64_t now) const {
  std::int64_t early = lastSample_ + interval_.count() - now;
  return anySample_ && early > 0 ? early : 0;
}

void FrameTicker::sampled(std::int64_t at) {
  anySample_ = true;
  lastSample_ = at;
}

bool FrameTicker::idleFrameDue(std::int64_t now) const {
  // About once a second, as a still screen reports itself; cheap, since idle
  // frames carry no pixels.
  return anySample_ && now - lastSample_ >= kNanosecondTimescale;
}

}  // namespace kestrano
