#include <gtest/gtest.h>

#include <thread>

#include "platform/linux/monotonic_clock.h"
#include "platform/linux/x11/x11_capture_service.h"
#include "tests/support/private_desktop.h"
#include "tests/x11/capture_probe.h"
#include "tests/x11/x_scene.h"

namespace kestrano::testing {
namespace {

using namespace std::chrono_literals;

class StreamLifecycle : public ::testing::Test {
 protected:
  StreamLifecycle() : desktop_(options()) { desktop_.exportEnvironment(); }
  static PrivateDesktop::Options options() {
    PrivateDesktop::Options o;
    o.size = "1280x720";
    o.pulse = false;
    return o;
  }
  PrivateDesktop desktop_;
};

TEST_F(StreamLifecycle, OutputsAreRefusedWhenTheyCannotWork) {
  auto service = makeX11CaptureService(std::make_shared<MonotonicClock>(), nullptr);
  auto stream = service->makeStream(ContentFilter(Display{1, 0, 0, 1280, 720}, {}),
                                    recorderConfiguration(1280, 720), {});
  auto log = std::make_shared<SampleLog>();
  auto queue = std::make_shared<SerialQueue>("samples");

  // Nowhere to deliver: start refuses.
  auto started = callAndWait([&](ErrorCompletion done) { stream->startCapture(std::move(done)); });
  ASSERT_TRUE(started);
  EXPECT_TRUE(*started);

  EXPECT_TRUE(stream->addStreamOutput(log, static_cast<StreamOutputType>(7), queue));
  EXPECT_TRUE(stream->addStreamOutput(log, StreamOutputType::screen, nullptr));
  EXPECT_TRUE(
      stream->addStreamOutput(std::weak_ptr<StreamOutput>(), StreamOutputType::screen, queue));
  EXPECT_FALSE(stream->addStreamOutput(log, StreamOutputType::screen, queue));
  EXPECT_TRUE(stream->addStreamOutput(log, StreamOutputType::screen, queue)) << "twice";
  started = callAndWait([&](ErrorCompletion done) { stream->startCapture(std::move(done)); });
  ASSERT_TRUE(started);
  ASSERT_FALSE(*started);
  EXPECT_TRUE(stream->addStreamOutput(log, StreamOutputType::audio, queue)) << "after start";
  started = callAndWait([&](ErrorCompletion done) { stream->startCapture(std::move(done)); });
  ASSERT_TRUE(started);
  EXPECT_TRUE(*started) << "a second start";
}

TEST_F(StreamLifecycle, BadRectanglesAndConfigurationsFailToStart) {
  struct Case {
    Display display;
    StreamConfiguration configuration;
  };
  StreamConfiguration zeroRate = recorderConfiguration(1280, 720);
  zeroRate.minimumFrameInterval = MediaTime::make(0, 15);
  StreamConfiguration noDepth = recorderConfiguration(1280, 720);
  noDepth.queueDepth = 0;
  const Case cases[] = {
      {Display{1, 0, 0, 1920, 1080}, recorderConfiguration(1280, 720)},  // larger than the screen
      {Display{1, -5, 0, 640, 480}, recorderConfiguration(1280, 720)},
      {Display{1, 0, 0, 0, 720}, recorderConfiguration(1280, 720)},
      {Display{1, 0, 0, 1280, 720}, recorderConfiguration(0, 720)},
      {Display{1, 0, 0, 1280, 720}, recorderConfiguration(1280, 100000)},
      {Display{1, 0, 0, 1280, 720}, zeroRate},
      {Display{1, 0, 0, 1280, 720}, noDepth},
  };
  auto service = makeX11CaptureService(std::make_shared<MonotonicClock>(), nullptr);
  for (const auto& c : cases) {
    auto stream = service->makeStream(ContentFilter(c.display, {}), c.configuration, {});
    auto log = std::make_shared<SampleLog>();
    ASSERT_FALSE(stream->addStreamOutput(log, StreamOutputType::screen,
                                         std::make_shared<SerialQueue>("samples")));
    auto started =
        callAndWait([&](ErrorCompletion done) { stream->startCapture(std::move(done)); });
    ASSERT_TRUE(started);
    ASSERT_TRUE(*started) << c.display.x << " " << c.display.width << " " << c.configuration.width;
    EXPECT_FALSE((*started)->description.empty());
  }
}

TEST_F(StreamLifecycle, StopOfAStreamThatNeverRanCompletesAtOnce) {
  CaptureRig rig(0, recorderConfiguration(1280, 720));
  EXPECT_TRUE(rig.stop());
  EXPECT_EQ(rig.log->count(), 0u);
}

TEST_F(StreamLifecycle, AfterStopEveryQueuedSampleHasArrivedAndNoMoreCome) {
  XScene scene;
  xcb_window_t win = scene.addWindow(0, 0, 1280, 720, {10, 10, 10});
  std::atomic<bool> painting{true};
  std::thread painter([&] {
    XScene own;
    xcb_window_t w = own.addWindow(0, 0, 300, 300, {0, 0, 0});
    for (int i = 0; painting; ++i) {
      own.fill(w, 0, 0, 300, 300, Rgb{static_cast<std::uint8_t>(i * 37), 0, 0});
      own.sync();
      std::this_thread::sleep_for(10ms);
    }
  });
  CaptureRig rig(0, recorderConfiguration(1280, 720));
  // A slow handler keeps a backlog in the queue when stop is asked.
  rig.log->beforeEach = [] { std::this_thread::sleep_for(100ms); };
  ASSERT_FALSE(rig.start());
  ASSERT_TRUE(rig.log->waitUntil([](const auto& all) { return all.size() >= 3; }));

  std::atomic<std::size_t> atCompletion{0};
  auto stopped = callAndWait([&](ErrorCompletion done) {
    rig.stream->stopCapture([&, done = std::move(done)](std::optional<Error> e) {
      atCompletion = rig.log->count();
      done(std::move(e));
    });
  });
  ASSERT_TRUE(stopped);
  EXPECT_FALSE(*stopped);
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(rig.log->count(), atCompletion.load());
  EXPECT_TRUE(rig.stop()) << "a second stop is refused";
  painting = false;
  painter.join();
  (void)win;
}

TEST_F(StreamLifecycle, ALostXServerStopsTheStreamOnceWithAnErrorSayingSo) {
  CaptureRig rig(0, recorderConfiguration(1280, 720));
  ASSERT_FALSE(rig.start());
  ASSERT_TRUE(rig.log->waitUntil([](const auto& all) { return !all.empty(); }));
  desktop_.killX();

  ASSERT_TRUE(rig.delegate->waitForCall());
  std::size_t afterFailure = rig.log->count();
  auto stopped =
      callAndWait([&](ErrorCompletion done) { rig.stream->stopCapture(std::move(done)); });
  ASSERT_TRUE(stopped) << "stop must complete after a failure";
  std::this_thread::sleep_for(500ms);
  auto errors = rig.delegate->errors();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_NE(errors[0].description.find("connection to the X server " + desktop_.display()),
            std::string::npos)
      << errors[0].description;
  EXPECT_NE(errors[0].description.find("lost"), std::string::npos);
  EXPECT_EQ(rig.log->count(), afterFailure) << "capture ended with the failure";
}

TEST_F(StreamLifecycle, DestroyingARunningStreamStopsIt) {
  auto rig = std::make_unique<CaptureRig>(0, recorderConfiguration(1280, 720));
  ASSERT_FALSE(rig->start());
  ASSERT_TRUE(rig->log->waitUntil([](const auto& all) { return !all.empty(); }));
  auto log = rig->log;
  rig.reset();  // joins the capture thread; would hang or crash if it did not
  std::size_t after = log->count();
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(log->count(), after);
}

}  // namespace
}  // namespace kestrano::testing
