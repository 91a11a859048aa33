#include <gtest/gtest.h>

#include <thread>

#include "platform/linux/monotonic_clock.h"
#include "tests/support/private_desktop.h"
#include "tests/x11/capture_probe.h"
#include "tests/x11/fake_system_audio_source.h"

namespace kestrano::testing {
namespace {

using namespace std::chrono_literals;

class SystemAudio : public ::testing::Test {
 protected:
  SystemAudio() : desktop_(options()) { desktop_.exportEnvironment(); }
  static PrivateDesktop::Options options() {
    PrivateDesktop::Options o;
    o.size = "1280x720";
    o.pulse = false;
    return o;
  }
  std::function<std::unique_ptr<SystemAudioSource>()> factory() {
    return [this] { return std::make_unique<FakeSystemAudioSource>(control_, clock_); };
  }
  PrivateDesktop desktop_;
  std::shared_ptr<FakeAudioControl> control_ = std::make_shared<FakeAudioControl>();
  std::shared_ptr<HostClock> clock_ = std::make_shared<MonotonicClock>();
};

std::vector<Delivered> audioSamples(const std::vector<Delivered>& all) {
  std::vector<Delivered> audio;
  for (const auto& d : all) {
    if (d.type == StreamOutputType::audio) {
      audio.push_back(d);
    }
  }
  return audio;
}

TEST_F(SystemAudio, BuffersArriveAsAudioSamplesWithTheSourcesTimes) {
  CaptureRig rig(0, recorderConfiguration(1280, 720, true), factory());
  MediaTime before = clock_->now();
  ASSERT_FALSE(rig.start());
  ASSERT_TRUE(rig.log->waitUntil([](const auto& all) { return audioSamples(all).size() >= 5; }));
  EXPECT_FALSE(rig.stop());
  EXPECT_EQ(control_->startedRate, 48000);
  EXPECT_EQ(control_->startedChannels, 2u);
  EXPECT_EQ(control_->stops.load(), 1);

  std::int64_t previous = before.nanoseconds();
  for (const auto& d : audioSamples(rig.log->snapshot())) {
    const MediaSample& s = *d.sample;
    ASSERT_TRUE(std::holds_alternative<PcmBuffer>(s.data()));
    EXPECT_EQ(std::get<PcmBuffer>(s.data()).frameLength(), FakeSystemAudioSource::kFramesPerBuffer);
    EXPECT_EQ(s.numSamples(), FakeSystemAudioSource::kFramesPerBuffer);
    EXPECT_EQ(s.duration(), MediaTime::make(FakeSystemAudioSource::kFramesPerBuffer, 48000));
    EXPECT_GT(s.presentationTimeStamp().nanoseconds(), previous);
    previous = s.presentationTimeStamp().nanoseconds();
  }
}

TEST_F(SystemAudio, NoAudioIsAskedForWithoutCapturesAudio) {
  CaptureRig rig(0, recorderConfiguration(1280, 720, false), factory());
  ASSERT_FALSE(rig.start());
  ASSERT_TRUE(rig.log->waitUntil([](const auto& all) { return !all.empty(); }));
  EXPECT_FALSE(rig.stop());
  EXPECT_EQ(control_->starts.load(), 0);
  EXPECT_TRUE(audioSamples(rig.log->snapshot()).empty());
}

TEST_F(SystemAudio, ASourceThatCannotStartFailsTheStart) {
  control_->startError = Error{"FakeAudio", 3, "no sound server at unix:/nowhere"};
  CaptureRig rig(0, recorderConfiguration(1280, 720, true), factory());
  auto error = rig.start();
  ASSERT_TRUE(error);
  EXPECT_NE(error->description.find("no sound server at unix:/nowhere"), std::string::npos);
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(rig.log->count(), 0u) << "no frames from a stream that did not start";
  EXPECT_TRUE(rig.stop()) << "not running";
}

TEST_F(SystemAudio, AFailingSourceEndsTheWholeCaptureOnce) {
  CaptureRig rig(0, recorderConfiguration(1280, 720, true), factory());
  ASSERT_FALSE(rig.start());
  ASSERT_TRUE(rig.log->waitUntil([](const auto& all) { return audioSamples(all).size() >= 3; }));
  control_->failNow = true;
  ASSERT_TRUE(rig.delegate->waitForCall());
  std::size_t afterFailure = rig.log->count();
  std::this_thread::sleep_for(1500ms);  // past the next idle frame, had video gone on
  EXPECT_EQ(rig.log->count(), afterFailure);
  auto errors = rig.delegate->errors();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_NE(errors[0].description.find("the sound server went away"), std::string::npos);
  EXPECT_FALSE(rig.stop());
  EXPECT_EQ(rig.delegate->errors().size(), 1u);
}

}  // namespace
}  // namespace kestrano::testing
