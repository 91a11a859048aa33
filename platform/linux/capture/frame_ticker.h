#pragma once

#include <chrono>
#include <cstdint>

namespace kestrano {

// The pace of a screen capture, as times rather than a thread: ticks on a
// fixed grid of the minimum frame interval, no two samples closer than that
// interval, and an idle frame once a still screen has gone a second without
// a sample. The caller reads the clocks and sleeps; the ticker says when.
// Knows nothing of where the pictures come from. Used by one thread.
class FrameTicker {
 public:
  using Clock = std::chrono::steady_clock;

  // The first tick is due at `start`.
  FrameTicker(std::chrono::nanoseconds minimumInterval, Clock::time_point start)
      : interval_(minimumInterval), due_(start) {}

  // When the next tick is due.
  Clock::time_point due() const { return due_; }
  // A tick runs at `now`: the next is due one interval on along the grid,
  // so the average is the asked rate; ticks missed while the caller was held
  // up are skipped, never made up in a burst.
  void ticked(Clock::time_point now);

  // Sample times are host-clock nanoseconds. How long to wait before
  // stamping a sample at `now` so that it comes at least the interval after
  // the last one: a tick that ran late brings the next one closer than the
  // interval, and players that assume a frame rate expect the spacing.
  std::int64_t waitBeforeSample(std::int64_t now) const;
  // A sample went out stamped `at`.
  void sampled(std::int64_t at);
  // Whether a screen that has not changed is due an idle frame at `now`: a
  // second after the last sample. Never before the first sample, which is
  // a complete frame.
  bool idleFrameDue(std::int64_t now) const;

 private:
  const std::chrono::nanoseconds interval_;
  Clock::time_point due_;
  bool anySample_ = false;
  std::int64_t lastSample_ = 0;
};

}  // namespace kestrano
