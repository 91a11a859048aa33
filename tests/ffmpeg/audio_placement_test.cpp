#include "platform/linux/ffmpeg/audio_placement.h"

#include <gtest/gtest.h>

#include <vector>

namespace kestrano::ffmpeg {
namespace {

constexpr std::int64_t kThreshold = 2400;  // 50 ms at 48 kHz

// A buffer's stamp (as a sample position) and length, and what is expected
// of it: the decision and the track's position after it.
struct Step {
  std::int64_t stamp, frames, silence, skip, position;
};

TEST(AudioPlacement, PlacesByCountAndRePlacesOnlyBeyondTheThreshold) {
  struct Case {
    const char* name;
    std::vector<Step> steps;
  };
  const std::vector<Case> cases = {
      // The first buffer is placed by its stamp; the part before the start is cut.
      {"late start", {{14400, 1024, 14400, 0, 15424}}},
      {"straddling the start", {{-480, 1024, 0, 480, 544}}},
      // A buffer wholly before the session does not start the track.
      {"wholly early", {{-2048, 1024, 0, 1024, 0}, {1000, 1024, 1000, 0, 2024}}},
      // ±10 ms of jitter, and drift right at the threshold: the count goes on.
      {"jitter",
       {{0, 960, 0, 0, 960},
        {1440, 960, 0, 0, 1920},
        {1440, 960, 0, 0, 2880},
        {5280, 960, 0, 0, 3840}}},
      // 100 ms ahead: silence fills the gap; 80 ms behind: that much is
      // dropped, never played twice; then within the threshold again.
      {"drift",
       {{0, 960, 0, 0, 960},
        {5760, 960, 4800, 0, 6720},
        {2880, 960, 0, 960, 6720},
        {4800, 960, 0, 0, 7680}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    AudioPlacement p(kThreshold);
    for (const Step& s : c.steps) {
      auto d = p.place(s.stamp, s.frames);
      EXPECT_EQ(d.silence, s.silence) << "stamp " << s.stamp;
      EXPECT_EQ(d.skip, s.skip) << "stamp " << s.stamp;
      EXPECT_EQ(p.position(), s.position) << "stamp " << s.stamp;
    }
  }
}

}  // namespace
}  // namespace kestrano::ffmpeg
