#include "platform/linux/session_kind.h"

#include <gtest/gtest.h>

#include <tuple>

namespace kestrano {
namespace {

TEST(SessionKind, WaylandWhenEitherVariableSaysSo) {
  // WAYLAND_DISPLAY, XDG_SESSION_TYPE (null: unset) and whether that is Wayland.
  for (auto [display, type, wayland] :
       {std::tuple<const char*, const char*, bool>{"wayland-0", "x11", true},
        {nullptr, "wayland", true},
        {nullptr, nullptr, false},
        {"", "x11", false}}) {
    EXPECT_EQ(isWaylandSession(display, type), wayland)
        << (display ? display : "(unset)") << " / " << (type ? type : "(unset)");
  }
}

}  // namespace
}  // namespace kestrano
