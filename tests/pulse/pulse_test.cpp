// The sound backends against a private PulseAudio server: system audio from
// the default sink's monitor, and the microphone engine. The tones are a
// 1 kHz sine at 0.5, played with 200 ms of buffer so that a loaded machine
// does not starve them.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/linux/monotonic_clock.h"
#include "platform/linux/pulse/pulse_audio_engine.h"
#include "platform/linux/pulse/pulse_audio_factory.h"
#include "platform/linux/pulse/pulse_system_audio_source.h"
#include "recorder/capture_settings.h"
#include "tests/resample/converter_driver.h"
#include "tests/resample/sine_fit.h"
#include "tests/support/private_desktop.h"
#include "tests/support/sound_listener.h"
#include "tests/support/temporary_folder.h"

namespace kestrano::testing {
namespace {

using namespace std::chrono_literals;

// What a capture path delivered, shared between its thread and the test: the
// first two channels of every buffer in a row, where each began and its time.
// Declared before the capture objects, so it outlives their threads.
struct Recording {
  std::mutex mutex;  // guards everything here
  std::condition_variable changed;
  std::vector<float> left, right;
  std::vector<std::size_t> starts;
  std::vector<std::int64_t> times;  // ns
  int malformed = 0;                // buffers of the wrong size, format or time
  int failures = 0;

  void change(const std::function<void()>& how) {
    {
      std::lock_guard lock(mutex);
      how();
    }
    changed.notify_all();
  }
  void add(const float* l, const float* r, std::size_t stride, std::uint32_t frames,
           std::int64_t time, bool wellFormed) {
    change([&] {
      starts.push_back(left.size());
      times.push_back(time);
      malformed += wellFormed ? 0 : 1;
      for (std::uint32_t i = 0; i < frames; ++i) {
        left.push_back(l[i * stride]);
        right.push_back(r[i * stride]);
      }
    });
  }
  // Waits for `ready`, which runs under the lock; bounded, so a fault fails.
  bool waitFor(const std::function<bool()>& ready, std::chrono::seconds timeout = 10s) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, timeout, ready);
  }
  // The tone's level in the last 1024 frames.
  double recentLevel() const {
    return left.size() < 1024 ? 0 : fitSine(&left.back() - 1023, 1024, 1, 1000, 48000, 0).amplitude;
  }
};

// The sound server these tests run on (see PrivateDesktop) is PipeWire's.
bool onPipeWire() {
  const char* server = std::getenv("KESTRANO_SOUND_SERVER");
  return server != nullptr && std::string(server) == "pipewire";
}

// For the buffers from `first` on (but the last): each of at least 256
// frames carries the tone at 0.5 and the next goes on in phase, so nothing
// was repeated or lost between them. Not judged within half a second of
// where the server itself broke the sound (`serverBreaks`, seconds on the
// host clock, as `times` in ns; see SoundListener), nor where it handed a
// cycle over as silence: a run of 32 or more zeros, which a tone never
// holds and the capture makes only of what the server said it lost.
// PipeWire 0.3.65 silences a cycle of one stream now and then (a graph cycle)
// while the reader beside gets it whole; nor where one or two buffers lie
// across which the tone moved on by exactly one dropped cycle (see
// movedOnByOneCycle). Returns how many it checked.
int expectUnbrokenTone(const std::vector<float>& samples, const std::vector<std::size_t>& starts,
                       std::size_t first, const std::vector<std::int64_t>& times,
                       const std::vector<double>& serverBreaks) {
  auto length = [&](std::size_t i) {
    return (i + 1 < starts.size() ? starts[i + 1] : samples.size()) - starts[i];
  };
  auto fit = [&](std::size_t i) {  // on the running frame count: one phase throughout
    return fitSine(samples.data() + starts[i], length(i), 1, 1000, 48000,
                   static_cast<std::int64_t>(starts[i]));
  };
  // How far the tone's phase moves from buffer `i` to the next one long
  // enough to fit (a shorter one between them is passed over, not trusted).
  auto jump = [&](std::size_t i) {
    std::size_t next = i + 1;
    while (next < starts.size() && length(next) < 256) {
      ++next;
    }
    return next < starts.size() ? std::abs(phaseDifference(fit(next).phase, fit(i).phase)) : 0;
  };
  std::vector<bool> silenced(starts.size(), false);
  for (std::size_t i = first, run = 0, runFrom = first; i < starts.size(); ++i) {
    for (std::size_t k = starts[i]; k < starts[i] + length(i); ++k) {
      run = samples[k] == 0 ? run + 1 : 0;
      runFrom = run == 1 ? i : runFrom;
      if (run >= 32) {
        silenced[runFrom] = silenced[i] = true;
      }
    }
  }
  int checked = 0, excused = 0;
  std::vector<std::size_t> faulty;  // since the last sound buffer
  std::optional<std::size_t> sound;
  // Judges the faulty buffers since the last sound one, given the sound one
  // after them (none: the recording ended first).
  const auto judge = [&](std::optional<std::size_t> next) {
    const double step = sound && next ? phaseDifference(fit(*next).phase, fit(*sound).phase) : 0;
    const bool cycleDropped =
        onPipeWire() && faulty.size() <= 2 && movedOnByOneCycle(step, 1000, 0.05);
    for (std::size_t i : faulty) {
      const double at = static_cast<double>(times[i]) * 1e-9;
      const bool silence = silenced[i] || silenced[i + 1];
      if (silence || cycleDropped || serverBrokeWithin(serverBreaks, at - 0.5, at + 0.5)) {
        ++excused;
        std::cout << "buffer " << i << ": the server "
                  << (silence        ? "broke the sound there (a cycle of silence)\n"
                      : cycleDropped ? "dropped a cycle of this stream there\n"
                                     : "broke the sound there\n");
        continue;
      }
      const SineFit here = fit(i);
      ADD_FAILURE() << "buffer " << i << " at frame " << starts[i] << ": level " << here.amplitude
                    << ", off the sine by " << here.residual << ", the next jumps by " << jump(i)
                    << " rad";
    }
    faulty.clear();
  };
  for (std::size_t i = first; i + 1 < starts.size(); ++i) {
    if (length(i) < 256) {
      continue;
    }
    ++checked;
    const SineFit here = fit(i);
    if (std::abs(here.amplitude - 0.5) <= 0.02 && here.residual < 0.01 && jump(i) <= 0.02) {
      if (!faulty.empty()) {
        judge(i);
      }
      sound = i;
      continue;
    }
    faulty.push_back(i);
  }
  judge(std::nullopt);
  EXPECT_LE(excused * 4, checked) << "the server broke too much of the sound to judge it";
  return checked;
}

std::optional<Error> startInto(SystemAudioSource& source, Recording& got) {
  return source.start(
      48000, 2,
      [&got](PcmBuffer buffer, MediaTime time) {
        got.add(buffer.data(0), buffer.data(0) + 1, 2, buffer.frameLength(), time.value,
                buffer.format() == AudioFormat(48000, 2, true) && time.valid &&
                    time.timescale == kNanosecondTimescale);
      },
      [&got](Error) { got.change([&] { ++got.failures; }); });
}

// The tone plays on the other sink until the user makes it the default.
TEST(PulseSystemAudio, FollowsTheDefaultSinkAndStampsBuffersWithTheirTimes) {
  auto server = PrivateDesktop::forThisProcess({.x = false});
  ASSERT_TRUE(server->sound("tone", "micsink 1000"));
  TemporaryFolder folder;
  const SoundListener listener(*server, "micsink.monitor", folder.path("micsink.f32"));
  Recording got;
  PulseSystemAudioSource source(std::make_shared<MonotonicClock>(), nullptr);
  ASSERT_FALSE(startInto(source, got));
  ASSERT_TRUE(got.waitFor([&] { return got.starts.size() > 20; }));
  EXPECT_TRUE(got.waitFor([&] { return got.recentLevel() < 0.01; }, 0s));
  ASSERT_EQ(std::system("pactl set-default-sink micsink"), 0);
  // Measured from the tone on, past the start-up stall of a fresh stream; the
  // server's timing settles about a second after the tone shows (the source
  // falls back to arrival times until then, ~10 ms off).
  std::size_t from = 0;
  ASSERT_TRUE(got.waitFor([&] { return (from = got.starts.size() + 60, got.recentLevel() > 0.4); }))
      << "capture stayed on the old sink's monitor";
  ASSERT_TRUE(got.waitFor([&] { return got.starts.size() > from + 80; }));
  // On PipeWire no stream asks less than the device's default cycle of 1024
  // frames, neither the recorder's nor the desktop's own readers: a shorter
  // one drives the device in cycles a busy machine cannot keep, and what is
  // recorded from it breaks up.
  const std::string outputs = PrivateDesktop::run("pactl list source-outputs");
  for (std::size_t at = outputs.find("Source Output #"); at != std::string::npos;) {
    const std::size_t next = outputs.find("Source Output #", at + 1);
    const std::string block = outputs.substr(at, next - at);
    const std::size_t latency = block.find("node.latency = \"");
    unsigned frames = 0, rate = 0;
    if (latency != std::string::npos &&
        std::sscanf(block.c_str() + latency, "node.latency = \"%u/%u\"", &frames, &rate) == 2) {
      EXPECT_GE(frames * 48000.0 / rate, 1024) << block;
    }
    at = next;
  }
  source.stop();
  std::size_t afterStop = 0;
  got.change([&] { afterStop = got.starts.size(); });
  std::this_thread::sleep_for(100ms);
  std::lock_guard lock(got.mutex);
  EXPECT_EQ(got.starts.size(), afterStop) << "a buffer arrived after stop() returned";
  EXPECT_EQ(got.failures, 0);
  EXPECT_EQ(got.malformed, 0);
  expectUnbrokenTone(got.left, got.starts, from, got.times,
                     listener.breaks({1000}, SoundListener::Clock::time_point()));
  // Consecutive times differ by the buffer's duration and do not drift from
  // the running frame count: a wrong rate drifts by tens of milliseconds
  // within the second measured, the server's jitter stays within a few. The
  // server's rate estimate may still be settling by a few tenths of a percent
  // (0.3% was seen once in a quiet full run); a wrong rate is off by 8% or more.
  auto nanos = [&](std::size_t a, std::size_t b) {
    return static_cast<double>(got.starts[b] - got.starts[a]) * 1e9 / 48000;
  };
  for (std::size_t i = from; i + 1 < got.starts.size(); ++i) {
    EXPECT_NEAR(got.times[i + 1] - got.times[i], nanos(i, i + 1), 5e6) << "buffer " << i;
    EXPECT_NEAR(got.times[i + 1] - got.times[from], nanos(from, i + 1),
                5e6 + nanos(from, i + 1) / 100)
        << "buffer " << i;
    // At most about two fragments each (the server's default is seconds).
    EXPECT_LE(got.starts[i + 1] - got.starts[i], 2400u);
  }
}

// A server that accepts connections but never answers fails a start in
// bounded time: callers wait on it. (Capture outliving a restart is a row of
// the binary's sound-change table, on both servers.)
TEST(PulseServer, AStalledServerFailsAStartInBoundedTime) {
  auto server = PrivateDesktop::forThisProcess({.x = false});
  Recording none;
  PulseSystemAudioSource source(std::make_shared<MonotonicClock>(), nullptr);
  pid_t pid = 0;
  std::ifstream(server->directory() + "/pulse.pid") >> pid;
  ASSERT_GT(pid, 0);
  ::kill(pid, SIGSTOP);
  std::optional<Error> stalled = startInto(source, none);
  ::kill(pid, SIGCONT);
  ASSERT_TRUE(stalled);
  EXPECT_NE(stalled->description.find("timed out"), std::string::npos) << stalled->description;
}

// PipeWire's own ways of leaving a microphone stream with nothing, each
// recovered from with the tone back (the PulseAudio daemon has neither):
// - a stream whose links to its device are taken away (the session manager
//   relinking, a user's patchbay) neither fails nor delivers: it is opened
//   again, and said so;
// - a default the server names but does not have (left so by the session
//   manager): none is recorded meanwhile, a fresh connection asks once, and
//   the default is followed back when it is there again.
TEST(Microphone, OnPipeWireAStreamCutOffOrAMissingDefaultIsRecoveredFrom) {
  if (!onPipeWire()) {
    GTEST_SKIP() << "only PipeWire links streams and lets a default name nothing";
  }
  auto server = PrivateDesktop::forThisProcess({.micChannels = 1, .x = false});
  ASSERT_TRUE(server->sound("tone", "micsink 1000 1"));
  auto clock = std::make_shared<MonotonicClock>();
  Recording mic;
  std::vector<std::string> notices;  // guarded by mic.mutex
  std::size_t said = 0;              // chunks when the engine said it opens the stream again
  PulseAudioEngine engine(clock, [&](std::string_view line) {
    mic.change([&] {
      notices.emplace_back(line);
      if (line.find("opening it again") != std::string_view::npos) {
        said = mic.starts.size();
      }
    });
  });
  auto saidTimes = [&](std::string_view what) {  // with mic.mutex held
    return std::count_if(notices.begin(), notices.end(), [&](const std::string& line) {
      return line.find(what) != std::string::npos;
    });
  };
  auto node = engine.inputNode();
  node->installTapOnBus(0, 480, node->outputFormatForBus(0),
                        [&](const PcmBuffer& b, const AudioTime&) {
                          mic.add(b.data(0), b.data(0), 1, b.frameLength(), 0, true);
                        });
  ASSERT_FALSE(engine.startAndReturnError());
  ASSERT_TRUE(mic.waitFor([&] { return mic.recentLevel() > 0.4; }));
  const std::string env = "export XDG_RUNTIME_DIR=" + server->directory() + "/run; ";
  ASSERT_EQ(std::system((env + "pw-link -l | awk '/^[^ ]/ {out = $1} /[|]-> microphone:/ "
                               "{print out, $2}' | xargs -r -n2 pw-link -d")
                            .c_str()),
            0);
  EXPECT_TRUE(mic.waitFor([&] { return said > 0 && mic.starts.size() > said + 50; }, 20s))
      << "said at " << said << " of " << mic.starts.size() << " chunks";
  EXPECT_TRUE(mic.waitFor([&] { return mic.recentLevel() > 0.4; }, 0s));

  auto setDefault = [&](const std::string& name) {
    return std::system(
        (env + "pw-metadata 0 default.audio.source '{\"name\":\"" + name + "\"}' >/dev/null")
            .c_str());
  };
  ASSERT_EQ(setDefault("ghost"), 0);
  ASSERT_TRUE(mic.waitFor([&] { return saidTimes("connecting afresh") > 0; }, 20s));
  std::this_thread::sleep_for(3s);  // more retries: the fresh connection is asked only once
  {
    std::lock_guard lock(mic.mutex);
    EXPECT_EQ(saidTimes("none found"), 1);
    EXPECT_EQ(saidTimes("connecting afresh"), 1);
  }
  const std::size_t before = mic.starts.size();
  ASSERT_EQ(setDefault("mic"), 0);
  EXPECT_TRUE(mic.waitFor(
      [&] { return saidTimes("recording from \"mic\"") > 0 && mic.starts.size() > before + 50; },
      20s));
  EXPECT_TRUE(mic.waitFor([&] { return mic.recentLevel() > 0.4; }, 0s));
  engine.stop();
  node->removeTapOnBus(0);
}

// The engine and converter driven as the recorder's microphone path does, on
// devices of the usual formats: a tap of its size in the device's format, and
// the room it gives the output. Out comes the tone at 48 kHz, on both sides,
// at its level, continuous.
TEST(Microphone, ToneComesOutAt48kStereoContinuousAndAtTheSameLevel) {
  struct Device {
    int rate, channels;
  };
  // pipewire-pulse 0.3.65's remapped source (the test microphone) delivers
  // nothing at a rate other than its graph's 48 kHz, and in stereo it
  // sometimes keeps the right channel silent when recorded before anything
  // plays: there only a mono device, the rest on the PulseAudio daemon.
  const std::vector<Device> devices = onPipeWire()
                                          ? std::vector<Device>{{48000, 1}}
                                          : std::vector<Device>{{16000, 1}, {44100, 2}, {48000, 2}};
  for (const auto& device : devices) {
    SCOPED_TRACE(::testing::Message() << device.rate << " Hz, " << device.channels << " ch");
    auto server = PrivateDesktop::forThisProcess(
        {.micRate = device.rate, .micChannels = device.channels, .x = false});
    Recording got;
    std::shared_ptr<AudioConverter> converter;
    auto clock = std::make_shared<MonotonicClock>();
    auto factory = makePulseAudioFactory(clock);
    auto engine = factory->makeEngine();
    auto node = engine->inputNode();
    const AudioFormat format = node->outputFormatForBus(0);
    ASSERT_EQ(format, AudioFormat::standard(device.rate, std::uint32_t(device.channels)));
    ASSERT_TRUE(converter = factory->makeConverter(format, microphoneTargetFormat()));
    node->installTapOnBus(
        0, kMicrophoneTapBufferFrames, format, [&](const PcmBuffer& buffer, const AudioTime&) {
          std::optional<Error> error;
          PcmBuffer out = convertLikeMicrophonePath(*converter, buffer, error);
          got.add(out.data(0), out.data(1), 1, out.frameLength(), clock->now().nanoseconds(),
                  !error && buffer.frameLength() == kMicrophoneTapBufferFrames &&
                      buffer.format() == format);
        });
    ASSERT_FALSE(engine->startAndReturnError());
    ASSERT_TRUE(server->sound("tone", "micsink 1000 " + std::to_string(device.channels)));
    TemporaryFolder folder;
    const SoundListener listener(*server, "mic", folder.path("mic.f32"));
    std::size_t toneAt = 0;  // frames out when the tone showed
    ASSERT_TRUE(got.waitFor([&] { return (toneAt = got.left.size(), got.recentLevel() > 0.4); }))
        << toneAt << " frames, level " << got.recentLevel();
    ASSERT_TRUE(got.waitFor([&] { return got.left.size() > toneAt + 3 * 48000; }));
    engine->stop();
    node->removeTapOnBus(0);

    std::lock_guard lock(got.mutex);
    EXPECT_EQ(got.malformed, 0);
    // From 0.1 s past the tone's start, at full level on both sides.
    std::size_t first = 0;
    while (first < got.starts.size() && got.starts[first] < toneAt + 4800) {
      ++first;
    }
    for (const auto* side : {&got.left, &got.right}) {
      SCOPED_TRACE(side == &got.left ? "left" : "right");
      EXPECT_GE(expectUnbrokenTone(*side, got.starts, first, got.times,
                                   listener.breaks({1000}, SoundListener::Clock::time_point())),
                40);
    }
  }
}

// Start returns only once the microphone delivers (a tap smaller than any
// chunk shows the first one), so what is said right after it is recorded;
// no call of a tap begins after its removal returns. Rounds on one server:
// each start opens a new record stream.
TEST(PulseAudioEngine, StartReturnsOnceTheMicrophoneDeliversAndRemoveTapEndsTheCalls) {
  auto server = PrivateDesktop::forThisProcess({.x = false});
  PulseAudioEngine engine(std::make_shared<MonotonicClock>(), nullptr);
  auto node = engine.inputNode();
  const AudioFormat format = node->outputFormatForBus(0);
  std::atomic<bool> removed{false};  // seq_cst: a call must see the store before it
  std::atomic<int> late{0}, calls{0};
  for (int round = 0; round < 8; ++round) {
    SCOPED_TRACE("start " + std::to_string(round));
    removed = false;
    calls = 0;
    node->installTapOnBus(0, 16, format, [&](const PcmBuffer& b, const AudioTime&) {
      late += removed || b.frameLength() != 16 ? 1 : 0;
      ++calls;
      std::this_thread::sleep_for(100us);  // removal often lands while a call runs
    });
    ASSERT_FALSE(engine.startAndReturnError());
    EXPECT_GT(calls.load(), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(5 * round));
    node->removeTapOnBus(0);
    removed = true;
    std::this_thread::sleep_for(30ms);  // a late call would show here
    engine.stop();
  }
  EXPECT_EQ(late, 0);
}

}  // namespace
}  // namespace kestrano::testing
