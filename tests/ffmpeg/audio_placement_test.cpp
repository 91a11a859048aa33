#include "platform/linux/ffmpeg/audio_placement.h"

#include <gtest/gtest.h>

namespace kestrano::ffmpeg {
namespace {

constexpr std::int64_t kThreshold = 2400;  // 50 ms at 48 kHz

TEST(AudioPlacement, FirstBufferIsPlacedByItsStampAndTheStartIsCut) {
  AudioPlacement late(kThreshold);
  auto d = late.place(14400, 1024);  // sound begins 300 ms in
  EXPECT_EQ(d.silence, 14400);
  EXPECT_EQ(d.skip, 0);
  EXPECT_EQ(late.position(), 14400 + 1024);

  AudioPlacement straddling(kThreshold);
  d = straddling.place(-480, 1024);
  EXPECT_EQ(d.silence, 0);
  EXPECT_EQ(d.skip, 480);
  EXPECT_EQ(straddling.position(), 544);

  AudioPlacement early(kThreshold);
  d = early.place(-2048, 1024);  // wholly before the session
  EXPECT_EQ(d.skip, 1024);
  EXPECT_FALSE(early.started());
  EXPECT_EQ(early.position(), 0);
}

TEST(AudioPlacement, JitterWithinTheThresholdKeepsTheSampleCount) {
  AudioPlacement p(kThreshold);
  p.place(0, 960);
  for (std::int64_t i = 1; i < 100; ++i) {
    std::int64_t jitter = (i % 2 == 0 ? 1 : -1) * 480;  // ±10 ms
    auto d = p.place(i * 960 + jitter, 960);
    EXPECT_EQ(d.silence, 0);
    EXPECT_EQ(d.skip, 0);
  }
  EXPECT_EQ(p.position(), 100 * 960);
}

TEST(AudioPlacement, DriftBeyondTheThresholdIsCorrectedWithoutRepeats) {
  AudioPlacement p(kThreshold);
  p.place(0, 960);
  // Stamps run 100 ms ahead: silence fills the gap.
  auto d = p.place(960 + 4800, 960);
  EXPECT_EQ(d.silence, 4800);
  EXPECT_EQ(p.position(), 960 + 4800 + 960);
  // Stamps fall 80 ms behind: that much is dropped, never played twice.
  std::int64_t pos = p.position();
  d = p.place(pos - 3840, 960);
  EXPECT_EQ(d.skip, 960);
  EXPECT_EQ(p.position(), pos);
  d = p.place(pos - 2880 + 960, 960);
  EXPECT_EQ(d.skip, 0);  // now within the threshold again
}

}  // namespace
}  // namespace kestrano::ffmpeg
