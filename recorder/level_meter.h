#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "platform/audio_format.h"
#include "platform/mutex.h"
#include "platform/thread_annotations.h"

namespace kestrano {

// A sound track's peak level over about the last second, for a host's meter:
// buffers land in tenth-of-a-second slots by their capture time, and a query
// takes the loudest of the last ten. One source thread adds, any thread asks.
class LevelMeter {
 public:
  void add(const PcmBuffer& buffer, std::int64_t atNs) EXCLUDES(mutex_);
  // In dBFS; nothing when no sound came in the last second or all of it was
  // digital silence.
  std::optional<double> peakDbfs(std::int64_t nowNs) const EXCLUDES(mutex_);

 private:
  static constexpr std::int64_t kSlotNs = 100'000'000;
  static constexpr std::size_t kSlots = 10;
  struct Slot {
    std::int64_t index = -1;  // which tenth of a second on the host clock
    float peak = 0;
  };
  mutable Mutex mutex_;
  std::array<Slot, kSlots> slots_ GUARDED_BY(mutex_){};
};

}  // namespace kestrano
