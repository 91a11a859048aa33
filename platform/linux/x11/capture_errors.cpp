#include "platform/linux/x11/capture_errors.h"

#include <utility>

namespace kestrano::x11 {

Error captureError(CaptureErrorCode code, std::string description) {
  return Error{kCaptureErrorDomain, static_cast<std::int64_t>(code), std::move(description)};
}

}  // namespace kestrano::x11
