#include "tests/e2e/e2e_fixture.h"

namespace kestrano::testing {
namespace {

TEST_F(EndToEnd, RecordsADesktopWithBothTonesIntoThreeTracks) {
  startDesktop({}, /*scene=*/true);
  auto recorder = launch();
  std::string path = scratch("desk.mp4");

  ASSERT_GT(recordFor(*recorder, path, 5.0), 0);
  EXPECT_EQ(recorder->readRest(1s), "");

  auto streams = probeStreams(path);
  ASSERT_EQ(streams.size(), 3u);
  EXPECT_EQ(streams[0].type, "video");
  EXPECT_EQ(streams[0].codec, "h264");
  EXPECT_EQ(streams[0].profile, "High");
  EXPECT_EQ(streams[0].width, 1280);
  EXPECT_EQ(streams[0].height, 720);
  for (int i : {1, 2}) {
    EXPECT_EQ(streams[i].type, "audio");
    EXPECT_EQ(streams[i].codec, "aac");
    EXPECT_EQ(streams[i].sampleRate, 48000);
    EXPECT_EQ(streams[i].channels, 2);
  }

  auto frames = decodeVideo(path);
  ASSERT_GT(frames.size(), 10u);
  double span = frames.back().seconds - frames.front().seconds;
  EXPECT_GT(span, 4.0);
  // At most 15 frames per second, with one frame of slack for the edges.
  EXPECT_LE(static_cast<double>(frames.size() - 1), 15.0 * span + 1.0);

  // Each tone is in its own track, for the whole recording.
  auto system = decodeAudio(path, 0);
  auto mic = decodeAudio(path, 1);
  EXPECT_GT(system.lengthSeconds(), 4.5);
  EXPECT_GT(mic.lengthSeconds(), 4.5);
  // The video waits for the system audio's first buffer, so the speaker tone
  // is there almost from the start (measured: at most 0.2 s in, 0.86 s on a
  // heavily loaded machine). "OK" waits for the microphone's first buffer
  // too, and the scene's tone plays before the recording starts: the
  // microphone's tone is there from the start (measured: from 0.04-0.18 s).
  constexpr double kSystemStartUp = 0.75;
  constexpr double kMicrophoneStartUp = 0.25;
  for (double t = kMicrophoneStartUp; t + 0.5 <= 4.5; t += 0.5) {
    SCOPED_TRACE("at " + std::to_string(t) + " s");
    if (t >= kSystemStartUp) {
      EXPECT_GT(toneAmplitude(system, kSpeakerHz, system.startSeconds + t, 0.5), 0.03);
    }
    EXPECT_LT(toneAmplitude(system, kMicrophoneHz, system.startSeconds + t, 0.5), 0.01);
    EXPECT_LT(toneAmplitude(mic, kSpeakerHz, mic.startSeconds + t, 0.5), 0.01);
    EXPECT_GT(toneAmplitude(mic, kMicrophoneHz, mic.startSeconds + t, 0.5), 0.03);
  }
}

// The frame is 1280 wide and as high as the first monitor's shape gives.
struct Geometry {
  const char* name;
  std::string size, monitors;
  int height;
};
void PrintTo(const Geometry& g, std::ostream* os) {
  *os << g.name;
}

class RecordedGeometry : public EndToEnd, public ::testing::WithParamInterface<Geometry> {};

TEST_P(RecordedGeometry, FrameSizeFollowsTheFirstMonitor) {
  PrivateDesktop::Options options;
  options.size = GetParam().size;
  options.monitors = GetParam().monitors;
  startDesktop(options, /*scene=*/options.monitors.empty());
  auto recorder = launch();
  std::string path = scratch("geometry.mp4");
  ASSERT_GT(recordFor(*recorder, path, 2.0), 0);
  auto streams = probeStreams(path);
  ASSERT_EQ(streams.size(), 3u);
  EXPECT_EQ(streams[0].width, 1280);
  EXPECT_EQ(streams[0].height, GetParam().height);
}

INSTANTIATE_TEST_SUITE_P(
    EndToEnd, RecordedGeometry,
    ::testing::Values(
        // 719 captured rows, stored with one repeated row: 4:2:0 needs an even height.
        Geometry{"OddHeight", "1366x768", "", 720},
        // 1024 by 768 gives 960 rows; the second monitor would give 720.
        Geometry{"TwoMonitors", "1920x1080", "1024x768+0+0,1920x1080+1024+0", 960}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestrano::testing
