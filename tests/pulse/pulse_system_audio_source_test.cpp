#include "platform/linux/pulse/pulse_system_audio_source.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <thread>
#include <vector>

#include "platform/linux/monotonic_clock.h"
#include "tests/pulse/tone_player.h"
#include "tests/pulse/tone_recording.h"
#include "tests/support/private_desktop.h"

namespace kestrano {
namespace {

using namespace std::chrono_literals;
using testing::PrivateDesktop;
using testing::TonePlayer;

std::optional<Error> startInto(SystemAudioSource& source, testing::ToneRecording& got) {
  return source.start(
      48000, 2,
      [&got](PcmBuffer buffer, MediaTime time) {
        got.add(buffer.data(0), buffer.data(0) + 1, 2, buffer.frameLength(), time.value,
                buffer.format() == AudioFormat(48000, 2, true) && time.valid &&
                    time.timescale == kNanosecondTimescale);
      },
      [&got](Error e) { got.fail(e.description); });
}

PrivateDesktop::Options soundOnly() {
  PrivateDesktop::Options o;
  o.x = false;
  return o;
}

TEST(PulseSystemAudioSource, CapturesTheDefaultSinkWithTimesThatMatchTheBuffers) {
  PrivateDesktop desktop(soundOnly());
  desktop.exportEnvironment();
  TonePlayer tone("speaker", 48000, 2, 1000, 0.5);
  PulseSystemAudioSource source(std::make_shared<MonotonicClock>());
  testing::ToneRecording got;
  auto error = startInto(source, got);
  ASSERT_FALSE(error.has_value()) << error->description;
  // Past the start-up stall of a fresh stream: measure from the tone on.
  // The server's timing settles about a second after the tone shows (the
  // source falls back to arrival times until then, ~10 ms off).
  std::size_t from = 0;
  ASSERT_TRUE(got.waitFor(
      [&]()
          REQUIRES(got.mutex) { return (from = got.starts.size() + 150, got.recentLevel() > 0.4); },
      20s));
  ASSERT_TRUE(
      got.waitFor([&]() REQUIRES(got.mutex) { return got.starts.size() > from + 200; }, 20s));
  source.stop();
  std::size_t afterStop = got.bufferCount();
  std::this_thread::sleep_for(100ms);
  MutexLock lock(got.mutex);
  EXPECT_EQ(got.starts.size(), afterStop) << "a buffer arrived after stop() returned";
  EXPECT_EQ(got.failures, 0);
  EXPECT_EQ(got.malformed, 0);
  testing::expectUnbrokenTone(got.left, got.starts, from, 0.5);

  // Consecutive times differ by the buffer's duration, and they do not drift
  // from the running frame count.
  std::vector<std::size_t> sizes;
  double maxStep = 0, maxDrift = 0;
  for (std::size_t i = from; i + 1 < got.starts.size(); ++i) {
    sizes.push_back(got.starts[i + 1] - got.starts[i]);
    maxStep =
        std::max(maxStep, std::abs((got.times[i + 1] - got.times[i]) - sizes.back() * 1e9 / 48000));
    double drift = (got.times[i + 1] - got.times[from]) -
                   static_cast<double>(got.starts[i + 1] - got.starts[from]) * 1e9 / 48000;
    maxDrift = std::max(maxDrift, std::abs(drift));
  }
  std::sort(sizes.begin(), sizes.end());
  std::cout << "buffers: median " << sizes[sizes.size() / 2] << " frames, max " << sizes.back()
            << "; largest step error " << maxStep / 1e6 << " ms, largest drift " << maxDrift / 1e6
            << " ms\n";
  // At most about 20 ms per buffer, as asked for (the server's default is
  // seconds); a sink clocked in shorter periods hands out smaller ones.
  EXPECT_LE(sizes[sizes.size() / 2], 1000u);
  EXPECT_LE(sizes.back(), 2400u);
  // A few milliseconds of jitter in the server's timing reports is harmless
  // (the writer places sound on its sample count); a wrong rate drifts by
  // tens of milliseconds within the second measured.
  EXPECT_LT(maxStep, 5e6);
  EXPECT_LT(maxDrift, 5e6);
}

TEST(PulseSystemAudioSource, FollowsTheDefaultSinkWhenTheUserChangesIt) {
  PrivateDesktop desktop(soundOnly());
  desktop.exportEnvironment();
  // The tone plays on the other sink: silent in the default sink's monitor.
  TonePlayer tone("micsink", 48000, 2, 1000, 0.5);
  PulseSystemAudioSource source(std::make_shared<MonotonicClock>());
  testing::ToneRecording got;
  ASSERT_FALSE(startInto(source, got).has_value());
  ASSERT_TRUE(got.waitFor([&]() REQUIRES(got.mutex) { return got.starts.size() > 50; }, 20s));
  EXPECT_TRUE(got.waitFor([&]() REQUIRES(got.mutex) { return got.recentLevel() < 0.01; }, 0s));
  ASSERT_EQ(std::system("pactl set-default-sink micsink"), 0);
  EXPECT_TRUE(got.waitFor([&]() REQUIRES(got.mutex) { return got.recentLevel() > 0.4; }, 20s))
      << "capture stayed on the old sink's monitor";
  source.stop();
}

TEST(PulseSystemAudioSource, ServerDeathIsReportedOnce) {
  PrivateDesktop desktop(soundOnly());
  desktop.exportEnvironment();
  PulseSystemAudioSource source(std::make_shared<MonotonicClock>());
  testing::ToneRecording got;
  ASSERT_FALSE(startInto(source, got).has_value());
  ASSERT_TRUE(got.waitFor([&]() REQUIRES(got.mutex) { return !got.starts.empty(); }, 20s));
  desktop.killPulse();
  ASSERT_TRUE(got.waitFor([&]() REQUIRES(got.mutex) { return got.failures > 0; }, 20s));
  std::this_thread::sleep_for(300ms);  // a second report would show here
  {
    MutexLock lock(got.mutex);
    EXPECT_EQ(got.failures, 1);
    EXPECT_FALSE(got.failure.empty());
    std::cout << "server killed: " << got.failure << "\n";
  }
  source.stop();
  source.stop();
}

TEST(PulseSystemAudioSource, StartFailsClearlyWhenTheServerIsMissingOrStalled) {
  {
    ::setenv("PULSE_SERVER", "unix:/nonexistent/kestrano-test/native", 1);
    PulseSystemAudioSource source(std::make_shared<MonotonicClock>());
    source.stop();  // before start: nothing to do
    testing::ToneRecording got;
    auto error = startInto(source, got);
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->domain, "pulse");
    EXPECT_NE(error->description.find("sound server"), std::string::npos) << error->description;
    std::cout << "no server: " << error->description << "\n";
    source.stop();
  }
  {
    // A server that accepts the connection but never answers.
    PrivateDesktop desktop(soundOnly());
    desktop.exportEnvironment();
    long pid = 0;
    std::ifstream(desktop.directory() + "/pulse.pid") >> pid;
    ASSERT_GT(pid, 0);
    ::kill(static_cast<pid_t>(pid), SIGSTOP);
    PulseSystemAudioSource source(std::make_shared<MonotonicClock>());
    testing::ToneRecording got;
    auto began = std::chrono::steady_clock::now();
    auto error = startInto(source, got);
    auto took = std::chrono::steady_clock::now() - began;
    ::kill(static_cast<pid_t>(pid), SIGCONT);
    ASSERT_TRUE(error.has_value());
    EXPECT_NE(error->description.find("timed out"), std::string::npos) << error->description;
    std::cout << "stalled server: " << error->description << "\n";
    EXPECT_LT(took, 30s);  // bounded; the bound itself is a few seconds
  }
}

TEST(PulseSystemAudioSource, RejectsFormatsItCannotRecord) {
  PulseSystemAudioSource source(std::make_shared<MonotonicClock>());
  EXPECT_TRUE(source.start(0, 2, nullptr, nullptr).has_value());
  EXPECT_TRUE(source.start(48000, 0, nullptr, nullptr).has_value());
  EXPECT_TRUE(source.start(48000, 1000, nullptr, nullptr).has_value());
}

}  // namespace
}  // namespace kestrano
