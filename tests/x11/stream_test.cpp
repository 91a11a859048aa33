#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <fstream>
#include <future>
#include <mutex>
#include <thread>

#include "platform/linux/x11/x_connection.h"
#include "platform/unique_fd.h"
#include "tests/x11/capture_probe.h"

namespace kestrano::testing {
namespace {

using namespace std::chrono_literals;

class Streams : public ::testing::Test {
 protected:
  std::unique_ptr<PrivateDesktop> screen_ = privateScreen("1280x720");
};

// A screen repainted faster than capture, a handler held up, then free, then
// slow enough that a stop finds samples still queued.
TEST_F(Streams, PacedAtFifteenAStalledHandlerHoldsTheQueueDepthAndStopDrains) {
  std::jthread painter([](std::stop_token stop) {
    XScene scene;
    xcb_window_t win = scene.addWindow(0, 0, 640, 480, {});
    for (std::uint8_t i = 0; !stop.stop_requested(); i += 37) {
      scene.fill(win, 0, 0, 640, 480, Rgb{i, 30, 30});
      scene.sync();
      std::this_thread::sleep_for(20ms);
    }
  });
  CaptureRig rig(0);
  std::mutex gateMutex;  // guards phase
  std::condition_variable gateChanged;
  enum { held, free, slow } phase = held;
  auto enter = [&](auto next) {
    std::lock_guard lock(gateMutex);
    phase = next;
    gateChanged.notify_all();
  };
  rig.collector->beforeEach = [&] {
    std::unique_lock lock(gateMutex);
    gateChanged.wait(lock, [&] { return phase != held; });
    if (phase == slow) {
      lock.unlock();
      std::this_thread::sleep_for(100ms);
    }
  };
  ASSERT_FALSE(rig.start());
  std::this_thread::sleep_for(2s);  // time for 30 frames at the full rate
  const std::int64_t released = rig.clock->now().nanoseconds();
  enter(free);
  std::this_thread::sleep_for(2s);
  const std::int64_t slowed = rig.clock->now().nanoseconds();
  enter(slow);
  std::this_thread::sleep_for(500ms);
  std::size_t atCompletion = 0;
  EXPECT_FALSE(callAndWait([&](ErrorCompletion done) {
    rig.stream->stopCapture([&, done = std::move(done)](std::optional<Error> e) {
      atCompletion = rig.collector->log().samples.size();
      done(std::move(e));
    });
  }));
  std::this_thread::sleep_for(500ms);

  auto log = rig.collector->log();
  EXPECT_EQ(log.samples.size(), atCompletion) << "delivered after the stop completed";
  std::size_t whileHeld = 0, whileFree = 0;
  for (const auto& d : log.samples) {
    whileHeld += d.nanos < released ? 1 : 0;
    whileFree += d.nanos >= released && d.nanos < slowed ? 1 : 0;
  }
  EXPECT_GE(whileHeld, 1u);
  EXPECT_LE(whileHeld, 5u);
  EXPECT_GE(whileFree, 10u) << "skipped frames, not a stopped stream";
  auto frames = log.frames(FrameStatus::complete);
  for (std::size_t i = 1; i < frames.size(); ++i) {
    EXPECT_GE(frames[i].nanos - frames[i - 1].nanos, 1'000'000'000 / 15) << "frame " << i;
  }
}

TEST_F(Streams, ALostXServerStopsTheStreamOnceWithAnErrorSayingSo) {
  CaptureRig rig(0);
  ASSERT_FALSE(rig.start());
  ASSERT_TRUE(rig.collector->waitUntil([](const auto& log) { return !log.samples.empty(); }));
  screen_->killX();
  ASSERT_TRUE(rig.collector->waitUntil([](const auto& log) { return !log.errors.empty(); }));
  std::size_t atFailure = rig.collector->log().samples.size();
  rig.stop();  // completes, error or not
  std::this_thread::sleep_for(500ms);

  auto log = rig.collector->log();
  ASSERT_EQ(log.errors.size(), 1u);
  EXPECT_EQ(log.errors[0].description,
            "the connection to the X server " + screen_->display() + " was lost");
  EXPECT_EQ(log.samples.size(), atFailure) << "capture ended with the failure";
}

// Holds the private X server stopped (SIGSTOP) while it lives: connections
// queue up, requests go unanswered.
struct FrozenX {
  explicit FrozenX(const PrivateDesktop& desktop) {
    std::ifstream(desktop.directory() + "/x.pid") >> pid;
    EXPECT_GT(pid, 0);
    ::kill(pid, SIGSTOP);
  }
  ~FrozenX() { ::kill(pid, SIGCONT); }
  pid_t pid = 0;
};

// Answers the connection setup as the real X server does and then never
// another request, on an abstract socket (where X clients look first) of a
// display number of its own.
class SilentXServer {
 public:
  SilentXServer() {
    xcb_connection_t* real = x11::connectToDefaultDisplay(nullptr);
    const xcb_setup_t* setup = xcb_get_setup(real);  // the whole reply, as read
    reply_.assign(reinterpret_cast<const char*>(setup), 8 + 4 * std::size_t{setup->length});
    xcb_disconnect(real);
    listener_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    for (int n = 700; n < 800 && display_.empty(); ++n) {
      sockaddr_un at{};
      at.sun_family = AF_UNIX;
      std::string name = "/tmp/.X11-unix/X" + std::to_string(n);
      std::memcpy(at.sun_path + 1, name.data(), name.size());
      auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
      if (::bind(listener_.get(), reinterpret_cast<sockaddr*>(&at), length) == 0) {
        display_ = ":" + std::to_string(n);
      }
    }
    EXPECT_EQ(::listen(listener_.get(), 16), 0);
    // The reply may go before the client's request is read: it is a stream.
    thread_ = std::thread([this] {
      for (UniqueFd c;
           c.reset(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC)), c.get() >= 0;) {
        if (::write(c.get(), reply_.data(), reply_.size()) > 0) {
          clients_.push_back(std::move(c));  // held open, never read
        }
      }
    });
  }
  ~SilentXServer() {
    ::shutdown(listener_.get(), SHUT_RDWR);  // accept fails
    thread_.join();
  }
  const std::string& display() const { return display_; }

 private:
  std::string reply_, display_;
  UniqueFd listener_;
  std::vector<UniqueFd> clients_;
  std::thread thread_;
};

// Listing and starting fail with an error naming the display, whether the
// server is not there, silent from the connect on or only after the setup;
// each wait is bounded, so each returns.
TEST_F(Streams, AServerMissingOrNotAnsweringHoldsUpNeitherStartNorStop) {
  ::signal(SIGPIPE, SIG_IGN);  // as the recorder: writes on a cut connection fail
  enum Fault { absent, frozen, silent };
  const struct {
    Fault fault;
    bool listing;
  } cases[] = {{absent, true}, {absent, false}, {frozen, false}, {silent, true}, {silent, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "fault " << c.fault << (c.listing ? " listing" : ""));
    CaptureRig rig(0);
    std::optional<FrozenX> frozenX;
    std::optional<SilentXServer> silentX;
    std::string display = ":250";  // a display number no test server takes
    if (c.fault == frozen) {
      frozenX.emplace(*screen_);
      display = screen_->display();
    } else if (c.fault == silent) {
      display = silentX.emplace().display();
    }
    ::setenv("DISPLAY", display.c_str(), 1);
    std::optional<Error> error;
    if (c.listing) {
      EXPECT_TRUE(listDisplays(error).empty());
    } else {
      error = rig.start();
    }
    ::setenv("DISPLAY", screen_->display().c_str(), 1);
    ASSERT_TRUE(error);
    EXPECT_NE(error->description.find(
                  "the X server " + display +
                  (c.fault == absent ? " cannot be reached" : " did not answer within 5 s")),
              std::string::npos)
        << error->description;
  }

  // Once capture runs, a stop completes (callAndWait bounds it) although the
  // capture thread waits on a reply that never comes.
  CaptureRig rig(0);
  ASSERT_FALSE(rig.start());
  ASSERT_TRUE(rig.collector->waitUntil([](const auto& log) { return !log.samples.empty(); }));
  FrozenX frozenX(*screen_);
  std::this_thread::sleep_for(500ms);  // the capture thread is now waiting on a reply
  EXPECT_FALSE(rig.stop());
  EXPECT_TRUE(rig.collector->log().errors.empty()) << "a requested stop is no failure";
}

// A system audio source without a sound server, driven by the test as the
// source's thread would drive the handlers the stream gave it.
struct FakeAudio {
  std::mutex mutex;  // guards everything here
  std::optional<Error> startError;
  int stops = 0;
  SystemAudioSource::BufferHandler onBuffer;
  SystemAudioSource::FailureHandler onFailure;

  void emit(std::uint32_t frames, std::int64_t nanos) {
    std::lock_guard lock(mutex);
    PcmBuffer buffer(AudioFormat::standard(48000, 2), frames);
    buffer.setFrameLength(frames);
    if (onBuffer) {
      onBuffer(std::move(buffer), MediaTime::make(nanos, kNanosecondTimescale));
    }
  }
  void fail(const std::string& why) {
    std::lock_guard lock(mutex);
    if (onFailure) {
      onFailure(Error{"FakeAudio", 9, why});
    }
  }
};

std::function<std::unique_ptr<SystemAudioSource>()> factory(std::shared_ptr<FakeAudio> audio) {
  struct Source final : SystemAudioSource {
    std::shared_ptr<FakeAudio> a;
    std::optional<Error> start(double, std::uint32_t, BufferHandler onBuffer,
                               FailureHandler onFailure) override {
      std::lock_guard lock(a->mutex);
      if (!a->startError) {
        a->onBuffer = std::move(onBuffer);
        a->onFailure = std::move(onFailure);
      }
      return a->startError;
    }
    void stop() override {
      std::lock_guard lock(a->mutex);
      a->stops += a->onBuffer ? 1 : 0;
      a->onBuffer = nullptr;
      a->onFailure = nullptr;
    }
  };
  return [audio] {
    auto s = std::make_unique<Source>();
    s->a = audio;
    return s;
  };
}

TEST_F(Streams, VideoFollowsTheFirstAudioBufferAndAFailingSourceEndsTheCaptureOnce) {
  auto audio = std::make_shared<FakeAudio>();
  CaptureRig rig(0, 1280, 720, factory(audio));
  auto started = std::async(std::launch::async, [&] { return rig.start(); });
  for (auto until = std::chrono::steady_clock::now() + kPatience;
       std::chrono::steady_clock::now() < until;) {
    if (std::lock_guard lock(audio->mutex); audio->onBuffer) {
      break;
    }
    std::this_thread::sleep_for(10ms);
  }
  std::this_thread::sleep_for(300ms);  // well inside the bound on a silent source
  EXPECT_EQ(started.wait_for(0s), std::future_status::timeout) << "started before the audio";
  EXPECT_TRUE(rig.collector->log().samples.empty()) << "video before the audio";
  audio->emit(480, 7'000'000'000);
  audio->emit(960, 7'010'000'000);
  EXPECT_FALSE(started.get());
  ASSERT_TRUE(rig.collector->waitUntil([](const Collector::Log& log) {
    return log.audio().size() == 2 && !log.frames(FrameStatus::complete).empty();
  }));
  audio->fail("the sound server went away");
  audio->fail("and again");
  ASSERT_TRUE(rig.collector->waitUntil([](const auto& log) { return !log.errors.empty(); }));
  std::size_t atFailure = rig.collector->log().samples.size();
  std::this_thread::sleep_for(1500ms);  // past the next idle frame, had video gone on
  EXPECT_FALSE(rig.stop());

  auto log = rig.collector->log();
  EXPECT_EQ(log.samples.size(), atFailure);
  ASSERT_EQ(log.errors.size(), 1u);
  EXPECT_NE(log.errors[0].description.find("the sound server went away"), std::string::npos);
  EXPECT_EQ(audio->stops, 1);
  EXPECT_EQ(log.samples.front().type, StreamOutputType::audio);
  auto sound = log.audio();
  ASSERT_EQ(sound.size(), 2u);
  EXPECT_EQ(sound[0].nanos, 7'000'000'000);
  EXPECT_EQ(sound[1].nanos, 7'010'000'000);
  EXPECT_EQ(sound[0].sample->duration(), MediaTime::make(480, 48000));
  EXPECT_EQ(std::get<PcmBuffer>(sound[1].sample->data()).frameLength(), 960u);
}

// A source that never delivers holds the start only a moment; video goes on
// alone. One that cannot start fails the start, saying why.
TEST_F(Streams, ASilentSourceDelaysTheStartAndARefusingOneFailsIt) {
  for (bool refuses : {false, true}) {
    SCOPED_TRACE(refuses ? "refusing" : "silent");
    auto audio = std::make_shared<FakeAudio>();
    if (refuses) {
      audio->startError = Error{"FakeAudio", 3, "no sound server at unix:/nowhere"};
    }
    CaptureRig rig(0, 1280, 720, factory(audio));
    std::optional<Error> error = rig.start();
    EXPECT_EQ(error.has_value(), refuses);
    if (refuses) {
      EXPECT_NE(error->description.find("unix:/nowhere"), std::string::npos);
      std::this_thread::sleep_for(300ms);
    } else {
      EXPECT_TRUE(rig.collector->waitUntil(
          [](const auto& log) { return !log.frames(FrameStatus::complete).empty(); }));
      EXPECT_FALSE(rig.stop());
    }
    auto log = rig.collector->log();
    EXPECT_TRUE(log.audio().empty());
    EXPECT_EQ(log.samples.empty(), refuses);
  }
}

}  // namespace
}  // namespace kestrano::testing
