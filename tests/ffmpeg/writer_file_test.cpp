// Writes synthetic media through the writer and reads the finished file back.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>

#include "tests/ffmpeg/writer_test_support.h"

namespace kestrano::testing {
namespace {

constexpr std::int64_t kSession = 5'000'000'000;  // session start on the test clock, ns
constexpr std::int64_t kMs = 1'000'000;

std::int64_t samplesToNs(std::int64_t samples) {
  return samples * 1'000'000'000 / 48000;
}

// Feeds `seconds` of continuous sine to an audio input in 1024-frame buffers
// stamped exactly, starting `offsetNs` after the session start.
void feedSine(AssetWriterInput& input, double seconds, double hz, std::int64_t offsetNs,
              bool interleaved) {
  auto total = static_cast<std::int64_t>(seconds * 48000);
  for (std::int64_t at = 0; at < total; at += 1024) {
    auto n = static_cast<std::uint32_t>(std::min<std::int64_t>(1024, total - at));
    ASSERT_TRUE(appendWhenReady(
        input, sineBuffer(at, n, hz, kSession + offsetNs + samplesToNs(at), interleaved)));
  }
}

// Largest difference between decoded sound and the sine it should be, where
// decoded sample n holds sine sample n + shift (0 Hz: silence).
double sineError(const std::vector<float>& decoded, double hz, std::int64_t shift, std::size_t from,
                 std::size_t to) {
  double worst = 0;
  for (std::size_t n = from; n < std::min(to, decoded.size()); ++n) {
    double want = 0.5 * std::sin(2 * std::numbers::pi * hz *
                                 static_cast<double>(static_cast<std::int64_t>(n) + shift) / 48000);
    worst = std::max(worst, std::fabs(want - decoded[n]));
  }
  return worst;
}

TEST(WriterFile, ThreeTracksWithTheirSettingsVariableFrameTimesAndAnOrdinaryIndex) {
  TemporaryFolder folder;
  std::string path = folder.path("rec.mp4");
  ThreeTrackWriter w = makeStartedWriter(path, kSession);

  // 4 s of at most 15 fps with uneven gaps of 67-106 ms (a screen that
  // changes unevenly, a loaded machine), and a pause of a second in the
  // middle (a still screen).
  std::vector<std::int64_t> frameMs;
  std::uint32_t seed = 7;
  for (std::int64_t t = 0; t < 4000;) {
    if (t < 1500 || t > 2500) {
      frameMs.push_back(t);
    }
    seed = seed * 1664525u + 1013904223u;
    t += 67 + static_cast<std::int64_t>(seed >> 8) % 40;
  }
  for (std::size_t i = 0; i < frameMs.size(); ++i) {
    ASSERT_TRUE(appendWhenReady(
        *w.video, i420Frame(1280, 720, kSession + frameMs[i] * kMs, static_cast<int>(i))));
  }
  feedSine(*w.systemAudio, 4.0, 440, 0, true);
  feedSine(*w.mic, 4.0, 997, 0, false);
  ASSERT_TRUE(w.finishAll());
  EXPECT_EQ(w.writer->status(), WriterStatus::completed);
  EXPECT_FALSE(w.writer->error());

  auto streams = probeStreams(path);
  ASSERT_EQ(streams.size(), 3u);
  const StreamInfo& v = streams[0];
  EXPECT_EQ(v.codec, "h264");
  EXPECT_EQ(v.profile, "High");
  EXPECT_EQ(v.width, 1280);
  EXPECT_EQ(v.height, 720);
  for (int i : {1, 2}) {
    const StreamInfo& a = streams[static_cast<std::size_t>(i)];
    EXPECT_EQ(a.codec, "aac");
    EXPECT_EQ(a.profile, "LC");
    EXPECT_EQ(a.sampleRate, 48000);
    EXPECT_EQ(a.channels, 2);
    EXPECT_NEAR(a.durationSeconds, 4.0, 1024.0 / 48000) << "track " << i;
  }

  // Every frame once, at its own time, and the last picture once more (where
  // the last frame and the sound end, see below).
  std::vector<double> pts;
  for (const auto& p : v.packets) {
    pts.push_back(p.seconds);
  }
  std::sort(pts.begin(), pts.end());
  ASSERT_EQ(pts.size(), frameMs.size() + 1);
  for (std::size_t i = 0; i < frameMs.size(); ++i) {
    EXPECT_NEAR(pts[i] * 1000, static_cast<double>(frameMs[i]), 2.8) << i;  // on a 1/180 s grid
  }

  // A key frame at least every 30 frames (in decode order).
  int sinceKey = 0;
  ASSERT_TRUE(v.packets.front().key);
  for (const auto& p : v.packets) {
    sinceKey = p.key ? 0 : sinceKey + 1;
    EXPECT_LT(sinceKey, 30);
  }

  // An ordinary MP4: one index with sample tables, no fragments.
  std::vector<std::string> boxes = topLevelBoxes(path);
  EXPECT_NE(std::find(boxes.begin(), boxes.end(), "moov"), boxes.end());
  EXPECT_EQ(std::find(boxes.begin(), boxes.end(), "moof"), boxes.end());
  EXPECT_TRUE(moovContains(path, "stsz"));
  EXPECT_FALSE(moovContains(path, "mvex"));
  EXPECT_EQ(decodeErrors(path), "");

  // Both sounds come back continuous and in phase from the track's start.
  EXPECT_LT(sineError(decodeAudio(path, 0).mono, 440, 0, 2048, 4 * 48000 - 2048), 0.05);
  EXPECT_LT(sineError(decodeAudio(path, 1).mono, 997, 0, 2048, 4 * 48000 - 2048), 0.05);
}

TEST(WriterFile, OddHeightIsPaddedAndOtherFormatsAndSizesAreConverted) {
  TemporaryFolder folder;
  std::string path = folder.path("odd.mp4");
  ThreeTrackWriter w = makeStartedWriter(path, kSession, 719);
  int frames = 0;
  for (; frames < 20; ++frames) {
    ASSERT_TRUE(
        appendWhenReady(*w.video, i420Frame(1280, 719, kSession + frames * 66 * kMs, frames)));
  }
  // bgra at the track size, and a frame of another size (scaled).
  ASSERT_TRUE(appendWhenReady(*w.video, bgraFrame(1280, 719, kSession + frames++ * 66 * kMs, 1)));
  ASSERT_TRUE(appendWhenReady(*w.video, bgraFrame(1366, 768, kSession + frames++ * 66 * kMs, 2)));
  ASSERT_TRUE(appendWhenReady(*w.video, i420Frame(640, 360, kSession + frames++ * 66 * kMs, 3)));
  ASSERT_TRUE(w.finishAll());

  auto streams = probeStreams(path);
  ASSERT_EQ(streams.size(), 3u);
  EXPECT_EQ(streams[0].width, 1280);
  EXPECT_EQ(streams[0].height, 720);  // 719 rows plus one repeated row
  // Every frame, and without sound the last picture once more where its
  // nominal frame time ends, so that it keeps that time in the file.
  EXPECT_EQ(static_cast<int>(streams[0].packets.size()), frames + 1);
  EXPECT_NEAR(streams[0].durationSeconds, (frames - 1) * 0.066 + 1.0 / 15, 0.002);
  EXPECT_EQ(decodeErrors(path), "");
}

TEST(WriterFile, LateSoundStartsWithSilenceEarlyMediaIsCutAndJitterIsAbsorbed) {
  TemporaryFolder folder;
  std::string path = folder.path("late.mp4");
  ThreeTrackWriter w = makeStartedWriter(path, kSession);
  // A frame from before the session start is not written.
  ASSERT_TRUE(appendWhenReady(*w.video, i420Frame(1280, 720, kSession - 100 * kMs, 0)));
  for (int i = 0; i < 30; ++i) {
    ASSERT_TRUE(appendWhenReady(*w.video, i420Frame(1280, 720, kSession + i * 66 * kMs, i)));
  }
  // System audio begins 300 ms into the recording.
  feedSine(*w.systemAudio, 1.7, 440, 300 * kMs, false);
  // The microphone's first buffer straddles the session start by 480 frames;
  // the later 20 ms buffers are stamped after conversion, with ±10 ms of
  // jitter around their true time (a fixed pseudo-random sequence).
  const std::int64_t micFrames = 2 * 48000;
  std::uint32_t seed = 12345;
  for (std::int64_t at = 0; at < micFrames; at += 960) {
    seed = seed * 1664525u + 1013904223u;
    std::int64_t jitter = at == 0 ? 0 : static_cast<std::int64_t>(seed >> 8) % 21 - 10;
    ASSERT_TRUE(appendWhenReady(
        *w.mic,
        sineBuffer(at, 960, 997, kSession - samplesToNs(480) + samplesToNs(at) + jitter * kMs)));
  }
  ASSERT_TRUE(w.finishAll());

  auto streams = probeStreams(path);
  ASSERT_EQ(streams.size(), 3u);
  EXPECT_EQ(streams[0].packets.size(), 31u);  // 30 frames and the repeat at the end
  for (const auto& s : streams) {
    EXPECT_NEAR(s.startSeconds, 0.0, 0.001) << s.type;
  }
  std::vector<float> system = decodeAudio(path, 0).mono;
  ASSERT_GT(system.size(), 48000u * 19 / 10);
  EXPECT_LT(sineError(system, 0, 0, 0, 14400 - 1024), 0.01);  // silent until 300 ms
  EXPECT_LT(sineError(system, 440, -14400, 14400 + 1024, 48000 * 19 / 10), 0.05);
  EXPECT_NEAR(streams[1].durationSeconds, 2.0, 1024.0 / 48000);
  // The video's last frame came at 1.914 s; the track still lasts until the
  // sound ends.
  EXPECT_NEAR(streams[0].durationSeconds, 2.0, 1024.0 / 48000);

  // The part before the start is cut: the track begins 480 frames into the
  // sine. Then nothing is lost, nothing twice: the length matches and the
  // phase holds.
  std::vector<float> mic = decodeAudio(path, 1).mono;
  EXPECT_NEAR(static_cast<double>(mic.size()), static_cast<double>(micFrames - 480), 1024);
  EXPECT_LT(sineError(mic, 997, 480, 2048, micFrames - 2048), 0.05);
}

TEST(WriterFile, TheLastPictureIsRepeatedAtTheEndOfTheSoundButNotCloserThanAFrame) {
  // A still screen: the last frame comes at 933 ms and the sound ends this
  // long after it.
  for (std::int64_t soundAfterMs : {8, 20, 100}) {
    SCOPED_TRACE(soundAfterMs);
    TemporaryFolder folder;
    std::string path = folder.path("still.mp4");
    ThreeTrackWriter w = makeStartedWriter(path, kSession);
    const std::int64_t lastMs = 14 * 1000 / 15;
    for (int i = 0; i < 15; ++i) {
      ASSERT_TRUE(
          appendWhenReady(*w.video, i420Frame(1280, 720, kSession + i * 1000 / 15 * kMs, 0)));
    }
    feedSine(*w.systemAudio, static_cast<double>(lastMs + soundAfterMs) / 1000, 440, 0, false);
    ASSERT_TRUE(w.finishAll());

    auto streams = probeStreams(path);
    std::vector<double> pts;
    for (const auto& p : streams[0].packets) {
      pts.push_back(p.seconds);
    }
    std::sort(pts.begin(), pts.end());
    ASSERT_EQ(pts.size(), 16u);
    // The repeat reaches the end of the sound, yet never comes sooner than a
    // frame after the picture before.
    double end = static_cast<double>(std::max<std::int64_t>(soundAfterMs, 67) + lastMs) / 1000;
    EXPECT_NEAR(pts.back(), end, 0.0011);
    EXPECT_GE(pts.back() - pts[14], 1.0 / 15 - 0.0001);
  }
}

}  // namespace
}  // namespace kestrano::testing
