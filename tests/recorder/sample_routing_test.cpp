#include <gtest/gtest.h>

#include <utility>

#include "tests/recorder/recorder_fixture.h"

namespace kestrano::testing {
namespace {

using Delivery = std::pair<std::shared_ptr<MediaSample>, StreamOutputType>;

std::shared_ptr<MediaSample> notReady(std::shared_ptr<MediaSample> sample) {
  sample->setDataReady(false);
  return sample;
}

// System audio with a frame status that would drop a screen frame.
std::shared_ptr<MediaSample> systemAudioWithStatus(MediaTime time) {
  auto sample = systemAudio(time);
  sample->setAttachments(
      AttachmentArray{PropertyDictionary{{kFrameInfoStatusKey, std::int64_t{2}}}});
  return sample;
}

TEST(SampleRouting, TheFirstSampleThatReachesTheWriterStartsTheSessionOnce) {
  const auto screen = StreamOutputType::screen, audio = StreamOutputType::audio;
  struct Row {
    const char* name;
    std::vector<Delivery> first;
    MediaTime sessionStart;
    std::size_t video, system;  // appended by the first deliveries
  };
  const std::vector<Row> rows = {
      {"SystemAudioSkipsTheStatusTest", {{systemAudioWithStatus(at(500)), audio}}, at(500), 0, 1},
      {"IdleFrameIsDropped", {{screenFrame(at(7), std::int64_t{1}), screen}}, at(7), 0, 0},
      {"OtherTypesAreNeverAppended",
       {{screenFrame(at(9)), static_cast<StreamOutputType>(2)},
        {systemAudio(at(10)), static_cast<StreamOutputType>(-1)}},
       at(9),
       0,
       0},
      {"NotReadySampleIsIgnored",
       {{notReady(screenFrame(at(1))), screen}, {screenFrame(at(2)), screen}},
       at(2),
       1,
       0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Rig rig;
    ASSERT_EQ(rig.start(), std::nullopt);
    for (const auto& [sample, type] : row.first) {
      rig.deliver(sample, type);
    }
    EXPECT_EQ(rig.writer()->state().sessionStarts, std::vector<MediaTime>{row.sessionStart});
    EXPECT_EQ(rig.appended(kVideo).size(), row.video);
    EXPECT_EQ(rig.appended(kSystemAudio).size(), row.system);
    EXPECT_TRUE(rig.appended(kMicrophone).empty());

    // Later samples follow, appended as delivered with their own timing.
    rig.deliver(screenFrame(at(510)));
    rig.deliver(systemAudio(at(520)), audio);
    EXPECT_EQ(rig.writer()->state().sessionStarts.size(), 1u);
    EXPECT_EQ(rig.appended(kVideo).back().sample->presentationTimeStamp(), at(510));
    EXPECT_EQ(rig.appended(kSystemAudio).back().sample->presentationTimeStamp(), at(520));
  }
}

TEST(SampleRouting, OnlyAnIntegerStatusOtherThanCompleteDropsAFrame) {
  using Shape = std::optional<AttachmentArray>;
  auto status = [](PropertyValue value) {
    return Shape{AttachmentArray{PropertyDictionary{{kFrameInfoStatusKey, value}}}};
  };
  const std::vector<std::tuple<const char*, Shape, bool>> rows = {
      {"complete", status(std::int64_t{0}), true},
      {"idle", status(std::int64_t{1}), false},
      {"blank", status(std::int64_t{2}), false},
      {"suspended", status(std::int64_t{3}), false},
      {"started", status(std::int64_t{4}), false},
      {"stopped", status(std::int64_t{5}), false},
      {"unsigned suspended", status(std::uint64_t{3}), false},
      {"unsigned complete", status(std::uint64_t{0}), true},
      {"string status", status(std::string("1")), true},
      {"double status", status(1.0), true},
      {"no array", std::nullopt, true},
      {"empty array", AttachmentArray{}, true},
      {"first element not a dictionary", AttachmentArray{std::nullopt}, true},
      {"empty first dictionary", AttachmentArray{PropertyDictionary{}}, true},
      {"no status entry", AttachmentArray{PropertyDictionary{{"Other", std::int64_t{3}}}}, true},
      {"only the first dictionary counts",
       AttachmentArray{PropertyDictionary{},
                       PropertyDictionary{{kFrameInfoStatusKey, std::int64_t{1}}}},
       true},
  };
  Rig rig;
  ASSERT_EQ(rig.start(), std::nullopt);
  for (const auto& [name, shape, passes] : rows) {
    SCOPED_TRACE(name);
    const std::size_t before = rig.appended(kVideo).size();
    rig.deliver(screenSample(at(1), shape));
    EXPECT_EQ(rig.appended(kVideo).size(), before + (passes ? 1 : 0));
  }
}

TEST(SampleRouting, SamplesAreDroppedWithoutWaitingWhenTheWriterCannotTakeThem) {
  Rig rig;
  ASSERT_EQ(rig.start(), std::nullopt);
  // Not ready: that sample is lost, the next is tried afresh, and the append
  // is never attempted (so never refused).
  rig.input(kVideo).refuseNext(1);
  rig.deliver(screenFrame(at(1)));
  rig.deliver(screenFrame(at(2)));
  ASSERT_EQ(rig.appended(kVideo).size(), 1u);
  EXPECT_EQ(rig.appended(kVideo)[0].sample->presentationTimeStamp(), at(2));
  EXPECT_EQ(rig.input(kVideo).state().refused, 0);

  // A failed writer gets nothing more, and the session is not started again.
  rig.writer()->fail();
  rig.deliver(screenFrame(at(3)));
  rig.deliver(systemAudio(at(4)), StreamOutputType::audio);
  EXPECT_EQ(rig.fake.log.count("input.append"), 1u);
  EXPECT_EQ(rig.writer()->state().sessionStarts.size(), 1u);

  // A writer that failed before any sample: no session either.
  Rig failed;
  ASSERT_EQ(failed.start(), std::nullopt);
  failed.writer()->fail();
  failed.deliver(screenFrame(at(1)));
  failed.deliver(systemAudio(at(2)), StreamOutputType::audio);
  EXPECT_TRUE(failed.writer()->state().sessionStarts.empty());
  EXPECT_EQ(failed.fake.log.count("input.append"), 0u);

  // No writer at all: a stray callback on an idle recorder does nothing.
  Rig idle;
  idle.recorder->streamDidOutputSampleBuffer(*rig.fake.capture, screenFrame(at(1)),
                                             StreamOutputType::screen);
  EXPECT_TRUE(idle.fake.log.entries().empty());
}

TEST(SampleRouting, StreamStopErrorWritesOneExactLineAndChangesNothing) {
  Rig rig;
  ASSERT_EQ(rig.start(), std::nullopt);
  rig.deliver(screenFrame(at(1)));
  const auto callsBefore = rig.fake.log.entries();

  rig.stream()->stopWithError(Error{"com.apple.ScreenCaptureKit", -3805, "Display\nwent away\r"});
  EXPECT_EQ(rig.fake.standardError->writes(),
            Calls{"stream stop err: Error Domain=com.apple.ScreenCaptureKit Code=-3805 "
                  "\"Display went away \"\n"});
  EXPECT_EQ(rig.fake.log.entries(), callsBefore);

  // Routing and stop go on as before.
  rig.deliver(screenFrame(at(2)));
  EXPECT_EQ(rig.appended(kVideo).size(), 2u);
  EXPECT_EQ(rig.recorder->stop(), 4242);
  EXPECT_EQ(rig.fake.standardError->writes().size(), 1u);
}

}  // namespace
}  // namespace kestrano::testing
