#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/error.h"

namespace kestrano {

// The two operations the control loop drives. Each returns only when it has
// completed; the loop never runs two at once.
class RecordingControl {
 public:
  virtual ~RecordingControl() = default;

  // Starts a recording into the file at `path`; an error when it cannot.
  virtual std::optional<Error> start(const std::string& path) = 0;
  // Ends the recording and returns the file's size in bytes (0 when there is
  // no file or its size cannot be read). Never fails.
  virtual std::int64_t stop() = 0;
};

}  // namespace kestrano
