#pragma once

#include "platform/media_time.h"

namespace kestrano {

// The one clock every track is stamped with: monotonic, in nanoseconds
// (timescale kNanosecondTimescale). Capture and the microphone path both use
// it, so their samples line up without conversion.
class HostClock {
 public:
  virtual ~HostClock() = default;
  virtual MediaTime now() const = 0;
};

}  // namespace kestrano
