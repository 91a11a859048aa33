#include <gtest/gtest.h>

#include "tests/recorder/recorder_fixture.h"

namespace kestrano::testing {
namespace {

const Calls kFullStop = {"engine.stop",
                         "node.removeTap 0",
                         "stream.stopCapture",
                         "stream.stopCompletion",
                         "input.markAsFinished video#0",
                         "input.markAsFinished audio#1",
                         "input.markAsFinished audio#2",
                         "writer.finishWriting",
                         "writer.finishCompletion",
                         "fs.attributes /rec/out.mp4"};

TEST(StopSequence, HaltsProducersThenFinishesInputsThenTheWriter) {
  struct Row {
    const char* name;
    bool frameWritten;
    std::optional<Error> captureStopError;  // discarded silently
  };
  for (const Row& row : {Row{"AfterAFrame", true, {}}, Row{"NothingWritten", false, {}},
                         Row{"CaptureStopFails", true, Error{"fake", 9, "stop failed"}}}) {
    SCOPED_TRACE(row.name);
    Rig rig;
    rig.fake.capture->stopError = row.captureStopError;
    ASSERT_EQ(rig.start(), std::nullopt);
    if (row.frameWritten) {
      rig.deliver(screenFrame(at(1)));
    }
    rig.fake.log.clear();
    EXPECT_EQ(rig.recorder->stop(), 4242);
    EXPECT_EQ(rig.fake.log.entries(), kFullStop);
  }
}

TEST(StopSequence, SizeIsReadAfterTheFinishAndIsZeroWhenUnreadable) {
  Rig idle;  // never started: touches nothing
  EXPECT_EQ(idle.recorder->stop(), 0);
  EXPECT_TRUE(idle.fake.log.entries().empty());

  const std::vector<std::pair<std::optional<FileAttributes>, std::int64_t>> rows = {
      {std::nullopt, 0},                                                      // file missing
      {FileAttributes{}, 0},                                                  // empty
      {FileAttributes{{"NSFileType", std::string("NSFileTypeRegular")}}, 0},  // no size
      {FileAttributes{{kFileSizeKey, std::string("4242")}}, 0},
      {FileAttributes{{kFileSizeKey, 4242.0}}, 0},
      {FileAttributes{{kFileSizeKey, std::uint64_t{1} << 63}}, 0},  // beyond int64
      {FileAttributes{{kFileSizeKey, std::uint64_t{123456789}}}, 123456789},
  };
  for (const auto& [attributes, size] : rows) {
    SCOPED_TRACE(size);
    Rig rig;
    rig.fake.fileSystem->attributes = attributes;
    ASSERT_EQ(rig.start(), std::nullopt);
    EXPECT_EQ(rig.recorder->stop(), size);
    EXPECT_EQ(rig.fake.log.entries().back(), "fs.attributes /rec/out.mp4");
  }

  // Another recording took the path: the size there is not this recording's.
  Rig taken;
  taken.fake.writer->outputTaken = true;
  ASSERT_EQ(taken.start(), std::nullopt);
  EXPECT_EQ(taken.recorder->stop(), 0);
  EXPECT_FALSE(taken.fake.log.contains("fs.attributes /rec/out.mp4"));
}

TEST(StopSequence, AfterStopTheProducersAreGoneAndTheWriterStays) {
  Rig rig;
  ASSERT_EQ(rig.start(), std::nullopt);
  rig.deliver(screenFrame(at(1)));
  TapBlock block = rig.fake.audio->tapBlock();
  rig.recorder->stop();
  rig.fake.log.clear();

  // No stream and no engine left; the writer and inputs are still held.
  EXPECT_EQ(rig.recorder->stop(), 4242);
  EXPECT_EQ(rig.fake.log.entries(), Calls(kFullStop.begin() + 4, kFullStop.end()));

  // A tap call that raced the removal appends nothing: the writer is done.
  rig.fake.log.clear();
  block(micBuffer(rig.fake.audio->microphoneFormat, 1024), AudioTime{});
  EXPECT_FALSE(rig.fake.log.contains("converter.convert"));
  EXPECT_TRUE(rig.appended(kMicrophone).empty());
}

}  // namespace
}  // namespace kestrano::testing
