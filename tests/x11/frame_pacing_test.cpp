#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tests/support/private_desktop.h"
#include "tests/x11/capture_probe.h"
#include "tests/x11/x_scene.h"

namespace kestrano::testing {
namespace {

using namespace std::chrono_literals;

// Repaints a window in alternating colours every 20 ms (50 Hz, faster than
// capture) from a thread of its own until destroyed.
class MovingScene {
 public:
  MovingScene()
      : thread_([this] {
          XScene scene;
          xcb_window_t win = scene.addWindow(0, 0, 640, 480, {0, 0, 0});
          for (int i = 0; !stop_; ++i) {
            scene.fill(win, 0, 0, 640, 480, i % 2 == 0 ? Rgb{200, 30, 30} : Rgb{30, 30, 200});
            scene.sync();
            std::this_thread::sleep_for(20ms);
          }
        }) {}
  ~MovingScene() {
    stop_ = true;
    thread_.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;  // last: starts after stop_ exists
};

class FramePacing : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    PrivateDesktop::Options options;
    options.pulse = false;
    desktop_ = new PrivateDesktop(options);
    desktop_->exportEnvironment();
  }
  static void TearDownTestSuite() {
    delete desktop_;
    desktop_ = nullptr;
  }
  static PrivateDesktop* desktop_;
};
PrivateDesktop* FramePacing::desktop_ = nullptr;

double seconds(const Delivered& a, const Delivered& b) {
  return (b.sample->presentationTimeStamp().nanoseconds() -
          a.sample->presentationTimeStamp().nanoseconds()) /
         1e9;
}

TEST_F(FramePacing, AChangingScreenGetsAtMostFifteenFramesASecond) {
  MovingScene moving;
  CaptureRig rig(0, recorderConfiguration(1280, 720));
  ASSERT_FALSE(rig.start());
  std::this_thread::sleep_for(3s);
  EXPECT_FALSE(rig.stop());

  auto frames = screenFrames(rig.log->snapshot(), FrameStatus::complete);
  ASSERT_GE(frames.size(), 10u) << "a changing screen must keep producing frames";
  double span = seconds(frames.front(), frames.back());
  // n frames on a 1/15 s cadence span n - 1 intervals; one frame of slack
  // for the timer's jitter at either end.
  EXPECT_LE(static_cast<double>(frames.size() - 1), span * 15.0 + 1.0);
  for (const auto& f : frames) {
    EXPECT_TRUE(f.sample->presentationTimeStamp().valid);
    EXPECT_EQ(f.sample->presentationTimeStamp().timescale, kNanosecondTimescale);
  }
}

TEST_F(FramePacing, AStillScreenGetsIdleFramesWithoutPixels) {
  XScene scene;
  scene.addWindow(0, 0, 1920, 1080, {40, 90, 40});
  scene.sync();
  CaptureRig rig(0, recorderConfiguration(1280, 720));
  ASSERT_FALSE(rig.start());
  ASSERT_TRUE(rig.log->waitUntil(
      [](const auto& all) { return screenFrames(all, FrameStatus::idle).size() >= 2; }));
  EXPECT_FALSE(rig.stop());

  auto all = rig.log->snapshot();
  auto complete = screenFrames(all, FrameStatus::complete);
  auto idle = screenFrames(all, FrameStatus::idle);
  ASSERT_EQ(complete.size(), 1u) << "nothing moved after the first frame";
  EXPECT_EQ(frameStatus(*all.front().sample), 0) << "the first frame is complete";
  for (const auto& d : idle) {
    EXPECT_TRUE(std::holds_alternative<std::monostate>(d.sample->data()));
    EXPECT_TRUE(d.sample->presentationTimeStamp().valid);
  }
  // About one a second, and each later than what went before.
  EXPECT_GT(seconds(complete[0], idle[0]), 0.5);
  EXPECT_GT(seconds(idle[0], idle[1]), 0.5);
}

TEST_F(FramePacing, AStalledHandlerHoldsAtMostQueueDepthFrames) {
  MovingScene moving;
  CaptureRig rig(0, recorderConfiguration(1280, 720));
  std::mutex gateMutex;  // guards open
  std::condition_variable gateChanged;
  bool open = false;
  rig.log->beforeEach = [&] {
    std::unique_lock lock(gateMutex);
    gateChanged.wait(lock, [&] { return open; });
  };
  ASSERT_FALSE(rig.start());
  // Long enough for about 30 frames at the full rate.
  std::this_thread::sleep_for(2s);
  MediaTime released = rig.clock->now();
  {
    std::lock_guard lock(gateMutex);
    open = true;
  }
  gateChanged.notify_all();
  // Frames keep coming once the handler returns.
  ASSERT_TRUE(rig.log->waitUntil([&](const auto& all) {
    for (const auto& d : all) {
      if (d.sample->presentationTimeStamp().nanoseconds() > released.nanoseconds()) {
        return true;
      }
    }
    return false;
  }));
  EXPECT_FALSE(rig.stop());

  std::size_t heldWhileStalled = 0;
  for (const auto& d : rig.log->snapshot()) {
    heldWhileStalled += d.sample->presentationTimeStamp().nanoseconds() < released.nanoseconds();
  }
  EXPECT_GE(heldWhileStalled, 1u);
  EXPECT_LE(heldWhileStalled, 5u);
}

}  // namespace
}  // namespace kestrano::testing
