#pragma once

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "platform/error.h"
#include "platform/linux/x11/socket_watchdog.h"

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
//
// From create() to endStartup() the server has a bounded time to answer
// (kAnswerBound in x_connection.cpp): past it a watchdog cuts the connection, whatever call then
// waits on the server fails, and lostError() says the server did not answer.
class XConnection {
 public:
  // Nothing, with `error` saying which display could not be reached or did
  // not answer in time, when the connection fails.
  static std::unique_ptr<XConnection> create(std::optional<Error>& error);
  ~XConnection();
  XConnection(const XConnection&) = delete;
  XConnection& operator=(const XConnection&) = delete;

  xcb_connection_t* get() const { return connection_; }
  xcb_screen_t* screen() const { return screen_; }
  xcb_window_t root() const { return screen_->root; }
  // As the library parsed it, e.g. ":1" or "host:0.1".
  const std::string& displayName() const { return displayName_; }

  bool broken() const { return xcb_connection_has_error(connection_) != 0; }
  // The error for a connection that broke while in use: the server did not
  // answer in time, when the watchdog cut it.
  Error lostError() const;
  // Ends the bounded start-up: from here on waits are the user's to bound.
  // The not-answering error when the watchdog has cut the connection.
  std::optional<Error> endStartup();

 private:
  XConnection(xcb_connection_t* connection, std::string displayName,
              std::unique_ptr<SocketWatchdog> watchdog)
      : connection_(connection),
        displayName_(std::move(displayName)),
        watchdog_(std::move(watchdog)) {}
  bool silenced() const;
  static Error silentError(const std::string& displayName);

  xcb_connection_t* connection_;
  xcb_screen_t* screen_ = nullptr;
  std::string displayName_;
  std::unique_ptr<SocketWatchdog> watchdog_;  // during start-up
  bool silenced_ = false;                     // the watchdog cut the connection
};

// xcb_connect(nullptr, screen) under the process-wide libXau lock (see
// authorityLock), for clients that need no bound on the connect.
xcb_connection_t* connectToDefaultDisplay(int* screen);

// The display xcb_connect(nullptr, ...) would use, e.g. ":1"; empty when
// none is named or the name cannot be parsed.
std::string defaultDisplayName();

}  // namespace kestrano::x11
