#include <gtest/gtest.h>

#include "recorder/capture_settings.h"
#include "tests/recorder/recorder_fixture.h"

namespace kestrano::testing {
namespace {

const AudioFormat kMicFormat = AudioFormat::standard(44100, 1);

class MicrophonePathTest : public RecorderTest {
 protected:
  void SetUp() override { fake.audio->microphoneFormat = kMicFormat; }
  void startSession() { deliver(screenFrame(at(1)), StreamOutputType::screen); }
  std::vector<fake::FakeWriterInput::Appended> micSamples() const { return micInput()->appended(); }
};

TEST_F(MicrophonePathTest, BuffersBeforeTheSessionAreDroppedUnconverted) {
  startRecording();
  deliverMic(micBuffer(kMicFormat, 1024));
  EXPECT_FALSE(fake.log->contains("converter.convert"));
  EXPECT_TRUE(micSamples().empty());

  startSession();
  deliverMic(micBuffer(kMicFormat, 1024));
  EXPECT_EQ(micSamples().size(), 1u);
  EXPECT_TRUE(micSamples()[0].sessionWasStarted);
}

TEST_F(MicrophonePathTest, SampleIsStampedPackagedAndOwnsItsAudio) {
  startRecording();
  startSession();
  // The clock moves during the conversion: the stamp is the later reading.
  fake.clock->set(5'000'000'000);
  fake.audio->converter()->setOnConvert([this] { fake.clock->set(7'000'000'000); });
  deliverMic(micBuffer(kMicFormat, 4410, 100.0f));

  ASSERT_EQ(micSamples().size(), 1u);
  const MediaSample& sample = *micSamples()[0].sample;
  EXPECT_EQ(sample.presentationTimeStamp(), MediaTime::make(7'000'000'000, kNanosecondTimescale));
  EXPECT_EQ(sample.duration(), MediaTime::make(1, 48000));
  EXPECT_FALSE(sample.decodeTimeStamp().valid);
  EXPECT_TRUE(sample.dataIsReady());
  ASSERT_TRUE(sample.formatDescription());
  const auto& format = std::get<AudioFormatDescription>(*sample.formatDescription());
  EXPECT_EQ(format.streamDescription, AudioFormat::standard(48000, 2).streamDescription());

  // 4410 frames at 44.1 kHz make 4800; the room has headroom beyond that for
  // what a resampler carries from one buffer to the next.
  auto conversions = fake.audio->converter()->conversions();
  ASSERT_EQ(conversions.size(), 1u);
  EXPECT_EQ(conversions[0].framesWritten, 4800u);
  EXPECT_EQ(conversions[0].capacity, 4800u + kMicrophoneConverterHeadroom);
  EXPECT_EQ(sample.numSamples(), 4800);
  // The sample holds its own copy of what the converter wrote.
  const auto& pcm = std::get<PcmBuffer>(sample.data());
  EXPECT_EQ(pcm.frameLength(), 4800u);
  EXPECT_NE(pcm.data(0), conversions[0].outputData);
  EXPECT_EQ(pcm.data(0)[0], 100.0f);
  EXPECT_EQ(pcm.data(1)[0], 100.0f);

  auto calls = fake.log->entries();
  auto convert = std::find(calls.begin(), calls.end(), "converter.convert");
  EXPECT_NE(std::find(convert, calls.end(), "clock.now"), calls.end());
}

TEST_F(MicrophonePathTest, InputBlockHandsTheBufferOverOncePerConversion) {
  startRecording();
  startSession();
  // 512 frames convert to 557, far below the 1024 frames of room: the
  // converter asks again, and must not get the same frames twice.
  deliverMic(micBuffer(kMicFormat, 512));
  auto conversions = fake.audio->converter()->conversions();
  ASSERT_EQ(conversions.size(), 1u);
  EXPECT_EQ(conversions[0].requests, 2);
  EXPECT_EQ(conversions[0].buffersHanded, 1);
  EXPECT_EQ(conversions[0].framesWritten, 557u);
  ASSERT_EQ(micSamples().size(), 1u);
  EXPECT_EQ(micSamples()[0].sample->numSamples(), 557);
}

TEST_F(MicrophonePathTest, ConversionErrorLosesThatBufferOnly) {
  startRecording();
  startSession();
  fake.audio->converter()->failNext(1);
  deliverMic(micBuffer(kMicFormat, 1024, 1.0f));
  deliverMic(micBuffer(kMicFormat, 1024, 50.0f));
  ASSERT_EQ(micSamples().size(), 1u);
  EXPECT_EQ(std::get<PcmBuffer>(micSamples()[0].sample->data()).data(0)[0], 50.0f);
}

TEST_F(MicrophonePathTest, WithoutConverterTheOtherTracksStillRecord) {
  fake.audio->noConverter = true;
  startRecording();
  startSession();
  deliverMic(micBuffer(kMicFormat, 1024));
  deliver(systemAudio(at(2)), StreamOutputType::audio);
  EXPECT_TRUE(micSamples().empty());
  EXPECT_EQ(videoInput()->appendedCount(), 1u);
  EXPECT_EQ(systemAudioInput()->appendedCount(), 1u);
}

TEST_F(MicrophonePathTest, InputFormatWithoutRateDropsEveryBuffer) {
  fake.audio->microphoneFormat = AudioFormat::standard(0, 1);
  startRecording();
  startSession();
  deliverMic(micBuffer(AudioFormat::standard(0, 1), 1024));
  EXPECT_FALSE(fake.log->contains("converter.convert"));
  EXPECT_TRUE(micSamples().empty());
}

TEST_F(MicrophonePathTest, NotReadyOrNotWritingDropsWithoutWaiting) {
  startRecording();
  startSession();
  micInput()->refuseNext(1);
  deliverMic(micBuffer(kMicFormat, 1024));
  deliverMic(micBuffer(kMicFormat, 1024));
  EXPECT_EQ(micSamples().size(), 1u);
  EXPECT_EQ(micInput()->refusedCount(), 0);

  writer()->fail();
  deliverMic(micBuffer(kMicFormat, 1024));
  EXPECT_EQ(micSamples().size(), 1u);
  EXPECT_EQ(fake.audio->converter()->conversions().size(), 2u);
}

TEST_F(MicrophonePathTest, TapHoldsTheRecorderOnlyWeaklyAndLateCallsDoNothing) {
  startRecording();
  startSession();
  TapBlock block = fake.audio->node()->tapBlock();
  ASSERT_TRUE(block);
  auto mic = micInput();
  std::weak_ptr<Recorder> weak = recorder;
  recorder.reset();
  EXPECT_TRUE(weak.expired());

  block(micBuffer(kMicFormat, 1024), AudioTime{});
  EXPECT_FALSE(fake.log->contains("converter.convert"));
  EXPECT_TRUE(mic->appended().empty());
}

}  // namespace
}  // namespace kestrano::testing
