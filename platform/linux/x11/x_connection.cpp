#include "platform/linux/x11/x_connection.h"

#include "platform/linux/x11/capture_errors.h"

#include <mutex>

namespace kestrano::x11 {

xcb_connection_t* connectToDefaultDisplay(int* screen) {
  static std::mutex connecting;  // guards libXau's static file-name buffer
  std::lock_guard lock(connecting);
  return xcb_connect(nullptr, screen);
}

std::string defaultDisplayName() {
  char* host = nullptr;
  int display = 0;
  int screen = 0;
  if (xcb_parse_display(nullptr, &host, &display, &screen) == 0) {
    return {};
  }
  XcbPtr<char> ownedHost(host);
  std::string name = std::string(host != nullptr ? host : "") + ":" + std::to_string(display);
  if (screen != 0) {
    name += "." + std::to_string(screen);
  }
  return name;
}

std::unique_ptr<XConnection> XConnection::open(std::optional<Error>& error) {
  std::string name = defaultDisplayName();
  if (name.empty()) {
    error = captureError(CaptureErrorCode::cannotConnect,
                         "no X display is named (DISPLAY is unset or malformed)");
    return nullptr;
  }
  int screenNumber = 0;
  xcb_connection_t* c = connectToDefaultDisplay(&screenNumber);
  // xcb_connect never returns null; a failed connection must still be freed.
  if (xcb_connection_has_error(c) != 0) {
    xcb_disconnect(c);
    error = captureError(CaptureErrorCode::cannotConnect,
                         "the X server " + name + " cannot be reached");
    return nullptr;
  }
  xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c));
  for (int i = 0; i < screenNumber && it.rem > 0; ++i) {
    xcb_screen_next(&it);
  }
  if (it.rem == 0) {
    xcb_disconnect(c);
    error = captureError(CaptureErrorCode::cannotConnect,
                         "the X server " + name + " has no screen " + std::to_string(screenNumber));
    return nullptr;
  }
  return std::unique_ptr<XConnection>(new XConnection(c, it.data, std::move(name)));
}

XConnection::~XConnection() {
  xcb_disconnect(connection_);
}

Error XConnection::lostError() const {
  return captureError(CaptureErrorCode::connectionLost,
                      "the connection to the X server " + displayName_ + " was lost");
}

}  // namespace kestrano::x11
