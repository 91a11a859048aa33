#include <gtest/gtest.h>

#include <future>

#include "tests/recorder/recorder_fixture.h"

namespace kestrano::testing {
namespace {

std::string text(const std::optional<Error>& error) {
  return error ? error->generalDescription() : "no error";
}

TEST(StartSequence, RecordsTheFirstDisplayAtTheResolvedPathAndRefusesASecondStart) {
  Rig rig;
  rig.fake->displays = {Display{7, 0, 0, 1366, 768}, Display{8, 1366, 0, 1920, 1080}};
  // Nothing at the path to remove is no reason to stop.
  rig.fake->fail("fs.remove", Error{"posix", 2, "No such file or directory"});
  ASSERT_EQ(text(rig.start("takes/one.mp4")), "no error");
  EXPECT_EQ(rig.fake->filter->display.displayID, 7u);
  const StreamConfiguration& c = rig.fake->configuration;
  const auto& video = std::get<VideoOutputSettings>(rig.fake->tracks[kVideo]->settings);
  EXPECT_EQ(std::tuple(c.width, c.height, video.width, video.height, c.showsCursor, c.capturesAudio,
                       c.minimumFrameInterval),
            std::tuple(1280, 719, 1280, 719, true, true, MediaTime::make(1, 15)));

  rig.takeCalls();
  EXPECT_EQ(text(rig.start("/rec/other.mp4")),
            text(Error{"rec", 3, "recording already in progress"}));
  EXPECT_EQ(rig.takeCalls() + " " + rig.fake->url, " /cwd/takes/one.mp4");  // nothing touched
  // The first recording still runs, and its size is read where it was written.
  rig.deliver(screenFrame(5));
  EXPECT_EQ(rig.times(kVideo), Times{5});
  EXPECT_EQ(rig.recorder->stop(), 4242);
}

TEST(StartSequence, EveryFailingStepReportsItsErrorAndLeavesNothingRunningOrOnDisk) {
  const Error no{"fake.platform", -42, "the platform said no"};
  struct Row {
    std::string step;  // fails with `stepError`; none: the displays are wrong
    std::optional<Error> stepError, expected;
    std::vector<Display> displays = {Display{1, 0, 0, 1920, 1080}};
  };
  const std::vector<Row> rows = {
      {"fs.remove", notRegularFileError("/rec/out.mp4"), notRegularFileError("/rec/out.mp4")},
      {"capture.content", no, no},
      {"", {}, Error{"rec", 1, "No display"}, {}},
      {"", {}, Error{"rec", 4, "display has no size"}, {Display{1, 0, 0, 0, 1080}}},
      {"writer.make", no, no},
      {"writer.start", no, no},
      {"writer.start", {}, Error{"rec", 2, "writer start failed"}},
      {"capture.makeStream", {}, Error{"rec", 5, "capture stream could not be made"}},
      {"capture.addOutput 0", no, no},
      {"capture.addOutput 1", no, no},
      {"capture.start", no, no},
      {"engine.make", {}, Error{"rec", 5, "audio engine could not be made"}},
      {"engine.start", no, no},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.step + " " + text(row.expected));
    Rig rig;
    rig.fake->fail(row.step, row.stepError);
    rig.fake->displays = row.displays;
    EXPECT_EQ(text(rig.start()), text(row.expected));
    EXPECT_FALSE(rig.fake->capturing || rig.fake->engineRunning);
    // The earlier recording went first and no header-only file is left; an
    // item that is not a file is never removed.
    EXPECT_EQ(rig.fake->files.size(), row.step == "fs.remove" ? 1u : 0u);
    EXPECT_EQ(rig.recorder->stop(), 0);
  }
}

// Completions that never come (a capture stuck on a frozen server): each wait
// of the start ends at its deadline, or at once when the start is cancelled.
TEST(StartSequence, AStuckCompletionEndsTheStartWithAClearError) {
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
    const std::chrono::milliseconds deadline(row.cancel ? 600'000 : 300);
    Rig rig(StartDeadlines{deadline, deadline});
    rig.fake->locked([&] { rig.fake->holding = true; });
    auto started = std::async(std::launch::async, [&rig] { return rig.start(); });
    for (std::size_t i = 0; i <= row.answered; ++i) {
      EXPECT_TRUE(rig.fake->releaseHeld(i < row.answered));  // the last one never comes
    }
    if (row.cancel) {
      rig.recorder->cancelStart();
    }
    EXPECT_EQ(text(started.get()), "Error Domain=rec " + row.error);
    rig.fake->releaseHeld();  // a completion after the start gave up is harmless
    EXPECT_EQ(rig.takeCalls().find(row.notReached), std::string::npos);
    if (row.cancel) {  // it stays cancelled: a later start is refused too
      EXPECT_NE(text(rig.start()), "no error");
    }
  }
}

TEST(StopSequence, HaltsProducersThenFinishesInputsAndWriterThenReadsTheSize) {
  struct Row {
    std::string failingStep;  // a failed capture stop changes nothing
    bool outputTaken;         // another recording took the path: its size is not this one's
    std::int64_t size;
  };
  for (const Row& row : {Row{"", false, 4242}, Row{"capture.stop", false, 4242},
                         Row{"fs.size", false, 0}, Row{"", true, 0}}) {
    SCOPED_TRACE(row.failingStep + (row.outputTaken ? " taken" : ""));
    Rig rig;
    rig.fake->outputTaken = row.outputTaken;
    ASSERT_EQ(rig.start(), std::nullopt);
    rig.deliver(screenFrame(1));
    rig.fake->fail(row.failingStep, Error{"fake", 9, "failed"});
    rig.takeCalls();
    // Both completions come late, from the test's thread.
    rig.fake->locked([&] { rig.fake->holding = true; });
    auto stopped = std::async(std::launch::async, [&rig] { return rig.recorder->stop(); });
    EXPECT_TRUE(rig.fake->releaseHeld());  // the capture's stop
    EXPECT_TRUE(rig.fake->releaseHeld());  // the writer's finish
    EXPECT_EQ(stopped.get(), row.size);
    // A path another recording took is not read.
    EXPECT_EQ(rig.takeCalls(),
              "engine.stop, tap.remove, capture.stop, capture.stopped, input.finish video, "
              "input.finish audio#1, input.finish audio#2, input.finish chapters, writer.finish, "
              "writer.finished" +
                  std::string(row.outputTaken ? "" : ", fs.size"));
  }
}

}  // namespace
}  // namespace kestrano::testing
