#pragma once

#include "platform/host_clock.h"

namespace kestrano {

// CLOCK_MONOTONIC in nanoseconds: the host clock on Linux.
class MonotonicClock final : public HostClock {
 public:
  MediaTime now() const override;
};

}  // namespace kestrano
