#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "tests/support/private_desktop.h"
#include "tests/x11/capture_probe.h"
#include "tests/x11/x_scene.h"

namespace kestrano::testing {
namespace {

// Sample points sit in the middle of flat areas, so only rounding differs.
constexpr int kTolerance = 6;

void expectColour(const VideoFrame& frame, int x, int y, Rgb rgb) {
  Yuv got = yuvAt(frame, x, y);
  Yuv want = expectedYuv(rgb.r, rgb.g, rgb.b);
  EXPECT_NEAR(got.y, want.y, kTolerance) << "Y at " << x << "," << y;
  EXPECT_NEAR(got.u, want.u, kTolerance) << "U at " << x << "," << y;
  EXPECT_NEAR(got.v, want.v, kTolerance) << "V at " << x << "," << y;
}

// The first complete frame whose time is after `after` (nanoseconds).
std::shared_ptr<MediaSample> completeFrameAfter(CaptureRig& rig, std::int64_t after = 0) {
  std::shared_ptr<MediaSample> found;
  EXPECT_TRUE(rig.collector->waitUntil([&](const Collector::Log& log) {
    for (const auto& d : log.frames(FrameStatus::complete)) {
      if (d.nanos > after) {
        found = d.sample;
        return true;
      }
    }
    return false;
  }));
  return found;
}

const VideoFrame& pixels(const std::shared_ptr<MediaSample>& sample) {
  return std::get<VideoFrame>(sample->data());
}

PrivateDesktop::Options screens(const std::string& size, const std::string& monitors) {
  PrivateDesktop::Options o;
  if (!size.empty()) {
    o.size = size;
  }
  o.monitors = monitors;
  o.pulse = false;
  return o;
}

TEST(FrameContent, EachMonitorsOwnPixelsScaledToTheAskedSize) {
  PrivateDesktop desktop(screens("", "1280x720+0+0,1920x1080+1280+0"));
  desktop.exportEnvironment();
  // Quadrants top-left, top-right, bottom-left, bottom-right of each monitor.
  const Rgb colours[2][4] = {{{255, 255, 0}, {0, 255, 255}, {255, 0, 255}, {0, 0, 0}},
                             {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 255}}};
  const int rects[2][4] = {{0, 0, 1280, 720}, {1280, 0, 1920, 1080}};
  XScene scene;
  for (int m = 0; m < 2; ++m) {
    auto [x, y, w, h] = rects[m];
    xcb_window_t win = scene.addWindow(x, y, w, h, {});
    for (int q = 0; q < 4; ++q) {
      scene.fill(win, (q % 2) * w / 2, (q / 2) * h / 2, w / 2, h / 2, colours[m][q]);
    }
  }
  scene.warpPointer(5, 5);  // out of the way of the sample points
  scene.sync();

  for (int m = 0; m < 2; ++m) {
    SCOPED_TRACE(m);
    CaptureRig rig(m, recorderConfiguration(1280, 720));
    ASSERT_FALSE(rig.start());
    auto sample = completeFrameAfter(rig);
    ASSERT_TRUE(sample);
    const VideoFrame& f = pixels(sample);
    ASSERT_EQ(f.width(), 1280);
    ASSERT_EQ(f.height(), 720);
    for (int q = 0; q < 4; ++q) {
      expectColour(f, 320 + (q % 2) * 640, 180 + (q / 2) * 360, colours[m][q]);
    }
    EXPECT_FALSE(rig.stop());
  }
}

TEST(FrameContent, ThePointerIsDrawnAndFollowed) {
  PrivateDesktop desktop(screens("", "1280x720+0+0,1920x1080+1280+0"));
  desktop.exportEnvironment();
  const Rgb grey{128, 128, 128};
  const int background = expectedYuv(128, 128, 128).y;
  XScene scene;
  scene.addWindow(1280, 0, 1920, 1080, grey);
  scene.warpPointer(1280 + 960, 540);  // the middle of the second monitor
  scene.sync();
  CaptureRig rig(1, recorderConfiguration(1280, 720));
  ASSERT_FALSE(rig.start());
  // The hot spot lands at (640, 360) of the scaled frame; Xvfb's default
  // pointer image lies within a few pixels of it.
  auto markedAround = [&](const VideoFrame& f, int cx = 640, int cy = 360) {
    int differing = 0;
    for (int y = std::max(0, cy - 10); y < cy + 12; ++y) {
      for (int x = std::max(0, cx - 10); x < cx + 12; ++x) {
        differing += std::abs(yuvAt(f, x, y).y - background) > 40 ? 1 : 0;
      }
    }
    return differing;
  };
  auto first = completeFrameAfter(rig);
  ASSERT_TRUE(first);
  EXPECT_GT(markedAround(pixels(first)), 10);
  EXPECT_NEAR(yuvAt(pixels(first), 200, 200).y, background, kTolerance);

  // A pointer that moves is a change of its own: a new complete frame.
  std::int64_t moved = rig.clock->now().nanoseconds();
  scene.warpPointer(1280 + 100, 100);
  scene.sync();
  auto later = completeFrameAfter(rig, moved);
  ASSERT_TRUE(later);
  // Gone from where it was, though nothing was drawn there; drawn where it went.
  EXPECT_EQ(markedAround(pixels(later)), 0);
  EXPECT_GT(markedAround(pixels(later), 67, 67), 10);
  EXPECT_FALSE(rig.stop());
}

TEST(FrameContent, SmallDrawingsOnAStillScreenReachTheFrames) {
  PrivateDesktop desktop(screens("1920x1080", ""));
  desktop.exportEnvironment();
  const Rgb grey{128, 128, 128};
  const Rgb red{255, 0, 0};
  const Rgb blue{0, 0, 255};
  const Rgb green{0, 255, 0};
  XScene scene;
  xcb_window_t win = scene.addWindow(0, 0, 1920, 1080, grey);
  scene.warpPointer(5, 5);
  scene.sync();
  CaptureRig rig(0, recorderConfiguration(1280, 720));
  ASSERT_FALSE(rig.start());
  auto first = completeFrameAfter(rig);
  ASSERT_TRUE(first);
  expectColour(pixels(first), 620, 343, grey);

  // Source (x, y) lands at (x, y) * 2/3 of the frame.
  std::int64_t drawn = rig.clock->now().nanoseconds();
  scene.fill(win, 900, 480, 60, 30, red);
  scene.sync();
  auto one = completeFrameAfter(rig, drawn);
  ASSERT_TRUE(one);
  expectColour(pixels(one), 620, 330, red);
  expectColour(pixels(one), 620, 400, grey);

  // Two more at once, one against the bottom edge and one a new window.
  drawn = rig.clock->now().nanoseconds();
  scene.fill(win, 90, 1020, 60, 60, blue);
  scene.addWindow(1500, 60, 120, 90, green);
  scene.sync();
  // The two may come in separate frames: wait for the one that has both.
  std::shared_ptr<MediaSample> both;
  ASSERT_TRUE(rig.collector->waitUntil([&](const Collector::Log& log) {
    for (const auto& d : log.frames(FrameStatus::complete)) {
      const VideoFrame& f = pixels(d.sample);
      if (d.nanos > drawn && std::abs(yuvAt(f, 80, 700).y - expectedYuv(0, 0, 255).y) < 6 &&
          std::abs(yuvAt(f, 1040, 70).y - expectedYuv(0, 255, 0).y) < 6) {
        both = d.sample;
        return true;
      }
    }
    return false;
  }));
  expectColour(pixels(both), 80, 700, blue);
  expectColour(pixels(both), 80, 719, blue);
  expectColour(pixels(both), 1040, 70, green);
  expectColour(pixels(both), 620, 330, red);
  expectColour(pixels(both), 300, 300, grey);
  EXPECT_FALSE(rig.stop());
}

TEST(FrameContent, AnOddFrameHeightIsDeliveredWhole) {
  PrivateDesktop desktop(screens("1366x768", ""));
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
  auto sample = completeFrameAfter(rig);
  ASSERT_TRUE(sample);
  const VideoFrame& f = pixels(sample);
  EXPECT_EQ(f.width(), 1280);
  EXPECT_EQ(f.height(), 719);
  EXPECT_EQ(f.plane(1).rows, 360);
  expectColour(f, 100, 100, teal);
  expectColour(f, 100, 718, orange);
  expectColour(f, 1279, 718, orange);
  EXPECT_FALSE(rig.stop());
}

}  // namespace
}  // namespace kestrano::testing
