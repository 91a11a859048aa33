#include "platform/linux/x11/frame_ticker.h"

#include <gtest/gtest.h>

namespace kestrano {
namespace {

using namespace std::chrono_literals;

TEST(FrameTicker, TicksOnAGridAndSkipsTicksMissedRatherThanMakingThemUp) {
  const FrameTicker::Clock::time_point t0{};
  FrameTicker ticker(100ms, t0);
  EXPECT_EQ(ticker.due(), t0);
  const struct {
    std::chrono::milliseconds ranAt;
    std::chrono::milliseconds nextDue;
  } ticks[] = {
      {0ms, 100ms},                    // on time
      {103ms, 200ms},                  // a little late: the grid holds
      {200ms, 300ms}, {550ms, 600ms},  // held up past two ticks: both skipped
      {600ms, 700ms}, {800ms, 900ms},  // ran when the next one was due: that one too
  };
  for (const auto& t : ticks) {
    ticker.ticked(t0 + t.ranAt);
    EXPECT_EQ(ticker.due(), t0 + t.nextDue) << "after a tick at " << t.ranAt.count() << " ms";
  }
}

TEST(FrameTicker, SpacesSamplesByTheIntervalAndAsksForAnIdleFrameASecondOn) {
  FrameTicker ticker(100ms, FrameTicker::Clock::time_point{});
  EXPECT_EQ(ticker.waitBeforeSample(5), 0) << "the first sample waits for nothing";
  EXPECT_FALSE(ticker.idleFrameDue(5'000'000'000)) << "the first frame is a complete one";
  ticker.sampled(1'000'000'000);
  const struct {
    std::int64_t now;
    std::int64_t wait;
    bool idle;
  } checks[] = {
      {1'040'000'000, 60'000'000, false},
      {1'100'000'000, 0, false},
      {1'999'999'999, 0, false},
      {2'000'000'000, 0, true},
  };
  for (const auto& c : checks) {
    EXPECT_EQ(ticker.waitBeforeSample(c.now), c.wait) << "at " << c.now;
    EXPECT_EQ(ticker.idleFrameDue(c.now), c.idle) << "at " << c.now;
  }
}

}  // namespace
}  // namespace kestrano
