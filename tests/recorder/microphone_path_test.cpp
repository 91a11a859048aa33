#include <gtest/gtest.h>

#include <thread>

#include "recorder/capture_settings.h"
#include "tests/recorder/recorder_fixture.h"

namespace kestrano::testing {
namespace {

const AudioFormat kMicFormat = AudioFormat::standard(44100, 1);  // the fake's default

TEST(MicrophonePath, ConvertsStampsAndPackagesOnlyOnceTheSessionStarted) {
  Rig rig;
  rig.fake->clock = 7'000'000'000;
  ASSERT_EQ(rig.start(), std::nullopt);
  rig.deliverMic(micBuffer(kMicFormat, 4410));  // before the session: dropped unconverted
  rig.deliver(screenFrame(at(1)));
  rig.deliverMic(micBuffer(kMicFormat, 4410, 100.0f));
  // 512 frames convert to 557, far below the 1024 frames of room: the
  // converter asks again, and must not get the same frames twice.
  rig.deliverMic(micBuffer(kMicFormat, 512));

  const auto samples = rig.appended(kMicrophone);
  const auto& conversions = rig.fake->conversions;
  ASSERT_EQ(samples.size(), 2u);
  ASSERT_EQ(conversions.size(), 2u);
  // 4410 frames at 44.1 kHz make 4800; the room has headroom beyond that for
  // what a resampler carries from one buffer to the next.
  EXPECT_EQ(conversions[0].first, 4800u + kMicrophoneConverterHeadroom);
  EXPECT_EQ(conversions[1].first, 1024u + kMicrophoneConverterHeadroom);
  EXPECT_EQ(samples[1].first->numSamples(), 557);

  const MediaSample& sample = *samples[0].first;
  EXPECT_TRUE(samples[0].second);
  EXPECT_EQ(sample.presentationTimeStamp(), MediaTime::make(7'000'000'000, kNanosecondTimescale));
  EXPECT_EQ(sample.duration(), MediaTime::make(1, 48000));
  EXPECT_EQ(sample.numSamples(), 4800);
  ASSERT_TRUE(sample.dataIsReady() && sample.formatDescription());
  EXPECT_EQ(std::get<AudioFormatDescription>(*sample.formatDescription()).streamDescription,
            AudioFormat::standard(48000, 2).streamDescription());
  // The sample holds its own copy of what the converter wrote, on both channels.
  const auto& pcm = std::get<PcmBuffer>(sample.data());
  EXPECT_EQ(pcm.frameLength(), 4800u);
  EXPECT_NE(pcm.data(0), conversions[0].second);
  EXPECT_EQ(std::tuple(pcm.data(0)[0], pcm.data(1)[4799]), std::tuple(100.0f, 100.0f));
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
    rig.deliver(screenFrame(at(1)));
    rig.fake->fail(row.failingStep, Error{"fake", 7, "failed"}, row.times);
    rig.deliverMic(micBuffer(rig.fake->microphoneFormat, 1024, 1.0f));
    rig.deliverMic(micBuffer(rig.fake->microphoneFormat, 1024, 2.0f));

    // A buffer that fails once is lost alone; the next one is recorded.
    const auto samples = rig.appended(kMicrophone);
    ASSERT_EQ(samples.size(), row.times == 1 ? 1u : 0u);
    if (!samples.empty()) {
      EXPECT_EQ(std::get<PcmBuffer>(samples[0].first->data()).data(0)[0], 2.0f);
    }
    EXPECT_EQ(rig.refused(kMicrophone), 0);  // never waits, never forces
  }
}

TEST(MicrophonePath, TheTapHoldsTheRecorderOnlyWeakly) {
  Rig rig;
  ASSERT_EQ(rig.start(), std::nullopt);
  rig.deliver(screenFrame(at(1)));
  std::weak_ptr<Recorder> weak = rig.recorder;
  rig.recorder.reset();
  EXPECT_TRUE(weak.expired());
  rig.deliverMic(micBuffer(kMicFormat, 1024));  // a late call does nothing
  EXPECT_TRUE(rig.appended(kMicrophone).empty());
}

// Stream samples on the sample queue and microphone buffers on the tap thread
// race from the moment the start returns: the microphone track must never
// get a sample before the session started, and stop() must leave no sample
// appended to a finished input.
TEST(MicrophonePath, NeverRunsAheadOfTheSession) {
  const AudioFormat micFormat = AudioFormat::standard(48000, 2);
  for (int i = 0; i < 200; ++i) {  // enough races to expose a missing ordering
    SCOPED_TRACE(i);
    Rig rig;
    rig.fake->microphoneFormat = micFormat;
    // A slow session start gives an early flag time to be seen.
    rig.fake->sessionStartDuration = std::chrono::microseconds(500);
    ASSERT_EQ(rig.start(), std::nullopt);
    std::thread streamProducer([&rig] {
      for (int s = 0; s < 20; ++s) {
        rig.fake->deliverSample(s % 2 ? systemAudio(at(s)) : screenFrame(at(s)),
                                StreamOutputType(s % 2));
      }
    });
    for (int s = 0; s < 20; ++s) {
      rig.fake->deliverBuffer(micBuffer(micFormat, 1024));
    }
    streamProducer.join();
    if (i % 2 == 0) {  // half of them stop while samples are still queued
      rig.fake->drainQueue();
      rig.fake->drainTapThread();
      // The session has started by now: this buffer must get through.
      const std::size_t before = rig.appended(kMicrophone).size();
      rig.deliverMic(micBuffer(micFormat, 1024));
      ASSERT_EQ(rig.appended(kMicrophone).size(), before + 1);
    }
    EXPECT_EQ(rig.recorder->stop(), 4242);
    rig.fake->drainTapThread();
    for (const auto& appended : rig.appended(kMicrophone)) {
      ASSERT_TRUE(appended.second);
    }
    EXPECT_EQ(rig.refused(kVideo) + rig.refused(kSystemAudio) + rig.refused(kMicrophone), 0);
  }
}

}  // namespace
}  // namespace kestrano::testing
