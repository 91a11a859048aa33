#include <gtest/gtest.h>

#include <cstdlib>

#include "tests/support/private_desktop.h"
#include "tests/x11/capture_probe.h"
#include "tests/x11/x_scene.h"

namespace kestrano::testing {
namespace {

// Scaling blends a few pixels at most at colour edges; sample points sit in
// the middle of flat areas, so only rounding differs.
constexpr int kTolerance = 6;

void expectColour(const VideoFrame& frame, int x, int y, Rgb rgb) {
  Yuv got = yuvAt(frame, x, y);
  Yuv want = expectedYuv(rgb.r, rgb.g, rgb.b);
  EXPECT_NEAR(got.y, want.y, kTolerance) << "Y at " << x << "," << y;
  EXPECT_NEAR(got.u, want.u, kTolerance) << "U at " << x << "," << y;
  EXPECT_NEAR(got.v, want.v, kTolerance) << "V at " << x << "," << y;
}

// Quadrants top-left, top-right, bottom-left, bottom-right.
struct Pattern {
  Rgb quadrant[4];
};

void paintPattern(XScene& scene, const Display& d, const Pattern& p) {
  auto w = static_cast<int>(d.width);
  auto h = static_cast<int>(d.height);
  xcb_window_t win = scene.addWindow(static_cast<int>(d.x), static_cast<int>(d.y), w, h, {});
  scene.fill(win, 0, 0, w / 2, h / 2, p.quadrant[0]);
  scene.fill(win, w / 2, 0, w - w / 2, h / 2, p.quadrant[1]);
  scene.fill(win, 0, h / 2, w / 2, h - h / 2, p.quadrant[2]);
  scene.fill(win, w / 2, h / 2, w - w / 2, h - h / 2, p.quadrant[3]);
  scene.sync();
}

std::shared_ptr<MediaSample> firstCompleteFrame(CaptureRig& rig) {
  EXPECT_TRUE(rig.log->waitUntil(
      [](const auto& all) { return !screenFrames(all, FrameStatus::complete).empty(); }));
  return screenFrames(rig.log->snapshot(), FrameStatus::complete).at(0).sample;
}

void expectPattern(const VideoFrame& f, const Pattern& p) {
  int w = f.width();
  int h = f.height();
  expectColour(f, w / 4, h / 4, p.quadrant[0]);
  expectColour(f, 3 * w / 4, h / 4, p.quadrant[1]);
  expectColour(f, w / 4, 3 * h / 4, p.quadrant[2]);
  expectColour(f, 3 * w / 4, 3 * h / 4, p.quadrant[3]);
}

class TwoMonitorCapture : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    PrivateDesktop::Options options;
    options.monitors = "1280x720+0+0,1920x1080+1280+0";
    options.pulse = false;
    desktop_ = new PrivateDesktop(options);
    desktop_->exportEnvironment();
  }
  static void TearDownTestSuite() {
    delete desktop_;
    desktop_ = nullptr;
  }
  static PrivateDesktop* desktop_;

  const Pattern first_{{{255, 255, 0}, {0, 255, 255}, {255, 0, 255}, {0, 0, 0}}};
  const Pattern second_{{{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 255}}};
};
PrivateDesktop* TwoMonitorCapture::desktop_ = nullptr;

TEST_F(TwoMonitorCapture, FramesShowEachMonitorsOwnPixelsAtTheAskedSize) {
  XScene scene;
  paintPattern(scene, Display{0, 0, 0, 1280, 720}, first_);
  paintPattern(scene, Display{0, 1280, 0, 1920, 1080}, second_);
  scene.warpPointer(5, 5);  // out of the way of the sample points
  scene.sync();

  for (std::size_t index : {0u, 1u}) {
    SCOPED_TRACE(index);
    CaptureRig rig(index, recorderConfiguration(1280, 720));
    ASSERT_FALSE(rig.start());
    auto sample = firstCompleteFrame(rig);
    const auto& frame = std::get<VideoFrame>(sample->data());
    EXPECT_EQ(frame.width(), 1280);
    EXPECT_EQ(frame.height(), 720);
    EXPECT_EQ(frame.pixelFormat(), PixelFormat::i420);
    expectPattern(frame, index == 0 ? first_ : second_);
    EXPECT_FALSE(rig.stop());
  }
}

TEST_F(TwoMonitorCapture, ThePointerIsDrawnIntoTheFrames) {
  const Rgb grey{128, 128, 128};
  XScene scene;
  scene.addWindow(1280, 0, 1920, 1080, grey);
  scene.warpPointer(1280 + 960, 540);  // the middle of the second monitor
  scene.sync();

  CaptureRig rig(1, recorderConfiguration(1280, 720));
  ASSERT_FALSE(rig.start());
  auto sample = firstCompleteFrame(rig);
  const auto& frame = std::get<VideoFrame>(sample->data());
  int background = expectedYuv(grey.r, grey.g, grey.b).y;
  int differing = 0;
  // The pointer's hot spot lands at (640, 360) in the scaled frame; its
  // image lies within a few pixels of it.
  for (int y = 350; y < 372; ++y) {
    for (int x = 630; x < 652; ++x) {
      differing += std::abs(yuvAt(frame, x, y).y - background) > 40 ? 1 : 0;
    }
  }
  EXPECT_GT(differing, 10);
  EXPECT_NEAR(yuvAt(frame, 200, 200).y, background, kTolerance);

  // Moving it away is a change of its own: a new complete frame without it.
  MediaTime moved = rig.clock->now();
  scene.warpPointer(1280 + 100, 100);
  scene.sync();
  ASSERT_TRUE(rig.log->waitUntil([&](const auto& all) {
    for (const auto& d : screenFrames(all, FrameStatus::complete)) {
      if (d.sample->presentationTimeStamp().nanoseconds() > moved.nanoseconds()) {
        return true;
      }
    }
    return false;
  }));
  auto later = screenFrames(rig.log->snapshot(), FrameStatus::complete).back().sample;
  EXPECT_NEAR(yuvAt(std::get<VideoFrame>(later->data()), 640, 360).y, background, kTolerance);
  EXPECT_FALSE(rig.stop());
}

TEST(OddHeightCapture, AnOddFrameHeightIsDeliveredWhole) {
  PrivateDesktop::Options options;
  options.size = "1366x768";
  options.pulse = false;
  PrivateDesktop desktop(options);
  desktop.exportEnvironment();
  const Rgb teal{0, 128, 128};
  const Rgb orange{255, 128, 0};
  XScene scene;
  xcb_window_t win = scene.addWindow(0, 0, 1366, 768, teal);
  scene.fill(win, 0, 760, 1366, 8, orange);  // the bottom rows must survive scaling
  scene.warpPointer(683, 300);
  scene.sync();

  CaptureRig rig(0, recorderConfiguration(1280, 719));
  ASSERT_FALSE(rig.start());
  auto sample = firstCompleteFrame(rig);
  const auto& frame = std::get<VideoFrame>(sample->data());
  EXPECT_EQ(frame.width(), 1280);
  EXPECT_EQ(frame.height(), 719);
  EXPECT_EQ(frame.plane(0).rows, 719);
  EXPECT_EQ(frame.plane(1).rows, 360);
  expectColour(frame, 100, 100, teal);
  expectColour(frame, 100, 718, orange);
  expectColour(frame, 1279, 718, orange);
  EXPECT_FALSE(rig.stop());
}

}  // namespace
}  // namespace kestrano::testing
