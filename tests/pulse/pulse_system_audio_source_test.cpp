#include "platform/linux/pulse/pulse_system_audio_source.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <mutex>
#include <numbers>
#include <thread>
#include <vector>

#include "platform/linux/monotonic_clock.h"
#include "tests/pulse/tone_player.h"
#include "tests/resample/sine_fit.h"
#include "tests/support/private_desktop.h"

namespace kestrano {
namespace {

using namespace std::chrono_literals;
using testing::PrivateDesktop;
using testing::TonePlayer;

struct Chunk {
  std::vector<float> left;  // the first channel of the interleaved buffer
  std::int64_t time = 0;    // host-clock ns of the first frame
  bool rightFormat = false;
};

// What the source delivered, shared between its thread and the test.
struct Received {
  std::mutex mutex;  // guards everything below
  std::condition_variable changed;
  std::vector<Chunk> chunks;
  int failures = 0;
  std::string failure;

  template <typename Pred>
  bool waitFor(Pred pred, std::chrono::seconds timeout) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, timeout, [&] { return pred(); });
  }

  std::optional<Error> start(SystemAudioSource& source) {
    return source.start(
        48000, 2,
        [this](PcmBuffer buffer, MediaTime time) {
          Chunk c;
          c.rightFormat = buffer.format() == AudioFormat(48000, 2, true) && time.valid &&
                          time.timescale == kNanosecondTimescale;
          for (std::uint32_t i = 0; i < buffer.frameLength(); ++i) {
            c.left.push_back(buffer.data(0)[2 * i]);
          }
          c.time = time.value;
          std::lock_guard lock(mutex);
          chunks.push_back(std::move(c));
          changed.notify_all();
        },
        [this](Error e) {
          std::lock_guard lock(mutex);
          ++failures;
          failure = e.description;
          changed.notify_all();
        });
  }

  // The level of a 1 kHz tone in the latest chunks (about 20 ms).
  double recentLevel() {
    std::vector<float> tail;
    for (auto it = chunks.rbegin(); it != chunks.rend() && tail.size() < 960; ++it) {
      tail.insert(tail.begin(), it->left.begin(), it->left.end());
    }
    if (tail.size() < 480) {
      return 0;
    }
    return testing::fitSine(tail.data(), tail.size(), 1, 1000, 48000, 0).amplitude;
  }
};

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
  Received got;
  auto error = got.start(source);
  ASSERT_FALSE(error.has_value()) << error->description;
  // Past the start-up stall of a fresh stream: measure from the tone on.
  ASSERT_TRUE(got.waitFor([&] { return got.recentLevel() > 0.4; }, 20s));
  std::size_t from = 0;
  {
    std::lock_guard lock(got.mutex);
    // The server's timing settles about a second after the tone shows
    // (the source falls back to arrival times until then, ~10 ms off).
    from = got.chunks.size() + 150;
  }
  ASSERT_TRUE(got.waitFor([&] { return got.chunks.size() > from + 200; }, 20s));
  source.stop();
  std::size_t afterStop = 0;
  {
    std::lock_guard lock(got.mutex);
    afterStop = got.chunks.size();
  }
  std::this_thread::sleep_for(100ms);
  std::lock_guard lock(got.mutex);
  EXPECT_EQ(got.chunks.size(), afterStop) << "a buffer arrived after stop() returned";
  EXPECT_EQ(got.failures, 0);

  std::vector<std::uint32_t> sizes;
  const double w = 2 * std::numbers::pi * 1000 / 48000;
  double maxStep = 0, maxDrift = 0;
  std::int64_t framesSoFar = 0;
  const std::int64_t t0 = got.chunks[from].time;
  for (std::size_t i = from; i + 1 < got.chunks.size(); ++i) {
    const Chunk& c = got.chunks[i];
    const Chunk& next = got.chunks[i + 1];
    SCOPED_TRACE(::testing::Message() << "buffer " << i);
    ASSERT_TRUE(c.rightFormat);
    sizes.push_back(static_cast<std::uint32_t>(c.left.size()));
    auto fit = testing::fitSine(c.left.data(), c.left.size(), 1, 1000, 48000, 0);
    EXPECT_NEAR(fit.amplitude, 0.5, 0.02);
    auto fitNext = testing::fitSine(next.left.data(), next.left.size(), 1, 1000, 48000, 0);
    EXPECT_NEAR(testing::phaseDifference(fitNext.phase, fit.phase + w * c.left.size()), 0, 0.02);
    // Consecutive times differ by the buffer's duration, and they do not
    // drift from the running frame count.
    double duration = c.left.size() * 1e9 / 48000;
    maxStep = std::max(maxStep, std::abs((next.time - c.time) - duration));
    framesSoFar += static_cast<std::int64_t>(c.left.size());
    double drift = (next.time - t0) - framesSoFar * 1e9 / 48000;
    maxDrift = std::max(maxDrift, std::abs(drift));
  }
  std::sort(sizes.begin(), sizes.end());
  std::cout << "buffers: median " << sizes[sizes.size() / 2] << " frames, max " << sizes.back()
            << "; largest step error " << maxStep / 1e6 << " ms, largest drift " << maxDrift / 1e6
            << " ms\n";
  // About 10 to 20 ms per buffer.
  EXPECT_GE(sizes[sizes.size() / 2], 400u);
  EXPECT_LE(sizes[sizes.size() / 2], 1000u);
  EXPECT_LE(sizes.back(), 2400u);
  EXPECT_LT(maxStep, 3e6);
  EXPECT_LT(maxDrift, 3e6);
}

TEST(PulseSystemAudioSource, FollowsTheDefaultSinkWhenTheUserChangesIt) {
  PrivateDesktop desktop(soundOnly());
  desktop.exportEnvironment();
  // The tone plays on the other sink: silent in the default sink's monitor.
  TonePlayer tone("micsink", 48000, 2, 1000, 0.5);
  PulseSystemAudioSource source(std::make_shared<MonotonicClock>());
  Received got;
  ASSERT_FALSE(got.start(source).has_value());
  ASSERT_TRUE(got.waitFor([&] { return got.chunks.size() > 50; }, 20s));
  {
    std::lock_guard lock(got.mutex);
    EXPECT_LT(got.recentLevel(), 0.01);
  }
  ASSERT_EQ(std::system("pactl set-default-sink micsink"), 0);
  EXPECT_TRUE(got.waitFor([&] { return got.recentLevel() > 0.4; }, 20s))
      << "capture stayed on the old sink's monitor";
  source.stop();
}

TEST(PulseSystemAudioSource, ServerDeathIsReportedOnce) {
  PrivateDesktop desktop(soundOnly());
  desktop.exportEnvironment();
  PulseSystemAudioSource source(std::make_shared<MonotonicClock>());
  Received got;
  ASSERT_FALSE(got.start(source).has_value());
  ASSERT_TRUE(got.waitFor([&] { return !got.chunks.empty(); }, 20s));
  desktop.killPulse();
  ASSERT_TRUE(got.waitFor([&] { return got.failures > 0; }, 20s));
  std::this_thread::sleep_for(300ms);  // a second report would show here
  {
    std::lock_guard lock(got.mutex);
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
    Received got;
    auto error = got.start(source);
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
    Received got;
    auto began = std::chrono::steady_clock::now();
    auto error = got.start(source);
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
  Received got;
  EXPECT_TRUE(source.start(0, 2, nullptr, nullptr).has_value());
  EXPECT_TRUE(source.start(48000, 0, nullptr, nullptr).has_value());
  EXPECT_TRUE(source.start(48000, 1000, nullptr, nullptr).has_value());
}

}  // namespace
}  // namespace kestrano
