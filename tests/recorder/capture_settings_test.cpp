#include "recorder/capture_settings.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace kestrano {
namespace {

// The two size rules a recording's file follows: the frame height keeps the
// display's aspect at width 1280, truncated; a converted microphone buffer
// gets the frames the rate ratio gives, never fewer than 1024.
TEST(CaptureSettings, FrameHeightAndMicrophoneCapacityRules) {
  struct Height {
    std::int64_t width, height;
    std::optional<std::int64_t> expected;
  };
  const std::int64_t huge = std::numeric_limits<std::int64_t>::max();  // scaled, beyond 2^63
  for (const Height& c : {Height{1920, 1080, 720}, Height{1366, 768, 719}, Height{1512, 982, 831},
                          Height{1024, 768, 960}, Height{3440, 1440, 535}, Height{0, 1080, {}},
                          Height{1920, 0, {}}, Height{-1920, 1080, {}}, Height{1, huge, {}}}) {
    EXPECT_EQ(frameHeight(c.width, c.height), c.expected) << c.width << "x" << c.height;
  }
  struct Capacity {
    std::uint32_t frames;
    double inputRate;
    std::optional<std::uint32_t> expected;
  };
  for (const Capacity& c :
       {Capacity{4800, 48000, 4800}, Capacity{4096, 44100, 4458}, Capacity{512, 44100, 1024},
        Capacity{1000, 16000, 3000}, Capacity{1024, 0, {}}, Capacity{1024, std::nan(""), {}},
        Capacity{1024, -44100, {}}, Capacity{4294967295u, 1, {}}}) {
    EXPECT_EQ(microphoneCapacity(c.frames, 48000, c.inputRate), c.expected)
        << c.frames << " frames at " << c.inputRate;
  }
}

}  // namespace
}  // namespace kestrano
