#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>

#include "tests/x11/capture_probe.h"

namespace kestrano::testing {
namespace {

// Sample points sit in the middle of flat areas, so only rounding differs.
constexpr int kTolerance = 6;
constexpr const char* kTwoMonitors = "1280x720+0+0,1920x1080+1280+0";

struct Yuv {
  int y, u, v;
};

Yuv yuvAt(const VideoFrame& f, int x, int y) {
  return Yuv{f.plane(0).data[y * f.plane(0).stride + x],
             f.plane(1).data[(y / 2) * f.plane(1).stride + x / 2],
             f.plane(2).data[(y / 2) * f.plane(2).stride + x / 2]};
}

// What BT.601 limited range (libswscale's default) makes of an RGB colour.
Yuv expectedYuv(Rgb c) {
  return Yuv{static_cast<int>(std::lround(16 + 0.257 * c.r + 0.504 * c.g + 0.098 * c.b)),
             static_cast<int>(std::lround(128 - 0.148 * c.r - 0.291 * c.g + 0.439 * c.b)),
             static_cast<int>(std::lround(128 + 0.439 * c.r - 0.368 * c.g - 0.071 * c.b))};
}

bool near(const VideoFrame& frame, int x, int y, Rgb rgb) {
  Yuv got = yuvAt(frame, x, y), want = expectedYuv(rgb);
  return std::abs(got.y - want.y) <= kTolerance && std::abs(got.u - want.u) <= kTolerance &&
         std::abs(got.v - want.v) <= kTolerance;
}

void expectColour(const VideoFrame& frame, int x, int y, Rgb rgb) {
  Yuv got = yuvAt(frame, x, y);
  EXPECT_TRUE(near(frame, x, y, rgb))
      << "YUV " << got.y << "," << got.u << "," << got.v << " at " << x << "," << y;
}

const VideoFrame& pixels(const std::shared_ptr<MediaSample>& sample) {
  return std::get<VideoFrame>(sample->data());
}

// The first complete frame later than `after` (ns) that `wanted` accepts.
std::shared_ptr<MediaSample> completeFrame(
    CaptureRig& rig, std::int64_t after = 0,
    const std::function<bool(const VideoFrame&)>& wanted = nullptr) {
  std::shared_ptr<MediaSample> found;
  EXPECT_TRUE(rig.collector->waitUntil([&](const Collector::Log& log) {
    for (const auto& d : log.frames(FrameStatus::complete)) {
      if (d.nanos > after && (!wanted || wanted(pixels(d.sample)))) {
        found = d.sample;
        return true;
      }
    }
    return false;
  }));
  return found;
}

void expectDisplays(const std::vector<std::array<std::int64_t, 4>>& rects) {
  std::optional<Error> error;
  std::vector<std::array<std::int64_t, 4>> listed;
  for (const Display& d : listDisplays(error)) {
    listed.push_back({d.x, d.y, d.width, d.height});
  }
  EXPECT_EQ(listed, rects);
}

TEST(FrameContent, EachMonitorsOwnPixelsScaledToTheAskedSize) {
  auto screen = privateScreen("1920x1080", kTwoMonitors);
  expectDisplays({{0, 0, 1280, 720}, {1280, 0, 1920, 1080}});  // in the server's order
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
    CaptureRig rig(m);
    ASSERT_FALSE(rig.start());
    auto sample = completeFrame(rig);
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

// On the second monitor, so both pointer and drawings go through its offset.
// Each change on an otherwise still screen must bring a new complete frame.
TEST(FrameContent, ThePointerAndSmallDrawingsReachTheFrames) {
  auto screen = privateScreen("1920x1080", kTwoMonitors);
  const Rgb grey{128, 128, 128}, red{255, 0, 0}, blue{0, 0, 255}, green{0, 255, 0};
  XScene scene;
  xcb_window_t win = scene.addWindow(1280, 0, 1920, 1080, grey);
  scene.warpPointer(1280 + 960, 540);  // the middle of the monitor
  scene.sync();
  CaptureRig rig(1);
  ASSERT_FALSE(rig.start());
  // Source (x, y) lands at (x, y) * 2/3 of the frame, so the hot spot at
  // (640, 360); Xvfb's default pointer image lies within a few pixels of it.
  auto markedAround = [&](const VideoFrame& f, int cx, int cy) {
    int differing = 0;
    for (int y = std::max(0, cy - 10); y < cy + 12; ++y) {
      for (int x = std::max(0, cx - 10); x < cx + 12; ++x) {
        differing += std::abs(yuvAt(f, x, y).y - expectedYuv(grey).y) > 40 ? 1 : 0;
      }
    }
    return differing;
  };
  auto first = completeFrame(rig);
  ASSERT_TRUE(first);
  EXPECT_GT(markedAround(pixels(first), 640, 360), 10);
  expectColour(pixels(first), 200, 200, grey);

  std::int64_t changed = rig.clock->now().nanoseconds();
  scene.warpPointer(1280 + 100, 100);
  scene.sync();
  auto moved = completeFrame(rig, changed);
  ASSERT_TRUE(moved);
  // Gone from where it was, though nothing was drawn there; drawn where it went.
  EXPECT_EQ(markedAround(pixels(moved), 640, 360), 0);
  EXPECT_GT(markedAround(pixels(moved), 67, 67), 10);

  changed = rig.clock->now().nanoseconds();
  scene.fill(win, 900, 480, 60, 30, red);
  scene.sync();
  auto one = completeFrame(rig, changed);
  ASSERT_TRUE(one);
  expectColour(pixels(one), 620, 330, red);
  expectColour(pixels(one), 620, 400, grey);

  // Two more at once, one against the bottom edge and one a new window; they
  // may come in separate frames: wait for the one that has both.
  changed = rig.clock->now().nanoseconds();
  scene.fill(win, 90, 1020, 60, 60, blue);
  scene.addWindow(1280 + 1500, 60, 120, 90, green);
  scene.sync();
  auto both = completeFrame(rig, changed, [&](const VideoFrame& f) {
    return near(f, 80, 700, blue) && near(f, 1040, 70, green);
  });
  ASSERT_TRUE(both);
  expectColour(pixels(both), 80, 719, blue);
  expectColour(pixels(both), 620, 330, red);
  EXPECT_FALSE(rig.stop());
}

// Without RandR monitors the whole screen is the one display. It stays
// still, so after the first frame only idle frames come, about one a second.
TEST(FrameContent, AnOddHeightIsDeliveredWholeAndAStillScreenGetsIdleFrames) {
  auto screen = privateScreen("1366x768");
  expectDisplays({{0, 0, 1366, 768}});
  const Rgb teal{0, 128, 128}, orange{255, 128, 0};
  XScene scene;
  xcb_window_t win = scene.addWindow(0, 0, 1366, 768, teal);
  scene.fill(win, 0, 760, 1366, 8, orange);  // the bottom rows must survive scaling
  scene.warpPointer(683, 300);
  scene.sync();

  CaptureRig rig(0, 1280, 719);
  ASSERT_FALSE(rig.start());
  ASSERT_TRUE(rig.collector->waitUntil(
      [](const Collector::Log& log) { return log.frames(FrameStatus::idle).size() >= 2; }));
  EXPECT_FALSE(rig.stop());
  auto log = rig.collector->log();
  auto complete = log.frames(FrameStatus::complete), idle = log.frames(FrameStatus::idle);
  ASSERT_FALSE(complete.empty());
  EXPECT_EQ(log.samples.front().status, 0) << "the first frame is complete";
  const VideoFrame& f = pixels(complete.front().sample);
  EXPECT_EQ(f.width(), 1280);
  EXPECT_EQ(f.height(), 719);
  EXPECT_EQ(f.plane(1).rows, 360);
  expectColour(f, 100, 100, teal);
  expectColour(f, 100, 718, orange);
  expectColour(f, 1279, 718, orange);

  // Xvfb may redraw its software pointer once just after the first grab.
  EXPECT_LE(complete.size(), 2u);
  for (const auto& d : idle) {
    EXPECT_TRUE(std::holds_alternative<std::monostate>(d.sample->data()));
  }
  EXPECT_GT(idle[0].nanos - complete.back().nanos, 500'000'000);
  EXPECT_GT(idle[1].nanos - idle[0].nanos, 500'000'000);
}

}  // namespace
}  // namespace kestrano::testing
