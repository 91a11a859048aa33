#include "recorder/capture_settings.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace kestrano {
namespace {

TEST(FrameHeight, KeepsAspectAtWidth1280TruncatingTowardZero) {
  struct Case {
    std::int64_t width, height, expected;
  };
  for (const Case& c :
       {Case{1920, 1080, 720}, Case{2560, 1440, 720}, Case{1440, 900, 800}, Case{1366, 768, 719},
        Case{1512, 982, 831}, Case{1024, 768, 960}, Case{3440, 1440, 535}}) {
    EXPECT_EQ(frameHeight(c.width, c.height), c.expected) << c.width << "x" << c.height;
  }
}

TEST(FrameHeight, DisplayWithoutSizeHasNoHeight) {
  EXPECT_EQ(frameHeight(0, 1080), std::nullopt);
  EXPECT_EQ(frameHeight(1920, 0), std::nullopt);
  EXPECT_EQ(frameHeight(-1920, 1080), std::nullopt);
  EXPECT_EQ(frameHeight(1920, -1080), std::nullopt);
  // A height whose scaled value no longer fits a 64-bit integer.
  EXPECT_EQ(frameHeight(1, std::numeric_limits<std::int64_t>::max()), std::nullopt);
}

TEST(MicrophoneCapacity, FollowsTheRateRatioWithAFloorOf1024) {
  EXPECT_EQ(microphoneCapacity(4800, 48000, 48000), 4800u);
  EXPECT_EQ(microphoneCapacity(4410, 48000, 44100), 4800u);
  EXPECT_EQ(microphoneCapacity(4096, 48000, 44100), 4458u);
  EXPECT_EQ(microphoneCapacity(512, 48000, 44100), 1024u);
  EXPECT_EQ(microphoneCapacity(1000, 48000, 16000), 3000u);
  EXPECT_EQ(microphoneCapacity(0, 48000, 44100), 1024u);
}

TEST(MicrophoneCapacity, AbsurdInputRatesDropTheBuffer) {
  EXPECT_EQ(microphoneCapacity(1024, 48000, 0), std::nullopt);
  EXPECT_EQ(microphoneCapacity(1024, 48000, std::nan("")), std::nullopt);
  // 4294967295 * 48000 / 1 is far beyond 2^32 frames.
  EXPECT_EQ(microphoneCapacity(4294967295u, 48000, 1), std::nullopt);
  EXPECT_EQ(microphoneCapacity(1024, 48000, 1e-300), std::nullopt);
  EXPECT_EQ(microphoneCapacity(1024, 48000, -44100), std::nullopt);
}

}  // namespace
}  // namespace kestrano
