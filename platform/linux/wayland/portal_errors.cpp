#include "platform/linux/wayland/portal_errors.h"

#include <cstring>
#include <utility>

namespace kestrano::wayland {

Error portalError(PortalErrorCode code, std::string description) {
  return Error{kPortalErrorDomain, static_cast<std::int64_t>(code), asOneLine(description)};
}

Error callError(std::string_view method, const sd_bus_error* error, int result) {
  const std::string call(method);
  if (error == nullptr || !sd_bus_error_is_set(error)) {
    return portalError(PortalErrorCode::failed,
                       "the portal's " + call + " failed: " + std::strerror(-result));
  }
  const std::string message = error->message != nullptr ? error->message : "";
  if (sd_bus_error_has_names(error, SD_BUS_ERROR_SERVICE_UNKNOWN, SD_BUS_ERROR_NAME_HAS_NO_OWNER)) {
    return portalError(PortalErrorCode::noPortal,
                       "no xdg-desktop-portal runs on the session bus (" + message + ")");
  }
  // The frontend answers UnknownMethod "No such interface ..." when no backend
  // of this desktop offers ScreenCast.
  if (sd_bus_error_has_names(error, SD_BUS_ERROR_UNKNOWN_METHOD, SD_BUS_ERROR_UNKNOWN_INTERFACE,
                             SD_BUS_ERROR_UNKNOWN_OBJECT)) {
    return portalError(PortalErrorCode::noScreenCast,
                       "the desktop's portal offers no screen cast (" + message + ")");
  }
  if (sd_bus_error_has_name(error, "org.freedesktop.portal.Error.InvalidArgument")) {
    return portalError(PortalErrorCode::invalidArgument,
                       "the portal refused the arguments of " + call + " (" + message + ")");
  }
  if (sd_bus_error_has_names(error, SD_BUS_ERROR_NO_REPLY, SD_BUS_ERROR_TIMEOUT)) {
    return portalError(PortalErrorCode::timedOut, "the portal did not answer " + call + " in time");
  }
  return portalError(PortalErrorCode::failed, "the portal's " + call + " failed: " +
                                                  (error->name != nullptr ? error->name : "") +
                                                  (message.empty() ? "" : ": " + message));
}

}  // namespace kestrano::wayland
