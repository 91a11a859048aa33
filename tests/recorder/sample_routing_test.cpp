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
    MediaTime sessionStart;
    std::size_t video, system;  // appended by the first deliveries
    std::vector<Delivery> first;
  };
  const std::vector<Row> rows = {
      {"SystemAudioSkipsTheStatusTest", at(500), 0, 1, {{systemAudioWithStatus(at(500)), audio}}},
      {"IdleFrameIsDropped", at(7), 0, 0, {{screenFrame(at(7), std::int64_t{1}), screen}}},
      {"OtherTypesAreNeverAppended",
       at(9),
       0,
       0,
       {{screenFrame(at(9)), StreamOutputType(2)}, {systemAudio(at(10)), StreamOutputType(-1)}}},
      {"NotReadySampleIsIgnored",
       at(2),
       1,
       0,
       {{notReady(screenFrame(at(1))), screen}, {screenFrame(at(2)), screen}}}};
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
  auto status = [](PropertyValue value) {
    return AttachmentArray{PropertyDictionary{{kFrameInfoStatusKey, value}}};
  };
  // Idle, blank, suspended, started, stopped; an unsigned integer reads as one too.
  const std::vector<std::optional<AttachmentArray>> dropped = {
      status(std::int64_t{1}), status(std::int64_t{2}), status(std::int64_t{3}),
      status(std::int64_t{4}), status(std::int64_t{5}), status(std::uint64_t{3})};
  const std::vector<std::optional<AttachmentArray>> passed = {
      status(std::int64_t{0}), status(std::uint64_t{0}), status(std::string("1")), status(1.0),
      std::nullopt,                                                     // no array
      AttachmentArray{},                                                // empty array
      AttachmentArray{std::nullopt},                                    // not a dictionary
      AttachmentArray{PropertyDictionary{}},                            // empty dictionary
      AttachmentArray{PropertyDictionary{{"Other", std::int64_t{3}}}},  // no status entry
      // Only the first dictionary counts.
      AttachmentArray{PropertyDictionary{}, status(std::int64_t{1})[0]}};
  Rig rig;
  ASSERT_EQ(rig.start(), std::nullopt);
  std::vector<std::int64_t> expected, appended;
  for (std::size_t i = 0; i < dropped.size(); ++i) {
    rig.deliver(screenSample(at(i), dropped[i]));
  }
  for (std::size_t i = 0; i < passed.size(); ++i) {
    rig.deliver(screenSample(at(100 + i), passed[i]));
    expected.push_back(100 + i);
  }
  for (const auto& a : rig.appended(kVideo)) {
    appended.push_back(a.sample->presentationTimeStamp().value);
  }
  EXPECT_EQ(appended, expected);
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

  // Told from the test's thread, not the sample queue, as the service may.
  rig.recorder->streamDidStopWithError(*rig.fake.capture,
                                       Error{"capture", 7, "Display\nwent away\r"});
  Calls expected = callsBefore;
  expected.push_back(
      "stderr stream stop err: Error Domain=capture Code=7 \"Display went away \"\n");
  EXPECT_EQ(rig.fake.log.entries(), expected);

  // Routing and stop go on as before.
  rig.deliver(screenFrame(at(2)));
  EXPECT_EQ(rig.appended(kVideo).size(), 2u);
  EXPECT_EQ(rig.recorder->stop(), 4242);
  EXPECT_EQ(rig.fake.log.count("stderr"), 1u);
}

}  // namespace
}  // namespace kestrano::testing
