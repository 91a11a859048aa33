#include "platform/linux/pulse/record_timeline.h"

#include <algorithm>
#include <cstdlib>

namespace kestrano {
namespace {

constexpr std::int64_t kMillisecond = 1'000'000;
constexpr std::int64_t kSecond = 1'000 * kMillisecond;

// Device latencies stay far below this (fragments of 10-25 ms, device
// buffers of tens of ms); beyond it either the server's timing is not
// settled yet or we were slow to read.
constexpr std::int64_t kMaxPlausibleLatency = 150 * kMillisecond;

// The latency comes from timing snapshots the server sends every second or
// so, each off by as long as its trip took. On pipewire-pulse under load the
// readings are worse: measured, one stream's wandered from +17 to -51 ms in
// 4 s, and a microphone's fell steadily by 90 ms a second for two seconds,
// while the data came at the device rate throughout. Taken per chunk, such
// errors add up past the writer's re-placement threshold, which then cuts
// silence into sound that had none. A stream's chunks follow each other, so
// each goes where the last one ended, moved toward its measured time by at
// most this share of its length: as fast as a device clock drifts (well
// under 0.1%), slow enough that the readings' errors cancel out. 0.5% was
// too fast: on the PulseAudio daemon under load, a microphone's readings ran
// away by 10 ms a second after a switch, and following them used up the
// rest of the writer's threshold in 3 s.
constexpr std::int64_t kMaxSlewPerMille = 1;

// A fresh stream's readings settle within its first moments (measured on
// the PulseAudio daemon: +74 ms for 80 ms, then -7 ms from there on). Its
// chunks wait that long, and then all go where the readings of the second
// half put the stream's start (their median: one wild reading does not
// count). Placing each by its own reading instead moved the stamps by some
// ms from chunk to chunk: less than the writer re-places at once, so they
// added to its drift, and the slow correction afterwards took that past the
// writer's threshold, which cut 50 ms from a microphone 3 s after a switch.
constexpr std::int64_t kSettling = 200 * kMillisecond;

// Farther off than any reading's error seen (180 ms), the stream really lost
// or gained time, and the measured time holds at once.
constexpr std::int64_t kTimeLost = kSecond / 2;

}  // namespace

std::optional<std::int64_t> RecordTimeline::place(std::int64_t now, std::uint32_t frames,
                                                  std::int64_t latency) {
  const std::int64_t duration = static_cast<std::int64_t>(frames) * kSecond / rate_;
  std::int64_t first = now - duration - latency;
  const bool plausible = std::abs(latency) <= kMaxPlausibleLatency;
  elapsed_ += duration;
  if (!next_) {
    arrivedStart_ = arrivedStart_.value_or(now - duration);
    if (plausible && elapsed_ > kSettling / 2) {
      starts_.push_back(now - latency - elapsed_);
    }
    if (elapsed_ < kSettling) {
      return std::nullopt;
    }
    // Without a believable reading: as if the first chunk had just been
    // captured when it came.
    std::int64_t start = *arrivedStart_;
    if (!starts_.empty()) {
      const auto middle = starts_.begin() + static_cast<std::ptrdiff_t>(starts_.size() / 2);
      std::nth_element(starts_.begin(), middle, starts_.end());
      start = *middle;
    }
    starts_ = {};
    next_ = start + elapsed_;
    return start;
  }
  if (!plausible) {
    // For about the first second a fresh stream's timing can be off by
    // hundreds of ms (measured here: +400..+560 ms on a null sink's monitor,
    // while data arrived steadily every 10 ms), until the server settles its
    // latency. A busy machine that kept us from reading for as long gives as
    // large a latency, and a true one, with the backlog arriving at once.
    // Chunks follow each other without a gap either way.
    first = *next_;
  } else if (std::abs(first - *next_) <= kTimeLost) {
    const std::int64_t slew = duration * kMaxSlewPerMille / 1000;
    first = *next_ + std::clamp(first - *next_, -slew, slew);
  }
  next_ = first + duration;
  return first;
}

}  // namespace kestrano
