#pragma once

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "platform/error.h"

namespace kestrano::x11 {

// xcb hands out replies, events and errors as malloc'ed blocks.
struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
template <typename T>
using XcbPtr = std::unique_ptr<T, FreeDeleter>;

// A rectangle in root-window coordinates.
struct Rect {
  std::int64_t x = 0;
  std::int64_t y = 0;
  std::int64_t width = 0;
  std::int64_t height = 0;
};

// One connection to the X server the library picks by default, with the
// screen it names. Used by one thread at a time.
class XConnection {
 public:
  // Nothing, with `error` saying which display could not be reached, when the
  // connection fails.
  static std::unique_ptr<XConnection> open(std::optional<Error>& error);
  ~XConnection();
  XConnection(const XConnection&) = delete;
  XConnection& operator=(const XConnection&) = delete;

  xcb_connection_t* get() const { return connection_; }
  xcb_screen_t* screen() const { return screen_; }
  xcb_window_t root() const { return screen_->root; }
  // As the library parsed it, e.g. ":1" or "host:0.1".
  const std::string& displayName() const { return displayName_; }

  bool broken() const { return xcb_connection_has_error(connection_) != 0; }
  // The error for a connection that broke while in use.
  Error lostError() const;

 private:
  XConnection(xcb_connection_t* connection, xcb_screen_t* screen, std::string displayName)
      : connection_(connection), screen_(screen), displayName_(std::move(displayName)) {}

  xcb_connection_t* connection_;
  xcb_screen_t* screen_;
  std::string displayName_;
};

// xcb_connect(nullptr, screen) under a process-wide lock: libXau, which it
// calls, keeps the authority file name in a static buffer that concurrent
// connects overwrite. Every connect in the process should go through here.
xcb_connection_t* connectToDefaultDisplay(int* screen);

// The display xcb_connect(nullptr, ...) would use, e.g. ":1"; empty when
// none is named or the name cannot be parsed.
std::string defaultDisplayName();

}  // namespace kestrano::x11
