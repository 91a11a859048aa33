#include <gtest/gtest.h>

#include <thread>

#include "tests/x11/capture_probe.h"
#include "tests/x11/x_scene.h"

namespace kestrano::testing {
namespace {

using namespace std::chrono_literals;

// Each test on a private 1920x1080 screen.
class FramePacing : public ::testing::Test {
  PrivateScreen screen_;
};

TEST_F(FramePacing, AChangingScreenGetsAtMostFifteenFramesASecond) {
  RepaintingWindow moving;
  CaptureRig rig(0, recorderConfiguration(1280, 720));
  ASSERT_FALSE(rig.start());
  std::this_thread::sleep_for(3s);
  EXPECT_FALSE(rig.stop());

  auto frames = rig.collector->log().frames(FrameStatus::complete);
  ASSERT_GE(frames.size(), 10u) << "a changing screen keeps producing frames";
  // No two closer than the minimum interval, even after a late tick.
  for (std::size_t i = 1; i < frames.size(); ++i) {
    EXPECT_GE(frames[i].nanos - frames[i - 1].nanos, 1'000'000'000 / 15) << "frame " << i;
  }
}

TEST_F(FramePacing, AStillScreenGetsIdleFramesWithoutPixels) {
  XScene scene;
  scene.addWindow(0, 0, 1920, 1080, {40, 90, 40});
  CaptureRig rig(0, recorderConfiguration(1280, 720));
  ASSERT_FALSE(rig.start());
  ASSERT_TRUE(rig.collector->waitUntil(
      [](const Collector::Log& log) { return log.frames(FrameStatus::idle).size() >= 2; }));
  EXPECT_FALSE(rig.stop());

  auto log = rig.collector->log();
  EXPECT_EQ(log.samples.front().status, 0) << "the first frame is complete";
  // Xvfb may redraw its software pointer once just after the first grab;
  // beyond that nothing changes in the ~30 ticks waited.
  EXPECT_LE(log.frames(FrameStatus::complete).size(), 2u);
  auto idle = log.frames(FrameStatus::idle);
  for (const auto& d : idle) {
    EXPECT_TRUE(std::holds_alternative<std::monostate>(d.sample->data()));
  }
  // About one a second.
  EXPECT_GT(idle[0].nanos - log.frames(FrameStatus::complete).back().nanos, 500'000'000);
  EXPECT_GT(idle[1].nanos - idle[0].nanos, 500'000'000);
}

TEST_F(FramePacing, AStalledHandlerHoldsAtMostQueueDepthFrames) {
  RepaintingWindow moving;
  CaptureRig rig(0, recorderConfiguration(1280, 720));
  std::mutex gateMutex;  // guards open
  std::condition_variable gateChanged;
  bool open = false;
  rig.collector->beforeEach = [&] {
    std::unique_lock lock(gateMutex);
    gateChanged.wait(lock, [&] { return open; });
  };
  ASSERT_FALSE(rig.start());
  std::this_thread::sleep_for(2s);  // time for 30 frames at the full rate
  std::int64_t released = rig.clock->now().nanoseconds();
  {
    std::lock_guard lock(gateMutex);
    open = true;
  }
  gateChanged.notify_all();
  // Frames were skipped, not stopped: they come again once the handler returns.
  ASSERT_TRUE(rig.collector->waitUntil([&](const Collector::Log& log) {
    return !log.samples.empty() && log.samples.back().nanos > released;
  }));
  EXPECT_FALSE(rig.stop());

  std::size_t grabbedWhileStalled = 0;
  for (const auto& d : rig.collector->log().samples) {
    grabbedWhileStalled += d.nanos < released ? 1 : 0;
  }
  EXPECT_GE(grabbedWhileStalled, 1u);
  EXPECT_LE(grabbedWhileStalled, 5u);
}

}  // namespace
}  // namespace kestrano::testing
