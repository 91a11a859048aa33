#include "platform/linux/session_kind.h"

#include <gtest/gtest.h>

namespace kestrano {
namespace {

TEST(SessionKind, WaylandWhenEitherVariableSaysSo) {
  struct Row {
    const char* waylandDisplay;
    const char* sessionType;
    bool wayland;
  };
  const Row rows[] = {
      {"wayland-0", "x11", true},
      {nullptr, "wayland", true},
      {nullptr, nullptr, false},
      {"", "x11", false},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(isWaylandSession(row.waylandDisplay, row.sessionType), row.wayland)
        << (row.waylandDisplay ? row.waylandDisplay : "(unset)") << " / "
        << (row.sessionType ? row.sessionType : "(unset)");
  }
}

}  // namespace
}  // namespace kestrano
