#include <gtest/gtest.h>
#include <stdlib.h>

#include "platform/linux/monotonic_clock.h"
#include "platform/linux/x11/x11_capture_service.h"
#include "tests/support/private_desktop.h"
#include "tests/x11/capture_probe.h"

namespace kestrano::testing {
namespace {

struct ContentResult {
  int calls = 0;
  std::optional<ShareableContent> content;
  std::optional<Error> error;
};

ContentResult askForContent() {
  auto service = makeX11CaptureService(std::make_shared<MonotonicClock>(), nullptr);
  ContentResult result;
  service->getShareableContent([&](std::optional<ShareableContent> c, std::optional<Error> e) {
    ++result.calls;
    result.content = std::move(c);
    result.error = std::move(e);
  });
  return result;
}

void expectDisplay(const Display& d, std::int64_t x, std::int64_t y, std::int64_t w,
                   std::int64_t h) {
  EXPECT_EQ(d.x, x);
  EXPECT_EQ(d.y, y);
  EXPECT_EQ(d.width, w);
  EXPECT_EQ(d.height, h);
}

TEST(DisplayList, ListsTheMonitorsInServerOrderWithTheirRectangles) {
  PrivateDesktop::Options options;
  options.monitors = "1280x720+0+0,1920x1080+1280+0";
  options.pulse = false;
  PrivateDesktop desktop(options);
  desktop.exportEnvironment();

  ContentResult result = askForContent();
  EXPECT_EQ(result.calls, 1);
  ASSERT_FALSE(result.error) << result.error->description;
  ASSERT_TRUE(result.content);
  ASSERT_EQ(result.content->displays.size(), 2u);
  expectDisplay(result.content->displays[0], 0, 0, 1280, 720);
  expectDisplay(result.content->displays[1], 1280, 0, 1920, 1080);
  EXPECT_NE(result.content->displays[0].displayID, result.content->displays[1].displayID);
}

TEST(DisplayList, ListsASingleScreenAtItsSize) {
  PrivateDesktop::Options options;
  options.size = "1366x768";
  options.pulse = false;
  PrivateDesktop desktop(options);
  desktop.exportEnvironment();

  ContentResult result = askForContent();
  EXPECT_EQ(result.calls, 1);
  ASSERT_TRUE(result.content);
  ASSERT_EQ(result.content->displays.size(), 1u);
  expectDisplay(result.content->displays[0], 0, 0, 1366, 768);
}

TEST(DisplayList, AnUnreachableDisplayIsAnErrorThatNamesIt) {
  setenv("DISPLAY", ":250", 1);  // a display number no test server takes
  ContentResult result = askForContent();
  EXPECT_EQ(result.calls, 1);
  EXPECT_FALSE(result.content);
  ASSERT_TRUE(result.error);
  EXPECT_NE(result.error->description.find(":250"), std::string::npos) << result.error->description;
  EXPECT_NE(result.error->description.find("cannot be reached"), std::string::npos);

  // A stream on it refuses to start, with the same news.
  auto service = makeX11CaptureService(std::make_shared<MonotonicClock>(), nullptr);
  auto stream = service->makeStream(ContentFilter(Display{1, 0, 0, 640, 480}, {}),
                                    recorderConfiguration(1280, 960), {});
  auto log = std::make_shared<SampleLog>();
  ASSERT_FALSE(stream->addStreamOutput(log, StreamOutputType::screen,
                                       std::make_shared<SerialQueue>("samples")));
  auto started = callAndWait([&](ErrorCompletion done) { stream->startCapture(std::move(done)); });
  ASSERT_TRUE(started);
  ASSERT_TRUE(*started);
  EXPECT_NE((*started)->description.find(":250"), std::string::npos);
}

}  // namespace
}  // namespace kestrano::testing
