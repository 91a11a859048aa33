// The host's controls over the fake platform: where pauses cut each track and
// where the timeline continues, where marks land, what status reports.
#include <gtest/gtest.h>

#include "tests/recorder/recorder_fixture.h"

namespace kestrano::testing {
namespace {

constexpr Track kChapters = Track(3);

std::int64_t ms(const MediaSample& sample) {
  return sample.presentationTimeStamp().nanoseconds() / 1'000'000;
}

// (time in ms, frames or key-frame request) of what reached a track.
std::vector<std::pair<std::int64_t, std::int64_t>> landed(const Rig& rig, Track track) {
  std::vector<std::pair<std::int64_t, std::int64_t>> out;
  for (const auto& [sample, sessionStarted] : rig.appended(track)) {
    const auto& attachments = sample->sampleAttachments();
    const bool key = attachments && attachments->front()->count(kForceKeyFrameKey);
    out.emplace_back(ms(*sample), track == kVideo ? key : sample->numSamples());
  }
  return out;
}

TEST(Pauses, CutEveryTrackAtTheSameMomentsAndTheTimelineGoesOnWithoutAGap) {
  Rig rig;
  auto at = [&](std::int64_t t) { rig.fake->clock = t * 1'000'000; };
  const auto expectError = [](std::optional<Error> e, const char* what) {
    EXPECT_EQ(e ? e->localizedDescription() : "none", what);
  };
  expectError(rig.recorder->pause(), "not recording");
  expectError(rig.recorder->mark("early"), "not recording");
  EXPECT_FALSE(rig.recorder->status().recording);
  ASSERT_EQ(rig.start(), std::nullopt);
  rig.deliver(screenFrame(7000));                                       // starts the session
  rig.fake->deliverSample(systemAudio(7000), StreamOutputType::audio);  // 10 ms each
  at(7100);
  EXPECT_EQ(rig.recorder->pause(), std::nullopt);
  expectError(rig.recorder->pause(), "already paused");
  rig.fake->deliverSample(systemAudio(7095), StreamOutputType::audio);  // half before the pause
  rig.deliver(screenFrame(7100));
  at(7300);
  rig.fake->deliverBuffer(micBuffer(AudioFormat::standard(44100, 1), 441));
  EXPECT_EQ(rig.recorder->mark("in the pause"), std::nullopt);
  const RecordingStatus paused = rig.recorder->status();
  EXPECT_EQ(std::tuple(paused.recording, paused.paused, paused.mediaMilliseconds),
            std::tuple(true, true, 100));
  at(7600);
  EXPECT_EQ(rig.recorder->resume(), std::nullopt);
  expectError(rig.recorder->resume(), "not paused");
  rig.fake->deliverSample(systemAudio(7595), StreamOutputType::audio);  // half after the resume
  rig.deliver(screenFrame(7590));                                       // late, of the pause
  rig.deliver(screenFrame(7650));
  rig.deliver(screenFrame(7700));
  at(7800);
  rig.fake->deliverBuffer(micBuffer(AudioFormat::standard(44100, 1), 441));
  EXPECT_EQ(rig.recorder->mark("after"), std::nullopt);
  EXPECT_EQ(rig.recorder->status().mediaMilliseconds, 300);

  EXPECT_EQ(landed(rig, kVideo),
            (std::vector<std::pair<std::int64_t, std::int64_t>>{{7000, 0}, {7150, 1}, {7200, 0}}));
  EXPECT_EQ(landed(rig, kSystemAudio), (std::vector<std::pair<std::int64_t, std::int64_t>>{
                                           {7000, 480}, {7095, 240}, {7100, 240}}));
  EXPECT_EQ(landed(rig, kMicrophone),
            (std::vector<std::pair<std::int64_t, std::int64_t>>{{7300, 480}}));
  EXPECT_EQ(landed(rig, kChapters),
            (std::vector<std::pair<std::int64_t, std::int64_t>>{{7100, 1}, {7300, 1}}));
  const auto& title = std::get<std::string>(rig.appended(kChapters)[1].first->data());
  EXPECT_EQ(title, "after");
  rig.recorder->stop();
  expectError(rig.recorder->resume(), "not recording");
}

TEST(Status, ReportsTheFileSizeAndEachSourcesPeakOverTheLastSecond) {
  Rig rig;
  ASSERT_EQ(rig.start(), std::nullopt);
  PcmBuffer loud(AudioFormat::standard(48000, 2), 480);
  loud.setFrameLength(480);
  loud.data(1)[7] = -0.5f;
  const MediaTime time = MediaTime::make(7000, 1000);
  rig.fake->deliverSample(
      MediaSample::makeAudio(std::move(loud),
                             SampleTimingInfo{MediaTime::make(1, 48000), time, time}),
      StreamOutputType::audio);
  rig.fake->deliverBuffer(micBuffer(AudioFormat::standard(44100, 1), 441, 0.0f));
  RecordingStatus status = rig.recorder->status();
  EXPECT_EQ(status.bytes, 100);  // the fake's file once writing
  ASSERT_TRUE(status.systemAudioDbfs.has_value());
  EXPECT_NEAR(*status.systemAudioDbfs, -6.02, 0.01);
  EXPECT_EQ(status.microphoneDbfs, std::nullopt);  // digital silence
  rig.fake->clock = 8'050'000'000;                 // over a second later
  EXPECT_EQ(rig.recorder->status().systemAudioDbfs, std::nullopt);
}

}  // namespace
}  // namespace kestrano::testing
