#pragma once

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

}  // namespace kestrano
