#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/error.h"

namespace kestrano {

// What status() reports. Levels are each sound track's peak over about the
// last second, in dBFS; nothing for digital silence (or no sound yet).
struct RecordingStatus {
  bool recording = false;
  bool paused = false;
  std::int64_t mediaMilliseconds = 0;  // recorded so far, pauses left out
  std::int64_t bytes = 0;              // the file's size on disk
  std::optional<double> systemAudioDbfs;
  std::optional<double> microphoneDbfs;
};

// The operations the control loop drives. Each returns only when it has
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

  // Cheap enough to be asked ten times a second; also without a recording.
  virtual RecordingStatus status() = 0;
  // Nothing is recorded on any track from pause() until resume(); the file's
  // timeline then continues where it stopped. An error (and no change) when
  // there is no recording, or it is paused already (pause) or not (resume).
  virtual std::optional<Error> pause() = 0;
  virtual std::optional<Error> resume() = 0;
  // A chapter titled `title` (UTF-8) at the current media time (the pause's
  // when paused); an error when there is no recording or it cannot be kept.
  virtual std::optional<Error> mark(const std::string& title) = 0;
};

}  // namespace kestrano
