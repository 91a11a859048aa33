#include <gtest/gtest.h>

#include "tests/recorder/recorder_fixture.h"

namespace kestrano::testing {
namespace {

class SampleRoutingTest : public RecorderTest {
 protected:
  void SetUp() override { startRecording(); }
  std::size_t videoCount() const { return videoInput()->appendedCount(); }
  std::size_t systemCount() const { return systemAudioInput()->appendedCount(); }
};

TEST_F(SampleRoutingTest, NotReadySampleIsIgnoredAndDoesNotStartTheSession) {
  auto sample = screenFrame(at(1));
  sample->setDataReady(false);
  deliver(sample, StreamOutputType::screen);
  EXPECT_TRUE(writer()->sessionStarts().empty());
  EXPECT_EQ(videoCount(), 0u);

  deliver(screenFrame(at(2)), StreamOutputType::screen);
  EXPECT_EQ(writer()->sessionStarts(), std::vector<MediaTime>{at(2)});
  EXPECT_EQ(videoCount(), 1u);
}

TEST_F(SampleRoutingTest, AudioBufferStartsTheSessionAtItsTimeAndFramesFollow) {
  deliver(systemAudio(at(500)), StreamOutputType::audio);
  deliver(screenFrame(at(510)), StreamOutputType::screen);
  deliver(systemAudio(at(520)), StreamOutputType::audio);

  EXPECT_EQ(writer()->sessionStarts(), std::vector<MediaTime>{at(500)});
  EXPECT_EQ(systemCount(), 2u);
  ASSERT_EQ(videoCount(), 1u);
  // Appended as delivered, with its own timing.
  EXPECT_EQ(videoInput()->appended()[0].sample->presentationTimeStamp(), at(510));
}

TEST_F(SampleRoutingTest, IdleFirstFrameStartsTheSessionAndIsDropped) {
  deliver(screenFrame(at(7), std::int64_t{1}), StreamOutputType::screen);
  EXPECT_EQ(writer()->sessionStarts(), std::vector<MediaTime>{at(7)});
  EXPECT_EQ(videoCount(), 0u);
}

TEST_F(SampleRoutingTest, OnlyCompleteStatusPassesAmongIntegerStatuses) {
  for (std::int64_t status = 0; status <= 5; ++status) {
    deliver(screenFrame(at(status), status), StreamOutputType::screen);
  }
  // An unsigned integer status reads as an integer too.
  deliver(screenFrame(at(6), std::uint64_t{3}), StreamOutputType::screen);
  ASSERT_EQ(videoCount(), 1u);
  EXPECT_EQ(videoInput()->appended()[0].sample->presentationTimeStamp(), at(0));
}

TEST_F(SampleRoutingTest, FramesWithoutAReadableStatusPassAsComplete) {
  std::vector<std::optional<AttachmentArray>> shapes = {
      std::nullopt,                           // no array
      AttachmentArray{},                      // empty array
      AttachmentArray{std::nullopt},          // first element not a dictionary
      AttachmentArray{PropertyDictionary{}},  // empty first dictionary
      AttachmentArray{PropertyDictionary{{"Other", std::int64_t{3}}}},  // no status entry
      AttachmentArray{PropertyDictionary{{kFrameInfoStatusKey, std::string("1")}}},
      AttachmentArray{PropertyDictionary{{kFrameInfoStatusKey, 1.0}}},
      // Only the first dictionary counts.
      AttachmentArray{PropertyDictionary{},
                      PropertyDictionary{{kFrameInfoStatusKey, std::int64_t{1}}}},
  };
  for (auto& shape : shapes) {
    deliver(screenSample(at(1), shape), StreamOutputType::screen);
  }
  EXPECT_EQ(videoCount(), shapes.size());
}

TEST_F(SampleRoutingTest, SystemAudioSkipsTheStatusTest) {
  auto sample = systemAudio(at(3));
  sample->setAttachments(
      AttachmentArray{PropertyDictionary{{kFrameInfoStatusKey, std::int64_t{2}}}});
  deliver(sample, StreamOutputType::audio);
  EXPECT_EQ(systemCount(), 1u);
}

TEST_F(SampleRoutingTest, OtherOutputTypesAreNeverAppendedButMayStartTheSession) {
  deliver(screenFrame(at(9)), static_cast<StreamOutputType>(2));
  deliver(systemAudio(at(10)), static_cast<StreamOutputType>(-1));
  EXPECT_EQ(writer()->sessionStarts(), std::vector<MediaTime>{at(9)});
  EXPECT_EQ(videoCount() + systemCount() + micInput()->appendedCount(), 0u);
}

TEST_F(SampleRoutingTest, NotReadyInputLosesTheSampleAndTheNextIsTriedAfresh) {
  videoInput()->refuseNext(1);
  deliver(screenFrame(at(1)), StreamOutputType::screen);
  deliver(screenFrame(at(2)), StreamOutputType::screen);
  ASSERT_EQ(videoCount(), 1u);
  EXPECT_EQ(videoInput()->appended()[0].sample->presentationTimeStamp(), at(2));
  // Dropped before the append, not refused by it.
  EXPECT_EQ(videoInput()->refusedCount(), 0);
}

TEST_F(SampleRoutingTest, AfterWriterFailureNothingIsAppendedAndTheFlagStays) {
  deliver(screenFrame(at(1)), StreamOutputType::screen);
  writer()->fail();
  deliver(screenFrame(at(2)), StreamOutputType::screen);
  deliver(systemAudio(at(3)), StreamOutputType::audio);
  EXPECT_EQ(videoCount(), 1u);
  EXPECT_EQ(systemCount(), 0u);
  EXPECT_EQ(writer()->sessionStarts().size(), 1u);
  EXPECT_EQ(fake.log->count("input.append video#0"), 1u);
}

TEST_F(RecorderTest, SamplesWithoutAWritingWriterStartNothing) {
  // No writer at all: a stray callback on an idle recorder does nothing.
  makeRecorder();
  fake::FakeStream stray(fake.log, fake.delivery, {}, ContentFilter(Display{}, {}), {}, {});
  recorder->streamDidOutputSampleBuffer(stray, screenFrame(at(1)), StreamOutputType::screen);
  EXPECT_TRUE(fake.log->entries().empty());

  // A writer that stopped writing.
  fake.audio->engineStartError = Error{"fake", 1, "x"};
  makeRecorder();
  ASSERT_TRUE(recorder->start("/rec/out.mp4"));
  writer()->fail();  // no longer writing
  deliver(screenFrame(at(1)), StreamOutputType::screen);
  deliver(systemAudio(at(2)), StreamOutputType::audio);
  EXPECT_TRUE(writer()->sessionStarts().empty());
  EXPECT_EQ(fake.log->withPrefix("input.append").size(), 0u);
}

TEST_F(SampleRoutingTest, StreamStopErrorWritesOneExactLineAndChangesNothing) {
  deliver(screenFrame(at(1)), StreamOutputType::screen);
  const auto callsBefore = fake.log->entries();

  stream()->stopWithError(Error{"com.apple.ScreenCaptureKit", -3805, "Display\nwent away\r"});
  ASSERT_EQ(fake.standardError->writes().size(), 1u);
  EXPECT_EQ(fake.standardError->writes()[0],
            "stream stop err: Error Domain=com.apple.ScreenCaptureKit Code=-3805 "
            "\"Display went away \"\n");
  EXPECT_EQ(fake.log->entries(), callsBefore);

  // Routing and stop go on as before.
  deliver(screenFrame(at(2)), StreamOutputType::screen);
  EXPECT_EQ(videoCount(), 2u);
  EXPECT_EQ(recorder->stop(), 4242);
  EXPECT_EQ(fake.standardError->writes().size(), 1u);
}

}  // namespace
}  // namespace kestrano::testing
