#pragma once

namespace kestrano {

// Whether the session to record is a Wayland one, from its environment
// (WAYLAND_DISPLAY and XDG_SESSION_TYPE; null when unset): there an X11
// grab sees only Xwayland's windows, so capture must go through the portal.
bool isWaylandSession(const char* waylandDisplay, const char* sessionType);

}  // namespace kestrano
