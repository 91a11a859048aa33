#include <gtest/gtest.h>

#include "tests/recorder/recorder_fixture.h"

namespace kestrano::testing {
namespace {

const std::vector<std::string> kFullStop = {
    "engine.stop",
    "node.removeTap 0",
    "stream.stopCapture",
    "stream.stopCompletion",
    "input.markAsFinished video#0",
    "input.markAsFinished audio#1",
    "input.markAsFinished audio#2",
    "writer.finishWriting",
    "writer.finishCompletion",
    "fs.attributes /rec/out.mp4",
};

TEST_F(RecorderTest, NewRecorderTouchesNothingAndStopsToZero) {
  makeRecorder();
  EXPECT_TRUE(fake.log->entries().empty());
  EXPECT_EQ(recorder->stop(), 0);
  EXPECT_TRUE(fake.log->entries().empty());
}

TEST_F(RecorderTest, StopHaltsProducersThenFinishesInputsThenWriter) {
  startRecording();
  deliver(screenFrame(at(1)), StreamOutputType::screen);
  fake.log->clear();

  EXPECT_EQ(recorder->stop(), 4242);
  EXPECT_EQ(fake.log->entries(), kFullStop);
  EXPECT_FALSE(fake.audio->node()->hasTap());
  EXPECT_FALSE(fake.audio->engine()->running());
  for (const auto& input : fake.writers->inputsMade()) {
    EXPECT_TRUE(input->finished()) << input->label();
  }
}

TEST_F(RecorderTest, StopWithNothingWrittenStillFinishesTheWriter) {
  startRecording();
  fake.log->clear();
  EXPECT_EQ(recorder->stop(), 4242);
  EXPECT_EQ(fake.log->entries(), kFullStop);
  EXPECT_TRUE(writer()->sessionStarts().empty());
}

TEST_F(RecorderTest, CaptureStopErrorIsDiscardedSilently) {
  fake.capture->streamScript.stopError = Error{"fake", 9, "stop failed"};
  startRecording();
  fake.log->clear();
  EXPECT_EQ(recorder->stop(), 4242);
  EXPECT_EQ(fake.log->entries(), kFullStop);
  EXPECT_TRUE(fake.standardError->writes().empty());
}

TEST_F(RecorderTest, UnreadableSizeGivesZero) {
  std::vector<std::optional<FileAttributes>> cases = {
      std::nullopt,                                                      // file missing
      FileAttributes{},                                                  // empty
      FileAttributes{{"NSFileType", std::string("NSFileTypeRegular")}},  // no size
      FileAttributes{{kFileSizeKey, std::string("4242")}},
      FileAttributes{{kFileSizeKey, 4242.0}},
      FileAttributes{{kFileSizeKey, std::uint64_t{1} << 63}},  // beyond int64
  };
  for (const auto& attributes : cases) {
    fake::FakePlatform f;
    f.fileSystem->setAttributes(attributes);
    auto r = std::make_shared<Recorder>(f.platform());
    ASSERT_EQ(r->start("/rec/out.mp4"), std::nullopt);
    EXPECT_EQ(r->stop(), 0);
    EXPECT_TRUE(f.log->contains("fs.attributes /rec/out.mp4"));
  }
}

TEST_F(RecorderTest, UnsignedSizeThatFitsIsRead) {
  fake.fileSystem->setAttributes(FileAttributes{{kFileSizeKey, std::uint64_t{123456789}}});
  startRecording();
  EXPECT_EQ(recorder->stop(), 123456789);
}

TEST_F(RecorderTest, AfterStopProducersAreGoneAndWriterStays) {
  startRecording();
  deliver(screenFrame(at(1)), StreamOutputType::screen);
  TapBlock block = fake.audio->node()->tapBlock();
  recorder->stop();
  fake.log->clear();

  // No stream and no engine left; the writer and inputs are still held.
  EXPECT_EQ(recorder->stop(), 4242);
  EXPECT_EQ(fake.log->entries(), std::vector<std::string>(kFullStop.begin() + 4, kFullStop.end()));

  // A tap call that raced the removal appends nothing: the writer is done.
  fake.log->clear();
  block(micBuffer(fake.audio->microphoneFormat, 1024), AudioTime{});
  EXPECT_FALSE(fake.log->contains("converter.convert"));
  EXPECT_EQ(micInput()->appendedCount(), 0u);
}

}  // namespace
}  // namespace kestrano::testing
