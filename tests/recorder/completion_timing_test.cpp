#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "recorder/completion_wait.h"
#include "tests/recorder/recorder_fixture.h"

namespace kestrano::testing {
namespace {

TEST(CompletionWait, TakesTheFirstResultFromAnyThreadAndIgnoresTheRest) {
  CompletionWait<int> early;
  auto deliverEarly = early.deliverer();
  deliverEarly(1);  // before anyone waits, as a synchronous completion does
  deliverEarly(2);
  EXPECT_EQ(early.wait(), 1);

  CompletionWait<int> later;
  std::thread other([deliver = later.deliverer()] {
    deliver(3);
    deliver(4);
  });
  EXPECT_EQ(later.wait(), 3);
  other.join();
}

TEST(CompletionWait, CompletionOutlivingTheWaitIsHarmless) {
  std::function<void(int)> late;
  {
    CompletionWait<int> wait;
    late = wait.deliverer();
    late(5);
    EXPECT_EQ(wait.wait(), 5);
  }
  late(6);
}

TEST_F(RecorderTest, CompletionsFromAnotherThreadCarryAWholeRecording) {
  fake.delivery->setMode(fake::Delivery::otherThread);
  startRecording();
  deliver(screenFrame(at(1)), StreamOutputType::screen);
  EXPECT_EQ(recorder->stop(), 4242);
  EXPECT_EQ(videoInput()->appendedCount(), 1u);
}

TEST_F(RecorderTest, LateCompletionsResumeStartAndStopInOrder) {
  fake.delivery->setMode(fake::Delivery::held);
  makeRecorder();

  auto started = std::async(std::launch::async, [this] { return recorder->start("/rec/out.mp4"); });
  ASSERT_TRUE(fake.delivery->waitForHeld(1));  // the shareable content
  EXPECT_FALSE(fake.log->contains("writer.make /rec/out.mp4"));
  fake.delivery->releaseHeld();
  ASSERT_TRUE(fake.delivery->waitForHeld(1));  // the capture start
  EXPECT_FALSE(fake.log->contains("engine.make"));
  fake.delivery->releaseHeld();
  EXPECT_EQ(started.get(), std::nullopt);
  EXPECT_TRUE(fake.log->contains("engine.start"));

  deliver(screenFrame(at(1)), StreamOutputType::screen);
  auto stopped = std::async(std::launch::async, [this] { return recorder->stop(); });
  ASSERT_TRUE(fake.delivery->waitForHeld(1));  // the capture stop
  // The tap is gone, but no input is finished before the stop completes.
  EXPECT_TRUE(fake.log->contains("node.removeTap 0"));
  EXPECT_TRUE(fake.log->withPrefix("input.markAsFinished").empty());
  fake.delivery->releaseHeld();
  ASSERT_TRUE(fake.delivery->waitForHeld(1));  // the writer's finish
  EXPECT_EQ(fake.log->withPrefix("input.markAsFinished").size(), 3u);
  EXPECT_FALSE(fake.log->contains("fs.attributes /rec/out.mp4"));
  fake.delivery->releaseHeld();
  EXPECT_EQ(stopped.get(), 4242);
  EXPECT_TRUE(fake.log->contains("fs.attributes /rec/out.mp4"));
}

TEST_F(RecorderTest, LateFailingCompletionEndsTheStartWithItsError) {
  fake.delivery->setMode(fake::Delivery::held);
  fake.capture->contentError = Error{"fake", 3, "content refused"};
  makeRecorder();
  auto started = std::async(std::launch::async, [this] { return recorder->start("/rec/out.mp4"); });
  ASSERT_TRUE(fake.delivery->waitForHeld(1));
  fake.delivery->releaseHeld();
  auto error = started.get();
  ASSERT_TRUE(error);
  EXPECT_EQ(error->description, "content refused");
}

}  // namespace
}  // namespace kestrano::testing
