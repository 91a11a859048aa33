#include <gtest/gtest.h>

#include "tests/recorder/recorder_fixture.h"

namespace kestrano::testing {
namespace {

// What the stream delivers, at a time in milliseconds.
enum Kind { kFrame, kIdleFrame, kNotReadyFrame, kOtherType, kAudio, kAudioWithIdleStatus };
struct Delivery {
  Kind kind;
  std::int64_t ms;
};

void deliver(Rig& rig, Delivery d) {
  if (d.kind == kAudio || d.kind == kAudioWithIdleStatus) {
    auto sample = systemAudio(at(d.ms));
    if (d.kind == kAudioWithIdleStatus) {
      sample->setAttachments(status(std::int64_t{1}));
    }
    return rig.deliver(sample, StreamOutputType::audio);
  }
  auto frame = screenFrame(at(d.ms), status(std::int64_t{d.kind == kIdleFrame ? 1 : 0}));
  frame->setDataReady(d.kind != kNotReadyFrame);
  rig.deliver(frame, d.kind == kOtherType ? StreamOutputType(2) : StreamOutputType::screen);
}

TEST(SampleRouting, TheFirstSampleThatReachesTheWriterStartsTheSessionOnce) {
  struct Row {
    std::string failingStep;  // fails once
    std::vector<Delivery> deliveries;
    Times sessionStarts, video, system;
  };
  const std::vector<Row> rows = {
      {"", {{kAudioWithIdleStatus, 500}, {kFrame, 510}, {kAudio, 520}}, {500}, {510}, {500, 520}},
      {"", {{kIdleFrame, 7}, {kAudio, 20}, {kFrame, 30}}, {7}, {30}, {20}},
      {"", {{kOtherType, 9}, {kFrame, 10}}, {9}, {10}, {}},
      {"", {{kNotReadyFrame, 1}, {kFrame, 2}, {kAudio, 3}}, {2}, {2}, {3}},
      // Not ready: that sample is lost at once, and the next is tried afresh.
      {"ready video", {{kFrame, 1}, {kFrame, 2}, {kAudio, 3}}, {1}, {2}, {3}},
      {"ready audio#1", {{kAudio, 1}, {kAudio, 2}, {kFrame, 3}}, {1}, {3}, {2}},
      {"writer.status", {{kFrame, 1}, {kAudio, 2}}, {2}, {}, {2}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.failingStep + " first at " + std::to_string(row.deliveries[0].ms));
    Rig rig;
    ASSERT_EQ(rig.start(), std::nullopt);
    rig.fake->fail(row.failingStep, std::nullopt, 1);
    for (Delivery d : row.deliveries) {
      deliver(rig, d);
    }
    Times sessionStarts;
    for (MediaTime t : rig.fake->locked([&] { return rig.fake->sessionStarts; })) {
      sessionStarts.push_back(t.value);
    }
    EXPECT_EQ(sessionStarts, row.sessionStarts);
    EXPECT_EQ(rig.times(kVideo), row.video);
    EXPECT_EQ(rig.times(kSystemAudio), row.system);
    EXPECT_EQ(rig.times(kMicrophone), Times{});
    EXPECT_EQ(rig.refused(kVideo) + rig.refused(kSystemAudio), 0);  // never appended blindly
  }
}

TEST(SampleRouting, OnlyAnIntegerStatusOtherThanCompleteDropsAFrame) {
  // Idle, blank, suspended, started, stopped; an unsigned integer reads as one too.
  const std::vector<std::optional<AttachmentArray>> dropped = {
      status(std::int64_t{1}), status(std::int64_t{2}), status(std::int64_t{3}),
      status(std::int64_t{4}), status(std::int64_t{5}), status(std::uint64_t{3})};
  const std::vector<std::optional<AttachmentArray>> passed = {
      status(std::int64_t{0}), status(std::uint64_t{0}), status(std::string("1")), status(1.0),
      std::nullopt, AttachmentArray{}, AttachmentArray{std::nullopt},
      AttachmentArray{PropertyDictionary{{"Other", std::int64_t{3}}}},
      // Only the first dictionary counts.
      AttachmentArray{PropertyDictionary{}, status(std::int64_t{1})[0]}};
  Rig rig;
  ASSERT_EQ(rig.start(), std::nullopt);
  Times expected;
  for (std::size_t i = 0; i < dropped.size(); ++i) {
    rig.deliver(screenFrame(at(i), dropped[i]));
  }
  for (std::size_t i = 0; i < passed.size(); ++i) {
    rig.deliver(screenFrame(at(100 + i), passed[i]));
    expected.push_back(100 + i);
  }
  EXPECT_EQ(rig.times(kVideo), expected);
}

TEST(SampleRouting, AStreamThatStopsByItselfWritesOneExactLineAndChangesNothing) {
  Rig rig;
  ASSERT_EQ(rig.start(), std::nullopt);
  rig.takeCalls();
  // Told through the stream's delegate, from the test's thread, as the service may.
  rig.fake->delegate.lock()->streamDidStopWithError(*rig.fake,
                                                    Error{"capture", 7, "Display\nwent away\r"});
  EXPECT_EQ(rig.takeCalls(),
            Calls{"stderr stream stop err: Error Domain=capture Code=7 \"Display went away \"\n"});
  rig.deliver(screenFrame(at(2)));
  EXPECT_EQ(rig.times(kVideo), Times{2});
}

}  // namespace
}  // namespace kestrano::testing
