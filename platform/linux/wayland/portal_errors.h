#pragma once

#include <systemd/sd-bus.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/error.h"

namespace kestrano::wayland {

// The domain of every error the screen-cast portal client reports.
inline constexpr const char* kPortalErrorDomain = "portal";

// The codes of that domain, the only ones it uses.
enum class PortalErrorCode : std::int64_t {
  noPortal = 1,         // no session bus, or nothing on it answers for the portal
  noScreenCast = 2,     // the portal runs but offers no ScreenCast interface
  refused = 3,          // the user refused or closed the picker
  timedOut = 4,         // the bus or the portal did not answer in time
  cancelled = 5,        // the caller ended the wait
  invalidArgument = 6,  // the portal refused an argument, e.g. a malformed restore token
  failed = 7,           // any other failure the bus or the portal reported
  sessionClosed = 8,    // the portal ended the session after it started
  outOfResources = 9,   // the system refused memory or a file descriptor
};

Error portalError(PortalErrorCode code, std::string description);

// The error for a failed call to `method`, from the D-Bus error the call
// answered with (when set) or else from the negative errno sd-bus returned.
Error callError(std::string_view method, const sd_bus_error* error, int result);

}  // namespace kestrano::wayland
