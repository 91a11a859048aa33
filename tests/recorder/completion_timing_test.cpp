#include <gtest/gtest.h>

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

}  // namespace
}  // namespace kestrano::testing
