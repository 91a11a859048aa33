#pragma once

#include <optional>
#include <string>

#include "platform/mutex.h"

namespace kestrano::x11 {

// libXau keeps the authority file name in a static buffer that concurrent
// lookups overwrite: every lookup in the process, xcb_connect's included,
// holds this lock.
Mutex& authorityLock();

// An authorisation to offer the X server: protocol name and data.
struct XAuthorization {
  std::string name;
  std::string data;
};

// The MIT-MAGIC-COOKIE-1 entry of the user's authority file for the server
// at the other end of `socket` (connected), display number `display`, found
// the way xcb finds it. Nothing when there is none: the connection is then
// offered without authorisation, as xcb does.
std::optional<XAuthorization> findAuthorization(int socket, int display);

}  // namespace kestrano::x11
