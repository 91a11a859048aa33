#include "platform/linux/pulse/pulse_audio_engine.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/linux/monotonic_clock.h"
#include "platform/linux/pulse/pulse_audio_factory.h"
#include "recorder/capture_settings.h"
#include "tests/pulse/tone_player.h"
#include "tests/pulse/tone_recording.h"
#include "tests/resample/converter_driver.h"
#include "tests/support/private_desktop.h"

namespace kestrano {
namespace {

using namespace std::chrono_literals;
using testing::PrivateDesktop;
using testing::TonePlayer;

const AudioFormat kTarget = microphoneTargetFormat();

PrivateDesktop::Options soundOnly(int micRate = 48000, int micChannels = 2) {
  PrivateDesktop::Options o;
  o.x = false;
  o.micRate = micRate;
  o.micChannels = micChannels;
  return o;
}

struct MicCase {
  int rate;
  int channels;
};

class MicrophonePath : public ::testing::TestWithParam<MicCase> {};

// The engine and converter driven exactly as the recorder's microphone path
// does: a tap of its size in the device's format, an output with the capacity
// rule's room plus headroom, and an input block that gives the buffer once,
// then nothing.
TEST_P(MicrophonePath, ToneComesOutAt48kStereoContinuousAndAtTheSameLevel) {
  const MicCase mc = GetParam();
  PrivateDesktop desktop(soundOnly(mc.rate, mc.channels));
  desktop.exportEnvironment();

  auto factory = makePulseAudioFactory(std::make_shared<MonotonicClock>());
  auto engine = factory->makeEngine();
  auto node = engine->inputNode();
  const AudioFormat format = node->outputFormatForBus(0);
  ASSERT_EQ(format, AudioFormat::standard(mc.rate, static_cast<std::uint32_t>(mc.channels)));
  std::shared_ptr<AudioConverter> converter = factory->makeConverter(format, kTarget);
  ASSERT_NE(converter, nullptr);

  testing::ToneRecording got;
  std::int64_t framesIn = 0;             // guarded by got.mutex
  std::optional<Error> conversionError;  // guarded by got.mutex
  node->installTapOnBus(
      0, kMicrophoneTapBufferFrames, format, [&](const PcmBuffer& buffer, const AudioTime&) {
        std::optional<Error> error;
        PcmBuffer out = testing::convertLikeMicrophonePath(*converter, buffer, error);
        {
          MutexLock lock(got.mutex);
          framesIn += buffer.frameLength();
          conversionError = conversionError ? conversionError : error;
        }
        got.add(out.data(0), out.data(1), 1, out.frameLength(), 0,
                buffer.frameLength() == kMicrophoneTapBufferFrames && buffer.format() == format);
      });
  ASSERT_FALSE(engine->startAndReturnError().has_value());

  std::size_t toneAt = 0;  // frames in when the tone showed
  {
    TonePlayer tone("micsink", mc.rate, mc.channels, 1000, 0.5);
    // The player fills its buffer before the tone sounds: wait for the tone
    // rather than measuring from the start.
    ASSERT_TRUE(got.waitFor(
        [&]() REQUIRES(got.mutex) { return (toneAt = got.left.size(), got.recentLevel() > 0.4); },
        20s));
    ASSERT_TRUE(got.waitFor(
        [&]() REQUIRES(got.mutex) {
          return got.left.size() >
                 toneAt + static_cast<std::size_t>(3 * kMicrophoneTargetSampleRate);
        },
        30s));
    engine->stop();
    node->removeTapOnBus(0);
  }

  MutexLock lock(got.mutex);
  EXPECT_EQ(got.malformed, 0);
  ASSERT_FALSE(conversionError.has_value()) << conversionError->description;

  // Nothing lost: what is still inside the converter plus what came out is
  // what went in, short of the resampler's delay line.
  PcmBuffer rest(kTarget, 1 << 20);
  std::optional<Error> error;
  converter->convert(rest, error, testing::giveNothing());
  double expectedOut = static_cast<double>(framesIn) * kMicrophoneTargetSampleRate / mc.rate;
  double out = static_cast<double>(got.left.size() + rest.frameLength());
  EXPECT_LE(out, expectedOut + 2);
  EXPECT_GE(out, expectedOut - 100);

  // Every converted buffer from 0.1 s past the tone's start carries it at
  // full level on both sides, and goes on from the one before.
  std::size_t first = 0;
  while (first < got.starts.size() && got.starts[first] < toneAt + 4800) {
    ++first;
  }
  EXPECT_GE(testing::expectUnbrokenTone(got.left, got.starts, first, 0.5), 40);
  testing::expectUnbrokenTone(got.right, got.starts, first, 0.5);
}

INSTANTIATE_TEST_SUITE_P(Microphones, MicrophonePath,
                         ::testing::Values(MicCase{16000, 1}, MicCase{44100, 2}, MicCase{48000, 2}),
                         [](const ::testing::TestParamInfo<MicCase>& info) {
                           return std::to_string(info.param.rate) + "Hz" +
                                  std::to_string(info.param.channels) + "ch";
                         });

// What is said right after the start is in the recording: the start returns
// only once the microphone delivers. A tap smaller than any chunk shows the
// first chunk. Rounds on one server: each start opens a new record stream.
TEST(PulseAudioEngine, StartReturnsOnceTheMicrophoneDelivers) {
  PrivateDesktop desktop(soundOnly());
  desktop.exportEnvironment();
  PulseAudioEngine engine(std::make_shared<MonotonicClock>());
  auto node = engine.inputNode();
  std::atomic<int> calls{0};  // relaxed: a count read after the calls it counts
  node->installTapOnBus(
      0, 16, node->outputFormatForBus(0),
      [&](const PcmBuffer&, const AudioTime&) { calls.fetch_add(1, std::memory_order_relaxed); });
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE("start " + std::to_string(round));
    calls = 0;
    ASSERT_FALSE(engine.startAndReturnError().has_value());
    EXPECT_GT(calls.load(), 0);
    engine.stop();
  }
  node->removeTapOnBus(0);
}

TEST(PulseAudioEngine, NoTapCallAfterRemoveTapReturns) {
  PrivateDesktop desktop(soundOnly());
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
    node->installTapOnBus(0, kMicrophoneTapBufferFrames, format,
                          [&](const PcmBuffer& b, const AudioTime&) {
                            if (removed) {
                              ++late;
                            }
                            if (b.frameLength() != kMicrophoneTapBufferFrames) {
                              ++late;
                            }
                            ++calls;
                            // Long enough that removal often lands while a call runs.
                            std::this_thread::sleep_for(2ms);
                          });
    ASSERT_FALSE(engine.startAndReturnError().has_value());
    if (round == 0) {
      // Once, wait for plenty of calls, so removal meets running ones.
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
  PrivateDesktop desktop(soundOnly());
  desktop.exportEnvironment();
  PulseAudioEngine engine(std::make_shared<MonotonicClock>());
  auto node = engine.inputNode();
  std::atomic<int> calls{0};
  node->installTapOnBus(0, kMicrophoneTapBufferFrames, node->outputFormatForBus(0),
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
