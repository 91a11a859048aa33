#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "tests/e2e/e2e_fixture.h"

namespace kestrano::testing {
namespace {

constexpr int kFlashes = 5;

// Flash onsets. A still screen yields no frames, so the dark frame before a
// flash may be long gone; but a changed screen is grabbed at the next tick of
// the 1/15 s cadence, so the flash began on average half a tick before the
// first bright frame.
std::vector<double> flashOnsets(const std::vector<DecodedFrame>& frames) {
  constexpr double kHalfTick = 1.0 / 30;
  std::vector<double> onsets;
  for (size_t i = 1; i < frames.size(); ++i) {
    if (frames[i].meanLuma > 128 && frames[i - 1].meanLuma <= 128) {
      onsets.push_back(frames[i].seconds - kHalfTick);
    }
  }
  return onsets;
}

// Beep onsets: where the 2 ms envelope first rises above a quarter of the
// beep's level after at least 300 ms of quiet.
std::vector<double> beepOnsets(const DecodedAudio& audio) {
  std::vector<double> onsets;
  const size_t window = static_cast<size_t>(audio.sampleRate / 500);
  double lastLoud = -1;
  for (size_t start = 0; start + window <= audio.mono.size(); start += window) {
    double peak = 0;
    for (size_t i = start; i < start + window; ++i) {
      peak = std::max(peak, static_cast<double>(std::fabs(audio.mono[i])));
    }
    double t = audio.startSeconds + static_cast<double>(start) / audio.sampleRate;
    if (peak > 0.12) {
      if (lastLoud < 0 || t - lastLoud > 0.3) {
        onsets.push_back(t);
      }
      lastLoud = t;
    }
  }
  return onsets;
}

// Mean distance from each flash to the nearest beep; NaN when none pair up.
double meanOffset(const std::vector<double>& flashes, const std::vector<double>& beeps) {
  double sum = 0;
  int n = 0;
  for (double f : flashes) {
    double best = 1e9;
    for (double b : beeps) {
      if (std::fabs(b - f) < std::fabs(best)) {
        best = b - f;
      }
    }
    if (std::fabs(best) < 0.5) {
      std::printf("  flash at %.3f s: audio %+.1f ms\n", f, best * 1000);
      sum += best;
      ++n;
    }
  }
  return n >= kFlashes - 1 ? sum / n : NAN;
}

TEST_F(EndToEnd, AudioTracksLineUpWithTheVideo) {
  startDesktop({}, /*scene=*/false);
  auto recorder = launch();
  std::string path = scratch("sync.mp4");
  ASSERT_TRUE(startRecording(*recorder, path));
  std::string scene =
      desktop_->environmentAssignments() + KESTRANO_AV_SCENE + " " + std::to_string(kFlashes);
  ASSERT_EQ(std::system(scene.c_str()), 0);
  ASSERT_GT(stopRecording(*recorder, path), 0);

  auto flashes = flashOnsets(decodeVideo(path));
  ASSERT_GE(flashes.size(), static_cast<size_t>(kFlashes - 1));
  double system = meanOffset(flashes, beepOnsets(decodeAudio(path, 0)));
  double mic = meanOffset(flashes, beepOnsets(decodeAudio(path, 1)));
  std::printf("audio minus video: system %+.1f ms, microphone %+.1f ms\n", system * 1000,
              mic * 1000);
  ASSERT_FALSE(std::isnan(system));
  ASSERT_FALSE(std::isnan(mic));
  EXPECT_LT(std::fabs(system), 0.1);
  EXPECT_LT(std::fabs(mic), 0.1);
}

}  // namespace
}  // namespace kestrano::testing
