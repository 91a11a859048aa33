#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <optional>
#include <thread>

#include "platform/linux/monotonic_clock.h"
#include "platform/linux/x11/capture_errors.h"
#include "platform/linux/x11/x11_capture_service.h"
#include "tests/x11/capture_probe.h"
#include "tests/x11/silent_x_server.h"
#include "tests/x11/x_scene.h"

namespace kestrano::testing {
namespace {

using namespace std::chrono_literals;

class StreamLifecycle : public ::testing::Test {
 protected:
  PrivateScreen screen_{"1280x720"};
  const PrivateDesktop& desktop_ = screen_.desktop;
};

TEST_F(StreamLifecycle, OutputsAndStartsThatCannotWorkAreRefused) {
  CaptureRig rig(0, recorderConfiguration(1280, 720));  // holds a screen and an audio output
  auto other = std::make_shared<Collector>();
  EXPECT_TRUE(rig.stream->addStreamOutput(other, StreamOutputType::screen, rig.queue)) << "twice";
  EXPECT_TRUE(rig.stream->addStreamOutput(other, static_cast<StreamOutputType>(7), rig.queue));
  EXPECT_TRUE(rig.stream->addStreamOutput(other, StreamOutputType::screen, nullptr));
  EXPECT_TRUE(rig.stop()) << "stop before start";
  ASSERT_FALSE(rig.start());
  EXPECT_TRUE(rig.start()) << "a second start";
  EXPECT_TRUE(rig.stream->addStreamOutput(other, StreamOutputType::audio, rig.queue))
      << "after start";
  EXPECT_FALSE(rig.stop());
  EXPECT_TRUE(rig.stop()) << "a second stop";

  StreamConfiguration noDepth = recorderConfiguration(1280, 720);
  noDepth.queueDepth = 0;
  for (const auto& c : {noDepth, recorderConfiguration(0, 720)}) {
    CaptureRig bad(0, c);
    EXPECT_TRUE(bad.start());
  }
}

TEST_F(StreamLifecycle, AfterStopEveryQueuedSampleHasArrivedAndNoMoreCome) {
  RepaintingWindow painting;
  CaptureRig rig(0, recorderConfiguration(1280, 720));
  // A slow handler keeps a backlog in the queue when stop is asked.
  rig.collector->beforeEach = [] { std::this_thread::sleep_for(100ms); };
  ASSERT_FALSE(rig.start());
  ASSERT_TRUE(rig.collector->waitForSamples(3));
  std::size_t atCompletion = 0;
  EXPECT_FALSE(callAndWait([&](ErrorCompletion done) {
    rig.stream->stopCapture([&, done = std::move(done)](std::optional<Error> e) {
      atCompletion = rig.collector->log().samples.size();
      done(std::move(e));
    });
  }));
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(rig.collector->log().samples.size(), atCompletion);
}

TEST_F(StreamLifecycle, ALostXServerStopsTheStreamOnceWithAnErrorSayingSo) {
  CaptureRig rig(0, recorderConfiguration(1280, 720));
  ASSERT_FALSE(rig.start());
  ASSERT_TRUE(rig.collector->waitForSamples());
  desktop_.killX();
  ASSERT_TRUE(rig.collector->waitForError());
  std::size_t atFailure = rig.collector->log().samples.size();
  rig.stop();  // completes, error or not
  std::this_thread::sleep_for(500ms);

  auto log = rig.collector->log();
  ASSERT_EQ(log.errors.size(), 1u);
  EXPECT_EQ(log.errors[0].description,
            "the connection to the X server " + desktop_.display() + " was lost");
  EXPECT_EQ(log.samples.size(), atFailure) << "capture ended with the failure";
}

// Holds the private X server stopped (SIGSTOP) while it lives: connections
// stay open or queue up, requests go unanswered.
struct FrozenX {
  explicit FrozenX(const PrivateDesktop& desktop) {
    std::ifstream(desktop.directory() + "/x.pid") >> pid;
    EXPECT_GT(pid, 0);
    ::kill(pid, SIGSTOP);
  }
  ~FrozenX() { ::kill(pid, SIGCONT); }  // before the desktop stops
  pid_t pid = 0;
};

std::optional<Error> listDisplays() {
  std::optional<Error> error;
  makeX11CaptureService(std::make_shared<MonotonicClock>(), nullptr)
      ->getShareableContent(
          [&](std::optional<ShareableContent>, std::optional<Error> e) { error = std::move(e); });
  return error;
}

TEST_F(StreamLifecycle, AServerThatStopsAnsweringHoldsUpNeitherStartNorStop) {
  // As the process does: a write on a connection cut for silence fails
  // rather than kills.
  ::signal(SIGPIPE, SIG_IGN);
  // Listing and starting fail, whether the server is silent from the connect
  // on or only after answering it; each wait is bounded, so each returns.
  const struct {
    const char* silence;
    bool afterSetup;
    bool listing;
  } starts[] = {{"frozen: listing", false, true},
                {"frozen: stream start", false, false},
                {"silent after the setup: listing", true, true},
                {"silent after the setup: stream start", true, false}};
  for (const auto& c : starts) {
    SCOPED_TRACE(c.silence);
    CaptureRig rig(0, recorderConfiguration(1280, 720));
    std::optional<SilentXServer> silent;
    std::optional<FrozenX> frozen;
    if (c.afterSetup) {
      silent.emplace();
    } else {
      frozen.emplace(desktop_);
    }
    std::optional<Error> error = c.listing ? listDisplays() : rig.start();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, static_cast<std::int64_t>(x11::CaptureErrorCode::notAnswering));
    std::string display = silent ? silent->display() : desktop_.display();
    EXPECT_EQ(error->description, "the X server " + display + " did not answer within 5 s");
  }

  // Once capture runs, a stop completes (callAndWait bounds it) although the
  // capture thread waits on a reply that never comes.
  CaptureRig rig(0, recorderConfiguration(1280, 720));
  ASSERT_FALSE(rig.start());
  ASSERT_TRUE(rig.collector->waitForSamples());
  FrozenX frozen(desktop_);
  std::this_thread::sleep_for(500ms);  // the capture thread is now waiting on a reply
  EXPECT_FALSE(rig.stop());
  EXPECT_TRUE(rig.collector->log().errors.empty()) << "a requested stop is no failure";
}

TEST_F(StreamLifecycle, DestroyingARunningStreamStopsIt) {
  auto rig = std::make_unique<CaptureRig>(0, recorderConfiguration(1280, 720));
  ASSERT_FALSE(rig->start());
  ASSERT_TRUE(rig->collector->waitForSamples());
  auto collector = rig->collector;
  rig.reset();  // joins the capture thread
  std::size_t after = collector->log().samples.size();
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(collector->log().samples.size(), after);
}

}  // namespace
}  // namespace kestrano::testing
