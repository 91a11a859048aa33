#include <gtest/gtest.h>
#include <stdlib.h>

#include "platform/linux/monotonic_clock.h"
#include "platform/linux/x11/x11_capture_service.h"
#include "tests/x11/capture_probe.h"

namespace kestrano::testing {
namespace {

struct Rect4 {
  std::int64_t x, y, w, h;
  friend bool operator==(const Rect4&, const Rect4&) = default;
};

// The displays as rectangles, or the error; the completion must run once.
std::vector<Rect4> listDisplays(std::optional<Error>* error = nullptr) {
  auto service = makeX11CaptureService(std::make_shared<MonotonicClock>(), nullptr);
  int calls = 0;
  std::vector<Rect4> rects;
  service->getShareableContent([&](std::optional<ShareableContent> c, std::optional<Error> e) {
    ++calls;
    EXPECT_NE(c.has_value(), e.has_value());
    for (const Display& d : c ? c->displays : std::vector<Display>{}) {
      rects.push_back(Rect4{d.x, d.y, d.width, d.height});
    }
    if (error != nullptr) {
      *error = e;
    }
  });
  EXPECT_EQ(calls, 1);
  return rects;
}

TEST(DisplayList, TheMonitorsInServerOrderOrTheWholeScreenWithoutThem) {
  const struct {
    const char* size;
    const char* monitors;
    std::vector<Rect4> displays;
  } cases[] = {
      {"1920x1080", "1280x720+0+0,1920x1080+1280+0", {{0, 0, 1280, 720}, {1280, 0, 1920, 1080}}},
      {"1366x768", "", {{0, 0, 1366, 768}}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.monitors);
    PrivateScreen screen(c.size, c.monitors);
    EXPECT_EQ(listDisplays(), c.displays);
  }
}

TEST(DisplayList, AnUnreachableDisplayIsAnErrorThatNamesIt) {
  setenv("DISPLAY", ":250", 1);  // a display number no test server takes
  std::optional<Error> error;
  EXPECT_TRUE(listDisplays(&error).empty());
  ASSERT_TRUE(error);
  EXPECT_NE(error->description.find("X server :250 cannot be reached"), std::string::npos)
      << error->description;

  // A stream on it does not start, and says why.
  CaptureRig rig(0, recorderConfiguration(1280, 720));
  std::optional<Error> started = rig.start();
  ASSERT_TRUE(started);
  EXPECT_NE(started->description.find(":250"), std::string::npos);
}

}  // namespace
}  // namespace kestrano::testing
