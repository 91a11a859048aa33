#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "recorder/completion_wait.h"
#include "tests/recorder/recorder_fixture.h"

namespace kestrano::testing {
namespace {

using std::chrono::milliseconds;

TEST(CompletionWait, ACancellationWinsOverAResultThatCameToo) {
  // As when a start was cancelled while held up in a synchronous platform
  // call: once that returns, the start must go no further.
  WaitCancellation cancellation;
  CompletionWait<int> wait;
  wait.deliverer()(1);
  EXPECT_EQ(wait.waitFor(milliseconds(5000), cancellation), 1);
  cancellation.cancel();
  CompletionWait<int> next;
  next.deliverer()(2);
  EXPECT_EQ(next.waitFor(milliseconds(5000), cancellation), std::nullopt);
}

// Completions that never come (a capture stuck on a frozen server): each wait
// of the start ends at its deadline, or at once when the start is cancelled.
TEST(CompletionTiming, AStuckCompletionEndsTheStartWithAClearError) {
  const std::string abandoned = "Code=7 \"the start was abandoned: the recorder was asked to end\"";
  struct Row {
    std::size_t answered;  // completions let through before the one that never comes
    bool cancel;           // cancelStart() instead of the deadline
    std::string error, notReached;
  };
  for (const Row& row :
       {Row{0, false, "Code=6 \"the screen capture did not list the displays within 300 ms\"",
            "writer.make"},
        Row{1, false, "Code=6 \"the screen capture did not start within 300 ms\"", "engine.make"},
        Row{0, true, abandoned, "writer.make"}, Row{1, true, abandoned, "engine.make"}}) {
    SCOPED_TRACE(row.error);
    // A cancelled start must not wait for its deadlines: there they are far
    // above the bound that guards against a hang.
    const milliseconds deadline(row.cancel ? 600'000 : 300);
    Rig rig(StartDeadlines{deadline, deadline});
    rig.fake->hold(true);
    const auto begin = std::chrono::steady_clock::now();
    auto started = std::async(std::launch::async, [&rig] { return rig.start(); });
    for (std::size_t i = 0; i <= row.answered; ++i) {
      EXPECT_TRUE(rig.fake->releaseHeld(i < row.answered));  // the last one never comes
    }
    if (row.cancel) {
      rig.recorder->cancelStart();
    }
    const bool ended = started.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    const auto took = std::chrono::steady_clock::now() - begin;
    rig.fake->hold(false);  // a completion after the start gave up is harmless
    ASSERT_TRUE(ended) << "the start did not give up";
    EXPECT_EQ(started.get().value_or(Error{}).generalDescription(),
              "Error Domain=rec " + row.error);
    EXPECT_FALSE(rig.fake->called(row.notReached));
    EXPECT_GE(took, row.cancel ? milliseconds(0) : deadline);
    if (row.cancel) {  // it stays cancelled: a later start is refused too
      EXPECT_EQ(rig.recorder->stop(), 0);
      EXPECT_TRUE(rig.start().has_value());
    }
  }
}

}  // namespace
}  // namespace kestrano::testing
