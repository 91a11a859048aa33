// The pure parts of screen capture: the scaler's changed-band pass and the
// frame ticker's grid.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "platform/linux/x11/frame_scaler.h"
#include "platform/linux/x11/frame_ticker.h"

namespace kestrano::x11 {
namespace {

using namespace std::chrono_literals;

// Whether two frames agree in every plane's visible bytes.
bool same(const VideoFrame& a, const VideoFrame& b) {
  for (int i = 0; i < 3; ++i) {
    for (int row = 0; row < a.plane(i).rows; ++row) {
      if (!std::equal(
              a.plane(i).data + row * a.plane(i).stride,
              a.plane(i).data + row * a.plane(i).stride + (i ? (a.width() + 1) / 2 : a.width()),
              b.plane(i).data + row * b.plane(i).stride)) {
        return false;
      }
    }
  }
  return true;
}

// A scaler kept across pictures re-scales only the rows it is told changed;
// each frame must be what a fresh scaler's whole pass gives.
TEST(FrameScaler, ChangedBandsGiveWhatAWholePassGives) {
  const struct {
    int w, h, outW, outH;
  } sizes[] = {{1920, 1080, 1280, 720}, {1366, 768, 1280, 719}};
  for (const auto& s : sizes) {
    SCOPED_TRACE(s.h);
    // Text-like detail everywhere, so any misplaced row shows.
    std::vector<std::uint8_t> picture(static_cast<std::size_t>(s.w) * s.h * 4);
    std::uint32_t state = 12345;
    for (auto& p : picture) {
      p = static_cast<std::uint8_t>((state = state * 1103515245 + 12345) >> 24);
    }
    std::optional<Error> error;
    auto scaler = FrameScaler::create(s.w, s.h, s.outW, s.outH, error);
    ASSERT_TRUE(scaler);
    // Rows painted {first, count}: the middle, either edge, odd rows that
    // straddle units, two at once; reported with spans past the edges,
    // reversed, empty or overlapping, which must change nothing.
    const std::vector<std::vector<RowSpan>> changes = {
        {{500, 510}},  // the first picture is scaled whole whatever the rows say
        {{400, 440}, {-50, -1}, {5000, 6000}, {300, 200}, {100, 100}},
        {{0, 7}},
        {{s.h - 7, s.h}},
        {{401, 402}},
        {{-1000, 4}, {s.h - 4, 1'000'000}},
        {{s.h - 50, s.h - 20}, {20, 70}, {30, 40}},
        {},
    };
    std::uint8_t value = 1;
    int partial = 0;
    for (const auto& rows : changes) {
      for (const auto& span : rows) {
        for (int y = std::max(span.first, 0); y < std::min(span.end, s.h); ++y) {
          for (int x = 0; x < s.w * 4; x += 3) {
            picture[static_cast<std::size_t>(y) * s.w * 4 + x] =
                static_cast<std::uint8_t>(value + x);
          }
        }
        value += 40;
      }
      std::optional<VideoFrame> banded = scaler->scale(picture.data(), s.w * 4, rows);
      partial += scaler->lastScaledRows() < s.h ? 1 : 0;
      auto fresh = FrameScaler::create(s.w, s.h, s.outW, s.outH, error);
      EXPECT_TRUE(same(*banded, *fresh->scale(picture.data(), s.w * 4)));
    }
    // Only a small ratio (here 3:2) has bands to scale alone.
    EXPECT_GE(partial, s.outH == 720 ? 5 : 0) << "the changed-band pass was never taken";
  }
  std::optional<Error> error;
  EXPECT_FALSE(FrameScaler::create(0, 1080, 1280, 720, error));
  ASSERT_TRUE(error);
  EXPECT_NE(error->description.find("cannot scale"), std::string::npos);
}

TEST(FrameTicker, TicksOnAGridSpacesSamplesAndAsksForAnIdleFrameASecondOn) {
  const FrameTicker::Clock::time_point t0{};
  FrameTicker ticker(100ms, t0);
  EXPECT_EQ(ticker.due(), t0);
  EXPECT_EQ(ticker.waitBeforeSample(5), 0) << "the first sample waits for nothing";
  EXPECT_FALSE(ticker.idleFrameDue(5'000'000'000)) << "the first frame is a complete one";
  const struct {
    std::chrono::milliseconds ranAt, nextDue;
  } ticks[] = {
      {0ms, 100ms},                    // on time
      {103ms, 200ms},                  // a little late: the grid holds
      {200ms, 300ms}, {550ms, 600ms},  // held up past two ticks: both skipped, not made up
      {600ms, 700ms}, {800ms, 900ms},  // ran when the next one was due: that one too
  };
  for (const auto& t : ticks) {
    ticker.ticked(t0 + t.ranAt);
    EXPECT_EQ(ticker.due(), t0 + t.nextDue) << "after a tick at " << t.ranAt.count() << " ms";
  }
  ticker.sampled(1'000'000'000);
  const struct {
    std::int64_t now, wait;
    bool idle;
  } samples[] = {{1'040'000'000, 60'000'000, false},
                 {1'100'000'000, 0, false},
                 {1'999'999'999, 0, false},
                 {2'000'000'000, 0, true}};
  for (const auto& c : samples) {
    EXPECT_EQ(ticker.waitBeforeSample(c.now), c.wait) << "at " << c.now;
    EXPECT_EQ(ticker.idleFrameDue(c.now), c.idle) << "at " << c.now;
  }
}

}  // namespace
}  // namespace kestrano::x11
