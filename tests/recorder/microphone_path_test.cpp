#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "recorder/capture_settings.h"
#include "tests/recorder/recorder_fixture.h"

namespace kestrano::testing {
namespace {

const AudioFormat kMicFormat = AudioFormat::standard(44100, 1);  // the fake's default

TEST(MicrophonePath, ConvertsStampsAndPackagesOnlyOnceTheSessionStarted) {
  Rig rig;
  // The clock moves during each conversion: the stamp is the later reading.
  rig.fake.clock->set(5'000'000'000);
  rig.fake.audio->onConvert = [clock = rig.fake.clock] { clock->set(7'000'000'000); };
  ASSERT_EQ(rig.start(), std::nullopt);

  rig.deliverMic(micBuffer(kMicFormat, 4410));  // before the session: dropped unconverted
  EXPECT_FALSE(rig.fake.log.contains("converter.convert"));
  rig.deliver(screenFrame(at(1)));
  rig.deliverMic(micBuffer(kMicFormat, 4410, 100.0f));
  // 512 frames convert to 557, far below the 1024 frames of room: the
  // converter asks again, and must not get the same frames twice.
  rig.deliverMic(micBuffer(kMicFormat, 512));

  auto samples = rig.appended(kMicrophone);
  auto conversions = rig.fake.audio->converter()->conversions();
  ASSERT_EQ(samples.size(), 2u);
  ASSERT_EQ(conversions.size(), 2u);
  // 4410 frames at 44.1 kHz make 4800; the room has headroom beyond that for
  // what a resampler carries from one buffer to the next.
  EXPECT_EQ(conversions[0].capacity, 4800u + kMicrophoneConverterHeadroom);
  EXPECT_EQ(conversions[1].capacity, 1024u + kMicrophoneConverterHeadroom);
  EXPECT_EQ(samples[1].sample->numSamples(), 557);

  const MediaSample& sample = *samples[0].sample;
  EXPECT_TRUE(samples[0].sessionWasStarted);
  EXPECT_EQ(sample.presentationTimeStamp(), MediaTime::make(7'000'000'000, kNanosecondTimescale));
  EXPECT_EQ(sample.duration(), MediaTime::make(1, 48000));
  EXPECT_FALSE(sample.decodeTimeStamp().valid);
  EXPECT_TRUE(sample.dataIsReady());
  EXPECT_EQ(sample.numSamples(), 4800);
  ASSERT_TRUE(sample.formatDescription());
  EXPECT_EQ(std::get<AudioFormatDescription>(*sample.formatDescription()).streamDescription,
            AudioFormat::standard(48000, 2).streamDescription());
  // The sample holds its own copy of what the converter wrote.
  const auto& pcm = std::get<PcmBuffer>(sample.data());
  EXPECT_EQ(pcm.frameLength(), 4800u);
  EXPECT_NE(pcm.data(0), conversions[0].outputData);
  EXPECT_EQ(pcm.data(0)[0], 100.0f);
  EXPECT_EQ(pcm.data(1)[0], 100.0f);

  auto calls = rig.fake.log.entries();
  auto convert = std::find(calls.begin(), calls.end(), "converter.convert");
  EXPECT_NE(std::find(convert, calls.end(), "clock.now"), calls.end());
}

TEST(MicrophonePath, BuffersThatCannotBeRecordedAreDroppedAndTheOthersGoOn) {
  struct Row {
    const char* name;
    std::function<void(fake::FakePlatform&)> beforeStart;
    std::function<void(Rig&)> afterSessionStart;
    std::size_t appended, conversions;  // of two buffers
  };
  const auto none = [](auto&) {};
  const std::vector<Row> rows = {
      {"NoConverter", [](auto& f) { f.audio->noConverter = true; }, none, 0, 0},
      {"InputWithoutRate", [](auto& f) { f.audio->microphoneFormat = AudioFormat::standard(0, 1); },
       none, 0, 0},
      {"ConversionError", [](auto& f) { f.audio->failingConversions = 1; }, none, 1, 2},
      {"InputNotReady", none, [](Rig& r) { r.input(kMicrophone).refuseNext(1); }, 1, 2},
      {"WriterFailed", none, [](Rig& r) { r.writer()->fail(); }, 0, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Rig rig;
    row.beforeStart(rig.fake);
    ASSERT_EQ(rig.start(), std::nullopt);
    rig.deliver(screenFrame(at(1)));
    row.afterSessionStart(rig);
    rig.deliverMic(micBuffer(rig.fake.audio->microphoneFormat, 1024, 1.0f));
    rig.deliverMic(micBuffer(rig.fake.audio->microphoneFormat, 1024, 2.0f));

    auto samples = rig.appended(kMicrophone);
    EXPECT_EQ(samples.size(), row.appended);
    EXPECT_EQ(rig.fake.log.count("converter.convert"), row.conversions);
    if (!samples.empty()) {  // the one that got through is the second buffer
      EXPECT_EQ(std::get<PcmBuffer>(samples.back().sample->data()).data(0)[0], 2.0f);
    }
    EXPECT_EQ(rig.input(kMicrophone).state().refused, 0);  // never waits, never forces
    EXPECT_EQ(rig.appended(kVideo).size(), 1u);            // the other tracks still record
  }
}

TEST(MicrophonePath, TapHoldsTheRecorderOnlyWeaklyAndLateCallsDoNothing) {
  Rig rig;
  ASSERT_EQ(rig.start(), std::nullopt);
  rig.deliver(screenFrame(at(1)));
  TapBlock block = rig.fake.audio->tapBlock();
  ASSERT_TRUE(block);
  std::weak_ptr<Recorder> weak = rig.recorder;
  rig.recorder.reset();
  EXPECT_TRUE(weak.expired());

  block(micBuffer(kMicFormat, 1024), AudioTime{});
  EXPECT_FALSE(rig.fake.log.contains("converter.convert"));
  EXPECT_TRUE(rig.appended(kMicrophone).empty());
}

}  // namespace
}  // namespace kestrano::testing
