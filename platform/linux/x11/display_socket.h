#pragma once

#include <chrono>
#include <string>

#include "platform/unique_fd.h"

namespace kestrano::x11 {

// Where an X display name points, read as xcb reads it:
// [protocol/]host:display[.screen], or the path of a socket.
struct DisplayAddress {
  std::string protocol;  // "" (any), "unix", "tcp", "inet" or "inet6"
  std::string host;      // "" or "unix": this machine; else a host name or address
  bool path = false;     // host is instead the path of the server's socket
  int display = 0;
  int screen = 0;
};

// Nothing understood in `name` (DISPLAY when null) gives false.
bool parseDisplayName(const char* name, DisplayAddress& address);

// A socket connected to the X server at `address`, tried in xcb's order
// (local: the abstract socket, then the file-system one, then TCP to
// localhost; else TCP, each address the name resolves to). Gives up when
// `deadline` passes, with `timedOut` set; -1 when nothing connects.
UniqueFd connectToDisplay(const DisplayAddress& address,
                          std::chrono::steady_clock::time_point deadline, bool& timedOut);

}  // namespace kestrano::x11
