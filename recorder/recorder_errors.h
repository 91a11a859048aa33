#pragma once

#include <chrono>
#include <string>

#include "platform/error.h"

namespace kestrano {

// The recorder's own errors (domain "rec"); platform errors pass unchanged.
inline constexpr const char* kRecorderErrorDomain = "rec";

inline Error noDisplayError() {
  return Error{kRecorderErrorDomain, 1, "No display"};
}
inline Error writerStartFailedError() {
  return Error{kRecorderErrorDomain, 2, "writer start failed"};
}
inline Error recordingInProgressError() {
  return Error{kRecorderErrorDomain, 3, "recording already in progress"};
}
inline Error displayHasNoSizeError() {
  return Error{kRecorderErrorDomain, 4, "display has no size"};
}
// A platform factory answered with nothing and no error of its own; `what`
// names the object, e.g. "capture stream".
inline Error platformObjectMissingError(const char* what) {
  return Error{kRecorderErrorDomain, 5, std::string(what) + " could not be made"};
}

// A platform completion the start waits for did not come within its deadline;
// `what` says what did not happen, e.g. "the screen capture did not start".
inline Error platformDidNotAnswerError(const std::string& what, std::chrono::milliseconds limit) {
  const std::string within = limit.count() % 1000 == 0 ? std::to_string(limit.count() / 1000) + " s"
                                                       : std::to_string(limit.count()) + " ms";
  return Error{kRecorderErrorDomain, 6, what + " within " + within};
}
// The start was abandoned by cancelStart() (the process was asked to end).
inline Error startCancelledError() {
  return Error{kRecorderErrorDomain, 7, "the start was abandoned: the recorder was asked to end"};
}

// The host's controls asked for what the recording's state does not allow.
inline Error notRecordingError() {
  return Error{kRecorderErrorDomain, 8, "not recording"};
}
inline Error alreadyPausedError() {
  return Error{kRecorderErrorDomain, 9, "already paused"};
}
inline Error notPausedError() {
  return Error{kRecorderErrorDomain, 10, "not paused"};
}
inline Error markNotKeptError() {
  return Error{kRecorderErrorDomain, 11, "the mark could not be written"};
}

}  // namespace kestrano
