#include "platform/linux/pulse/pulse_errors.h"

#include <pulse/error.h>

#include <utility>

namespace kestrano {

Error pulseError(PulseErrorCode code, std::string description) {
  return Error{kPulseErrorDomain, static_cast<std::int64_t>(code), std::move(description)};
}

Error pulseError(PulseErrorCode code, const std::string& what, int libpulseError) {
  return pulseError(code, what + ": " + pa_strerror(libpulseError));
}

}  // namespace kestrano
