#include "platform/linux/capture/capture_errors.h"

#include <utility>

namespace kestrano {

Error captureError(CaptureErrorCode code, std::string description) {
  return Error{kCaptureErrorDomain, static_cast<std::int64_t>(code), std::move(description)};
}

}  // namespace kestrano
