#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "tests/x11/capture_probe.h"
#include "tests/x11/fake_system_audio_source.h"

namespace kestrano::testing {
namespace {

using namespace std::chrono_literals;

class SystemAudio : public ::testing::Test {
 protected:
  std::function<std::unique_ptr<SystemAudioSource>()> factory() {
    return [c = control_] { return std::make_unique<FakeSystemAudioSource>(c); };
  }
  PrivateScreen screen_{"1280x720"};
  std::shared_ptr<FakeSystemAudioSource::Control> control_ =
      std::make_shared<FakeSystemAudioSource::Control>();
};

TEST_F(SystemAudio, BuffersBecomeAudioSamplesWithTheSourcesTimeAndTheirDuration) {
  CaptureRig rig(0, recorderConfiguration(1280, 720, true), factory());
  ASSERT_FALSE(rig.start());
  control_->emit(480, MediaTime::make(7'000'000'000, kNanosecondTimescale));
  control_->emit(960, MediaTime::make(7'010'000'000, kNanosecondTimescale));
  ASSERT_TRUE(
      rig.collector->waitUntil([](const Collector::Log& log) { return log.audio().size() == 2; }));
  EXPECT_FALSE(rig.stop());
  EXPECT_EQ(control_->stops, 1);
  control_->emit(480, rig.clock->now());  // stopped: goes nowhere

  auto audio = rig.collector->log().audio();
  ASSERT_EQ(audio.size(), 2u);
  EXPECT_EQ(audio[0].nanos, 7'000'000'000);
  EXPECT_EQ(audio[1].nanos, 7'010'000'000);
  EXPECT_EQ(audio[0].sample->duration(), MediaTime::make(480, 48000));
  EXPECT_EQ(audio[1].sample->duration(), MediaTime::make(960, 48000));
  EXPECT_EQ(std::get<PcmBuffer>(audio[1].sample->data()).frameLength(), 960u);
}

TEST_F(SystemAudio, VideoStartsOnlyOnceTheAudioHasDeliveredItsFirstBuffer) {
  CaptureRig rig(0, recorderConfiguration(1280, 720, true), factory());
  auto started = std::async(std::launch::async, [&] { return rig.start(); });
  auto sourceStarted = [&] {
    std::lock_guard lock(control_->mutex);
    return static_cast<bool>(control_->onBuffer);
  };
  for (auto deadline = std::chrono::steady_clock::now() + kPatience;
       !sourceStarted() && std::chrono::steady_clock::now() < deadline;) {
    std::this_thread::sleep_for(10ms);
  }
  ASSERT_TRUE(sourceStarted());
  // Well inside the bound the stream waits for a silent source.
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(started.wait_for(0s), std::future_status::timeout) << "started before the audio";
  EXPECT_TRUE(rig.collector->log().samples.empty()) << "video before the audio";

  control_->emit(480, rig.clock->now());
  EXPECT_FALSE(started.get());
  ASSERT_TRUE(rig.collector->waitUntil(
      [](const Collector::Log& log) { return !log.frames(FrameStatus::complete).empty(); }));
  EXPECT_FALSE(rig.stop());
  auto log = rig.collector->log();
  EXPECT_EQ(log.samples.front().type, StreamOutputType::audio);
}

TEST_F(SystemAudio, ASilentSourceHoldsTheStartOnlyForAMoment) {
  CaptureRig rig(0, recorderConfiguration(1280, 720, true), factory());
  // Never a buffer: the start still completes, and the video goes on alone.
  ASSERT_FALSE(rig.start());
  ASSERT_TRUE(rig.collector->waitUntil(
      [](const Collector::Log& log) { return !log.frames(FrameStatus::complete).empty(); }));
  EXPECT_FALSE(rig.stop());
  EXPECT_TRUE(rig.collector->log().audio().empty());
}

TEST_F(SystemAudio, ASourceThatCannotStartFailsTheStart) {
  control_->startError = Error{"FakeAudio", 3, "no sound server at unix:/nowhere"};
  CaptureRig rig(0, recorderConfiguration(1280, 720, true), factory());
  auto error = rig.start();
  ASSERT_TRUE(error);
  EXPECT_NE(error->description.find("no sound server at unix:/nowhere"), std::string::npos);
  std::this_thread::sleep_for(300ms);
  EXPECT_TRUE(rig.collector->log().samples.empty()) << "no frames from a stream that did not start";
}

TEST_F(SystemAudio, AFailingSourceEndsTheWholeCaptureOnce) {
  CaptureRig rig(0, recorderConfiguration(1280, 720, true), factory());
  ASSERT_FALSE(rig.start());
  ASSERT_TRUE(rig.collector->waitForSamples());
  control_->fail(Error{"FakeAudio", 9, "the sound server went away"});
  control_->fail(Error{"FakeAudio", 9, "and again"});
  ASSERT_TRUE(rig.collector->waitForError());
  std::size_t atFailure = rig.collector->log().samples.size();
  std::this_thread::sleep_for(1500ms);  // past the next idle frame, had video gone on
  EXPECT_FALSE(rig.stop());

  auto log = rig.collector->log();
  EXPECT_EQ(log.samples.size(), atFailure);
  ASSERT_EQ(log.errors.size(), 1u);
  EXPECT_NE(log.errors[0].description.find("the sound server went away"), std::string::npos);
  EXPECT_EQ(control_->stops, 1);
}

}  // namespace
}  // namespace kestrano::testing
