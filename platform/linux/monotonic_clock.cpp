#include "platform/linux/monotonic_clock.h"

#include <time.h>

namespace kestrano {

MediaTime MonotonicClock::now() const {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return MediaTime::make(static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec,
                         kNanosecondTimescale);
}

}  // namespace kestrano
