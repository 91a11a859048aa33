#include "platform/linux/pulse/pulse_audio_engine.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <iostream>
#include <mutex>
#include <numbers>
#include <thread>
#include <vector>

#include "platform/linux/monotonic_clock.h"
#include "platform/linux/pulse/pulse_audio_factory.h"
#include "tests/pulse/tone_player.h"
#include "tests/resample/converter_driver.h"
#include "tests/resample/sine_fit.h"
#include "tests/support/private_desktop.h"

namespace kestrano {
namespace {

using namespace std::chrono_literals;
using testing::PrivateDesktop;
using testing::TonePlayer;

const AudioFormat kTarget = AudioFormat::standard(48000, 2);

// What the microphone path produced, shared between the tap thread and the
// test thread.
struct Capture {
  std::mutex mutex;  // guards everything below
  std::condition_variable changed;
  std::vector<float> left, right;
  std::vector<std::uint32_t> chunkStarts;  // where each converted buffer begins in left/right
  std::int64_t framesIn = 0;
  int wrongBuffers = 0;
  std::optional<Error> conversionError;

  template <typename Pred>
  bool waitFor(Pred pred, std::chrono::seconds timeout) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, timeout, [&] { return pred(); });
  }
};

// Amplitude of the 1 kHz tone in the last 1024 frames.
double recentLevel(const Capture& c) {
  if (c.left.size() < 1024) {
    return 0;
  }
  return testing::fitSine(c.left.data() + c.left.size() - 1024, 1024, 1, 1000, 48000, 0).amplitude;
}

struct MicCase {
  int rate;
  int channels;
};

class MicrophonePath : public ::testing::TestWithParam<MicCase> {};

// The engine and converter driven exactly as the recorder's microphone path
// does: a 1024-frame tap in the device's format, an output with the capacity
// rule's room plus headroom, and an input block that gives the buffer once,
// then nothing.
TEST_P(MicrophonePath, ToneComesOutAt48kStereoContinuousAndAtTheSameLevel) {
  const MicCase mc = GetParam();
  PrivateDesktop::Options options;
  options.x = false;
  options.micRate = mc.rate;
  options.micChannels = mc.channels;
  PrivateDesktop desktop(options);
  desktop.exportEnvironment();

  auto factory = makePulseAudioFactory(std::make_shared<MonotonicClock>());
  auto engine = factory->makeEngine();
  auto node = engine->inputNode();
  const AudioFormat format = node->outputFormatForBus(0);
  ASSERT_EQ(format, AudioFormat::standard(mc.rate, static_cast<std::uint32_t>(mc.channels)));
  std::shared_ptr<AudioConverter> converter = factory->makeConverter(format, kTarget);
  ASSERT_NE(converter, nullptr);

  Capture capture;
  node->installTapOnBus(0, 1024, format, [&](const PcmBuffer& buffer, const AudioTime&) {
    std::optional<Error> error;
    PcmBuffer out = testing::convertLikeMicrophonePath(*converter, buffer, error);
    std::lock_guard lock(capture.mutex);
    if (buffer.frameLength() != 1024 || !(buffer.format() == format)) {
      ++capture.wrongBuffers;
    }
    if (error) {
      capture.conversionError = error;
    }
    capture.framesIn += buffer.frameLength();
    capture.chunkStarts.push_back(static_cast<std::uint32_t>(capture.left.size()));
    capture.left.insert(capture.left.end(), out.data(0), out.data(0) + out.frameLength());
    capture.right.insert(capture.right.end(), out.data(1), out.data(1) + out.frameLength());
    capture.changed.notify_all();
  });
  ASSERT_FALSE(engine->startAndReturnError().has_value());

  {
    TonePlayer tone("micsink", mc.rate, mc.channels, 1000, 0.5);
    // A new stream on an idle null sink can stall for seconds: wait for the
    // tone rather than measuring from the start.
    ASSERT_TRUE(capture.waitFor([&] { return recentLevel(capture) > 0.4; }, 20s));
    std::size_t toneFrom = 0;
    {
      std::lock_guard lock(capture.mutex);
      toneFrom = capture.left.size();
    }
    ASSERT_TRUE(capture.waitFor([&] { return capture.left.size() > toneFrom + 3 * 48000; }, 30s));
    engine->stop();
    node->removeTapOnBus(0);
  }

  std::lock_guard lock(capture.mutex);
  EXPECT_EQ(capture.wrongBuffers, 0);
  ASSERT_FALSE(capture.conversionError.has_value()) << capture.conversionError->description;

  // Nothing lost: what is still inside the converter plus what came out is
  // what went in, short of the resampler's delay line.
  PcmBuffer rest(kTarget, 1 << 20);
  std::optional<Error> error;
  converter->convert(rest, error, testing::giveNothing());
  double expectedOut = static_cast<double>(capture.framesIn) * 48000.0 / mc.rate;
  double out = static_cast<double>(capture.left.size() + rest.frameLength());
  EXPECT_LE(out, expectedOut + 2);
  EXPECT_GE(out, expectedOut - 100);
  std::cout << "converter still held " << rest.frameLength() << " frames after "
            << capture.chunkStarts.size() << " tap buffers\n";

  // Every converted buffer past the tone's start carries it at full level,
  // on both sides, and its phase advances by exactly its length.
  std::size_t first = 0;
  while (first < capture.chunkStarts.size() &&
         capture.chunkStarts[first] < capture.left.size() - 3 * 48000 + 4800) {
    ++first;
  }
  const double w = 2 * std::numbers::pi * 1000 / 48000;
  int checked = 0;
  for (std::size_t i = first; i + 1 < capture.chunkStarts.size(); ++i) {
    std::uint32_t at = capture.chunkStarts[i];
    std::uint32_t len = capture.chunkStarts[i + 1] - at;
    if (len < 256) {
      continue;
    }
    // Fit against the local index and carry the phase from one buffer to
    // the next: a repeated or missing stretch breaks the advance.
    auto a = testing::fitSine(capture.left.data() + at, len, 1, 1000, 48000, 0);
    auto b = testing::fitSine(capture.right.data() + at, len, 1, 1000, 48000, 0);
    SCOPED_TRACE(::testing::Message() << "buffer " << i << " at frame " << at);
    EXPECT_NEAR(a.amplitude, 0.5, 0.02);
    EXPECT_NEAR(b.amplitude, 0.5, 0.02);
    EXPECT_LT(a.residual, 0.01);
    std::uint32_t next = capture.chunkStarts[i + 1];
    std::uint32_t nextLen =
        (i + 2 < capture.chunkStarts.size() ? capture.chunkStarts[i + 2] : capture.left.size()) -
        next;
    if (nextLen >= 256) {
      auto n = testing::fitSine(capture.left.data() + next, nextLen, 1, 1000, 48000, 0);
      EXPECT_NEAR(testing::phaseDifference(n.phase, a.phase + w * len), 0, 0.02);
    }
    ++checked;
  }
  EXPECT_GE(checked, 40);  // 3 s in buffers of up to 3072 frames
}

INSTANTIATE_TEST_SUITE_P(Microphones, MicrophonePath,
                         ::testing::Values(MicCase{16000, 1}, MicCase{44100, 2}, MicCase{48000, 2}),
                         [](const ::testing::TestParamInfo<MicCase>& info) {
                           return std::to_string(info.param.rate) + "Hz" +
                                  std::to_string(info.param.channels) + "ch";
                         });

TEST(PulseAudioEngine, NoTapCallAfterRemoveTapReturns) {
  PrivateDesktop::Options options;
  options.x = false;
  PrivateDesktop desktop(options);
  desktop.exportEnvironment();
  TonePlayer tone("micsink", 48000, 2, 440, 0.3);

  PulseAudioEngine engine(std::make_shared<MonotonicClock>());
  auto node = engine.inputNode();
  const AudioFormat format = node->outputFormatForBus(0);
  ASSERT_EQ(format, AudioFormat::standard(48000, 2));
  engine.stop();  // before start: nothing to do

  std::atomic<bool> removed{false};  // seq_cst: the check must see the store before it
  std::atomic<int> late{0}, calls{0};
  for (int round = 0; round < 12; ++round) {
    removed = false;
    node->installTapOnBus(0, 1024, format, [&](const PcmBuffer& b, const AudioTime& when) {
      if (removed) {
        ++late;
      }
      if (b.frameLength() != 1024 || !when.hostTime.valid) {
        ++late;
      }
      ++calls;
      // Long enough that removal often lands while a call runs.
      std::this_thread::sleep_for(2ms);
    });
    ASSERT_FALSE(engine.startAndReturnError().has_value());
    if (round == 0) {
      // Once, wait for data to flow (past the null sink's start-up stall).
      auto until = std::chrono::steady_clock::now() + 20s;
      while (calls < 20 && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(10ms);
      }
      ASSERT_GE(calls, 20);
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(5 * round));
    }
    node->removeTapOnBus(0);
    removed = true;
    std::this_thread::sleep_for(30ms);  // a late call would show here
    engine.stop();
    engine.stop();
  }
  EXPECT_EQ(late, 0);
}

TEST(PulseAudioEngine, StopsCleanlyAfterTheServerDied) {
  PrivateDesktop::Options options;
  options.x = false;
  PrivateDesktop desktop(options);
  desktop.exportEnvironment();
  PulseAudioEngine engine(std::make_shared<MonotonicClock>());
  auto node = engine.inputNode();
  std::atomic<int> calls{0};
  node->installTapOnBus(0, 1024, node->outputFormatForBus(0),
                        [&](const PcmBuffer&, const AudioTime&) { ++calls; });
  ASSERT_FALSE(engine.startAndReturnError().has_value());
  desktop.killPulse();
  std::this_thread::sleep_for(200ms);
  engine.stop();
  node->removeTapOnBus(0);
  // And it can be asked again: the server is gone, so it says so.
  auto error = engine.startAndReturnError();
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->domain, "pulse");
}

TEST(PulseAudioEngine, StartFailsClearlyWithoutAServer) {
  // A socket nobody serves: libpulse follows PULSE_SERVER by itself.
  ::setenv("PULSE_SERVER", "unix:/nonexistent/kestrano-test/native", 1);
  PulseAudioEngine engine(std::make_shared<MonotonicClock>());
  auto node = engine.inputNode();
  EXPECT_EQ(node->outputFormatForBus(0), AudioFormat());
  auto error = engine.startAndReturnError();
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->domain, "pulse");
  EXPECT_NE(error->description.find("sound server"), std::string::npos) << error->description;
  engine.stop();
  engine.stop();
}

}  // namespace
}  // namespace kestrano
