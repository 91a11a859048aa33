#pragma once

#include <string>
#include <utility>

#include "platform/error.h"
#include "platform/linux/capture/capture_errors.h"

namespace kestrano::wayland {

// The domain of the errors the Wayland capture itself reports (the portal's
// own have theirs); the codes are the screen capture's.
inline constexpr const char* kWaylandErrorDomain = "wayland";

inline Error waylandError(CaptureErrorCode code, std::string description) {
  return Error{kWaylandErrorDomain, static_cast<std::int64_t>(code), std::move(description)};
}

}  // namespace kestrano::wayland
