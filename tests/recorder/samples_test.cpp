#include <gtest/gtest.h>

#include <thread>

#include "tests/recorder/recorder_fixture.h"

namespace kestrano::testing {
namespace {

// What the stream delivers, at a time in milliseconds; or its own stop, with an error.
enum Kind { kFrame, kIdleFrame, kNotReadyFrame, kOtherType, kAudio, kStreamStops };
using Delivery = std::pair<Kind, std::int64_t>;

void deliver(Rig& rig, Kind kind, std::int64_t ms) {
  if (kind == kAudio) {
    return rig.fake->deliverSample(systemAudio(ms), StreamOutputType::audio);
  }
  if (kind == kStreamStops) {
    return rig.fake->delegate.lock()->streamDidStopWithError(*rig.fake,
                                                             Error{"capture", 7, "gone"});
  }
  auto frame = screenFrame(ms, kind == kIdleFrame ? 1 : 0);
  frame->setDataReady(kind != kNotReadyFrame);
  rig.fake->deliverSample(frame,
                          kind == kOtherType ? StreamOutputType(2) : StreamOutputType::screen);
}

TEST(SampleRouting, TheFirstSampleThatReachesTheWriterStartsTheSessionOnce) {
  struct Row {
    std::string failingStep;  // fails once
    std::vector<Delivery> deliveries;
    Times sessionStarts, video, system;
  };
  const std::vector<Row> rows = {
      {"", {{kAudio, 500}, {kFrame, 510}, {kAudio, 520}}, {500}, {510}, {500, 520}},
      {"", {{kIdleFrame, 7}, {kAudio, 20}, {kFrame, 30}}, {7}, {30}, {20}},
      {"", {{kOtherType, 9}, {kFrame, 10}}, {9}, {10}, {}},
      {"", {{kNotReadyFrame, 1}, {kFrame, 2}, {kAudio, 3}}, {2}, {2}, {3}},
      // Not ready: that sample is lost at once, and the next is tried afresh.
      {"ready video", {{kFrame, 1}, {kFrame, 2}, {kAudio, 3}}, {1}, {2}, {3}},
      {"ready audio#1", {{kAudio, 1}, {kAudio, 2}, {kFrame, 3}}, {1}, {3}, {2}},
      {"writer.status", {{kFrame, 1}, {kAudio, 2}}, {2}, {}, {2}},
      // A stream that stops by itself changes nothing: the other samples go on.
      {"", {{kFrame, 1}, {kStreamStops, 0}, {kFrame, 8}, {kAudio, 9}}, {1}, {1, 8}, {9}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.failingStep + " first at " + std::to_string(row.deliveries[0].second));
    Rig rig;
    ASSERT_EQ(rig.start(), std::nullopt);
    rig.fake->fail(row.failingStep, std::nullopt, 1);
    for (auto [kind, ms] : row.deliveries) {
      deliver(rig, kind, ms);
    }
    EXPECT_EQ(rig.fake->locked([&] { return rig.fake->sessionStarts; }), row.sessionStarts);
    EXPECT_EQ(rig.times(kVideo), row.video);
    EXPECT_EQ(rig.times(kSystemAudio), row.system);
    EXPECT_EQ(rig.times(kMicrophone), Times{});
  }
}

const AudioFormat kMicFormat = AudioFormat::standard(44100, 1);  // the fake's default

TEST(MicrophonePath, ConvertsStampsAndPackagesOnlyOnceTheSessionStarted) {
  Rig rig;
  ASSERT_EQ(rig.start(), std::nullopt);
  rig.fake->deliverBuffer(micBuffer(kMicFormat, 4410));  // before the session: dropped unconverted
  rig.deliver(screenFrame(1));
  rig.fake->deliverBuffer(micBuffer(kMicFormat, 4410, 100.0f));
  // 512 frames convert to 557, far below the room the converter is given: it
  // asks again, and must not get the same frames twice.
  rig.fake->deliverBuffer(micBuffer(kMicFormat, 512));

  const auto samples = rig.appended(kMicrophone);
  ASSERT_EQ(samples.size(), 2u);
  EXPECT_EQ(samples[1].first->numSamples(), 557);

  const MediaSample& sample = *samples[0].first;
  EXPECT_EQ(std::tuple(samples[0].second, sample.presentationTimeStamp(), sample.numSamples()),
            std::tuple(true, MediaTime::make(7'000'000'000, kNanosecondTimescale), 4800));
  ASSERT_TRUE(sample.dataIsReady() && sample.formatDescription());
  EXPECT_EQ(std::get<AudioFormatDescription>(*sample.formatDescription()).streamDescription,
            AudioFormat::standard(48000, 2).streamDescription());
  // The sample holds its own copy of what the converter wrote, on both channels
  // (read after the converter's buffer is gone).
  const auto& pcm = std::get<PcmBuffer>(sample.data());
  EXPECT_EQ(std::tuple(pcm.data(0)[0], pcm.data(1)[4799]), std::tuple(100.0f, 100.0f));

  // The tap holds the recorder only weakly: once it is gone a late call does nothing.
  std::weak_ptr<Recorder> weak = rig.recorder;
  rig.recorder.reset();
  EXPECT_TRUE(weak.expired());
  rig.fake->deliverBuffer(micBuffer(kMicFormat, 1024));
  EXPECT_EQ(rig.appended(kMicrophone).size(), 2u);
}

TEST(MicrophonePath, BuffersThatCannotBeRecordedAreDroppedAndTheOthersGoOn) {
  struct Row {
    std::string failingStep;  // from the session's start: at the first buffer (1), or always (-1)
    int times;
    double micRate = 44100;
  };
  for (const Row& row : {Row{"converter.make", -1}, Row{"", 0, 0}, Row{"converter.convert", 1},
                         Row{"ready audio#2", 1}, Row{"writer.status", -1}}) {
    SCOPED_TRACE(row.failingStep + " at " + std::to_string(row.micRate));
    Rig rig;
    rig.fake->microphoneFormat = AudioFormat::standard(row.micRate, 1);
    rig.fake->fail("converter.make", std::nullopt, row.failingStep == "converter.make" ? 1 : 0);
    ASSERT_EQ(rig.start(), std::nullopt);
    rig.deliver(screenFrame(1));
    rig.fake->fail(row.failingStep, Error{"fake", 7, "failed"}, row.times);
    rig.fake->deliverBuffer(micBuffer(rig.fake->microphoneFormat, 1024, 1.0f));
    rig.fake->deliverBuffer(micBuffer(rig.fake->microphoneFormat, 1024, 2.0f));

    // A buffer that fails once is lost alone; the next one is recorded.
    const auto samples = rig.appended(kMicrophone);
    ASSERT_EQ(samples.size(), row.times == 1 ? 1u : 0u);
    for (const auto& [sample, sessionWasStarted] : samples) {
      EXPECT_EQ(std::get<PcmBuffer>(sample->data()).data(0)[0], 2.0f);
    }
  }
}

// Stream samples on the sample queue and microphone buffers on the tap thread
// race from the moment the start returns: the microphone track must never
// get a sample before the session started.
TEST(MicrophonePath, NeverRunsAheadOfTheSession) {
  for (int i = 0; i < 200; ++i) {  // enough races to expose a missing ordering
    Rig rig;
    // A slow session start gives an early flag time to be seen.
    rig.fake->sessionStartDuration = std::chrono::microseconds(500);
    ASSERT_EQ(rig.start(), std::nullopt);
    std::thread streamProducer([&rig] {
      for (int s = 0; s < 20; ++s) {
        rig.fake->deliverSample(s % 2 ? systemAudio(s) : screenFrame(s), StreamOutputType(s % 2),
                                false);
      }
    });
    for (int s = 0; s < 20; ++s) {
      rig.fake->deliverBuffer(micBuffer(kMicFormat, 1024), false);
    }
    streamProducer.join();
    EXPECT_EQ(rig.recorder->stop(), 4242);
    rig.fake->deliverBuffer(micBuffer(kMicFormat, 1024));  // waits for those before
    for (const auto& [sample, sessionWasStarted] : rig.appended(kMicrophone)) {
      ASSERT_TRUE(sessionWasStarted);
    }
  }
}

}  // namespace
}  // namespace kestrano::testing
