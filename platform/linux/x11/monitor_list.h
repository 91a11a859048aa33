#pragma once

#include <vector>

#include "platform/linux/x11/x_connection.h"
#include "platform/screen_capture.h"

namespace kestrano::x11 {

// The displays of the connection's screen: its active RandR monitors in the
// order the server lists them (empty when it lists none), or the whole root
// window when the server has no RandR 1.5 to ask. Nothing, with `error` set,
// when the connection breaks while asking.
std::optional<std::vector<Display>> listMonitors(XConnection& x, std::optional<Error>& error);

}  // namespace kestrano::x11
