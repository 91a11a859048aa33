#pragma once

#include <cstdint>
#include <string>

#include "platform/error.h"

namespace kestrano {

// The domain of the errors the X11 capture and the pieces both backends share
// report; the shared stream hands the latter on in its backend's domain.
inline constexpr const char* kCaptureErrorDomain = "x11";

// The codes of that domain, the only ones it uses.
enum class CaptureErrorCode : std::int64_t {
  cannotConnect = 1,         // the X server cannot be reached
  connectionLost = 2,        // it went away while in use
  unsupportedScreen = 3,     // a pixel format or extension we cannot work with
  invalidConfiguration = 4,  // a filter or configuration value out of range
  invalidOutput = 5,         // addStreamOutput refused
  wrongState = 6,            // start or stop at a moment they do not apply
  audioFailed = 7,           // the system audio source failed
  areaUnavailable = 8,       // the captured rectangle is no longer on the screen
  notAnswering = 9,          // the X server did not answer in time: the one timeout
  threadStartFailed = 10,    // the system refused a thread
  outOfResources = 11,       // the system refused memory or a file descriptor
};

Error captureError(CaptureErrorCode code, std::string description);

}  // namespace kestrano
