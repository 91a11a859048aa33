#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "recorder/completion_wait.h"
#include "tests/recorder/recorder_fixture.h"

namespace kestrano::testing {
namespace {

TEST(CompletionWait, TakesTheFirstResultFromAnyThreadAndOutlivesNoCompletion) {
  std::function<void(int)> late;
  {
    CompletionWait<int> early;
    late = early.deliverer();
    late(1);  // before anyone waits, as a synchronous completion does
    late(2);
    EXPECT_EQ(early.wait(), 1);
  }
  late(3);  // a completion outliving the wait is harmless

  CompletionWait<int> other;
  std::thread thread([deliver = other.deliverer()] {
    deliver(4);
    deliver(5);
  });
  EXPECT_EQ(other.wait(), 4);
  thread.join();
}

TEST(CompletionWait, ACancellationWinsOverAResultThatCameToo) {
  // As when a start was cancelled while held up in a synchronous platform
  // call: once that returns, the start must go no further.
  WaitCancellation cancellation;
  CompletionWait<int> wait;
  wait.deliverer()(1);
  EXPECT_EQ(wait.waitFor(std::chrono::seconds(5), cancellation), 1);
  cancellation.cancel();
  CompletionWait<int> next;
  next.deliverer()(2);
  EXPECT_EQ(next.waitFor(std::chrono::seconds(5), cancellation), std::nullopt);
}

TEST(CompletionTiming, LateCompletionsResumeStartAndStopInOrder) {
  Rig rig;
  auto& log = rig.fake.log;
  auto& delivery = rig.fake.delivery;
  delivery.setMode(fake::Delivery::held);

  auto started = std::async(std::launch::async, [&rig] { return rig.start(); });
  ASSERT_TRUE(delivery.waitForHeld(1));  // the shareable content
  EXPECT_FALSE(log.contains("writer.make"));
  delivery.releaseHeld();
  ASSERT_TRUE(delivery.waitForHeld(1));  // the capture start
  EXPECT_FALSE(log.contains("engine.make"));
  delivery.releaseHeld();
  EXPECT_EQ(started.get(), std::nullopt);
  EXPECT_TRUE(log.contains("engine.start"));

  rig.deliver(screenFrame(at(1)));
  auto stopped = std::async(std::launch::async, [&rig] { return rig.recorder->stop(); });
  ASSERT_TRUE(delivery.waitForHeld(1));  // the capture stop
  // The tap is gone, but no input is finished before the stop completes.
  EXPECT_TRUE(log.contains("node.removeTap 0"));
  EXPECT_FALSE(log.contains("input.markAsFinished"));
  delivery.releaseHeld();
  ASSERT_TRUE(delivery.waitForHeld(1));  // the writer's finish
  EXPECT_EQ(log.count("input.markAsFinished"), 3u);
  EXPECT_FALSE(log.contains("fs.attributes"));
  delivery.releaseHeld();
  EXPECT_EQ(stopped.get(), 4242);
  EXPECT_TRUE(log.contains("fs.attributes /rec/out.mp4"));
}

// Completions that never come (a capture stuck on a frozen server): each wait
// of the start ends at its deadline, or at once when the start is cancelled.
using std::chrono::milliseconds;
using std::chrono::steady_clock;

struct StuckCase {
  std::string name;
  std::size_t answered;  // completions let through before the one that never comes
  bool cancel;           // cancelStart() instead of the deadline
  std::int64_t code;
  std::string description;
  std::string notReached;  // a call the start must not have made
};

class StuckCompletion : public ::testing::TestWithParam<StuckCase> {};

TEST_P(StuckCompletion, EndsTheStartWithAClearError) {
  const StuckCase& c = GetParam();
  fake::FakePlatform fake;
  fake.delivery.setMode(fake::Delivery::held);
  // Deadlines far below the real ones, so that the test does not wait them.
  auto recorder = std::make_shared<Recorder>(fake.platform(),
                                             StartDeadlines{milliseconds(300), milliseconds(300)});
  const auto begin = steady_clock::now();
  auto started = std::async(std::launch::async, [&] { return recorder->start("/rec/out.mp4"); });
  for (std::size_t i = 0; i < c.answered; ++i) {
    ASSERT_TRUE(fake.delivery.waitForHeld(1));
    fake.delivery.releaseHeld();
  }
  ASSERT_TRUE(fake.delivery.waitForHeld(1));  // the completion that never comes
  if (c.cancel) {
    recorder->cancelStart();
  }
  const bool ended = started.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  const auto took = steady_clock::now() - begin;
  // A completion after the start gave up is harmless; one that never gave up
  // goes on (so that the test fails rather than hangs).
  fake.delivery.setMode(fake::Delivery::synchronous);
  fake.delivery.releaseHeld();
  const std::optional<Error> error = started.get();
  ASSERT_TRUE(ended) << "the start did not give up";
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->domain, "rec");
  EXPECT_EQ(error->code, c.code);
  EXPECT_EQ(error->description, c.description);
  EXPECT_FALSE(fake.log.contains(c.notReached));
  if (c.cancel) {
    EXPECT_LT(took, milliseconds(250)) << "the cancel did not end the wait at once";
    if (c.answered == 0) {  // nothing made yet: a later start is refused as cancelled too
      const std::optional<Error> later = recorder->start("/rec/out.mp4");
      ASSERT_TRUE(later.has_value());
      EXPECT_EQ(later->code, 7);
    }
  } else {
    EXPECT_GE(took, milliseconds(300));
  }
}

const std::string kAbandoned = "the start was abandoned: the recorder was asked to end";

INSTANTIATE_TEST_SUITE_P(
    CompletionTiming, StuckCompletion,
    ::testing::Values(
        StuckCase{"ContentDeadline", 0, false, 6,
                  "the screen capture did not list the displays within 300 ms", "writer.make"},
        StuckCase{"CaptureStartDeadline", 1, false, 6,
                  "the screen capture did not start within 300 ms", "engine.make"},
        StuckCase{"ContentCancelled", 0, true, 7, kAbandoned, "writer.make"},
        StuckCase{"CaptureStartCancelled", 1, true, 7, kAbandoned, "engine.make"}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace kestrano::testing
