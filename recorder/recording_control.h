#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/error.h"

namespace kestrano {

// The two operations the control loop drives. Each returns only when it has
// completed; the loop never runs two at once, but may run them on different
// threads, one after the other. cancelStart() is the one call that may come
// from another thread while an operation runs.
class RecordingControl {
 public:
  virtual ~RecordingControl() = default;

  // Starts a recording into the file at `path`; an error when it cannot.
  virtual std::optional<Error> start(const std::string& path) = 0;
  // Asks a start that is running (or about to run) to give up at once: its
  // waits end and it returns an error. It stays asked: a later start fails
  // too. stop() is not affected. Thread-safe; returns without waiting.
  virtual void cancelStart() = 0;
  // Ends the recording and returns the file's size in bytes (0 when there is
  // no file or its size cannot be read). Never fails.
  virtual std::int64_t stop() = 0;
};

}  // namespace kestrano
