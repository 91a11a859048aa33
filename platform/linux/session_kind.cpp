#include "platform/linux/session_kind.h"

#include <string_view>

namespace kestrano {

bool isWaylandSession(const char* waylandDisplay, const char* sessionType) {
  return (waylandDisplay != nullptr && *waylandDisplay != '\0') ||
         (sessionType != nullptr && std::string_view(sessionType) == "wayland");
}

}  // namespace kestrano
