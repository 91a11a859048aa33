#include "recorder/capture_settings.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace kestrano {
namespace {

TEST(CaptureSettings, FrameHeightKeepsTheAspectAtWidth1280TruncatingTowardZero) {
  struct Case {
    std::int64_t width, height;
    std::optional<std::int64_t> expected;
  };
  const std::int64_t huge = std::numeric_limits<std::int64_t>::max();  // scaled, beyond 2^63
  for (const Case& c :
       {Case{1920, 1080, 720}, Case{2560, 1440, 720}, Case{1440, 900, 800}, Case{1366, 768, 719},
        Case{1512, 982, 831}, Case{1024, 768, 960}, Case{3440, 1440, 535}, Case{0, 1080, {}},
        Case{1920, 0, {}}, Case{-1920, 1080, {}}, Case{1920, -1080, {}}, Case{1, huge, {}}}) {
    EXPECT_EQ(frameHeight(c.width, c.height), c.expected) << c.width << "x" << c.height;
  }
}

TEST(CaptureSettings, MicrophoneCapacityFollowsTheRateRatioWithAFloorOf1024) {
  struct Case {
    std::uint32_t frames;
    double inputRate;
    std::optional<std::uint32_t> expected;
  };
  for (const Case& c : {Case{4800, 48000, 4800}, Case{4410, 44100, 4800}, Case{4096, 44100, 4458},
                        Case{512, 44100, 1024}, Case{1000, 16000, 3000}, Case{0, 44100, 1024},
                        // Absurd input rates drop the buffer.
                        Case{1024, 0, {}}, Case{1024, std::nan(""), {}}, Case{1024, 1e-300, {}},
                        Case{1024, -44100, {}}, Case{4294967295u, 1, {}}}) {
    EXPECT_EQ(microphoneCapacity(c.frames, 48000, c.inputRate), c.expected)
        << c.frames << " frames at " << c.inputRate;
  }
}

}  // namespace
}  // namespace kestrano
