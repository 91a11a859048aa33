// The loop when the host goes away or asks the process to end: the recording
// is finished exactly once and nothing more is written.
#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/control_loop.h"
#include "tests/app/scripted_recording.h"

namespace kestrano {
namespace {

using testing::ScriptedRecording;
using Lines = std::vector<std::string>;

// Hands out scripted lines; a finish request can be raised at any moment.
class ScriptedLines final : public LineSource {
 public:
  explicit ScriptedLines(std::deque<std::string> lines) : lines_(std::move(lines)) {}
  std::optional<InputLine> nextLine() override {
    if (finish || lines_.empty()) {
      return std::nullopt;
    }
    InputLine line{lines_.front(), false};
    lines_.pop_front();
    return line;
  }
  bool finishRequested() override { return finish; }
  std::size_t unread() const { return lines_.size(); }

  bool finish = false;

 private:
  std::deque<std::string> lines_;
};

// Keeps replies until the host "closes" its end after `acceptedReplies`.
class ClosingReplies final : public ReplySink {
 public:
  explicit ClosingReplies(std::size_t acceptedReplies) : accepted_(acceptedReplies) {}
  bool send(std::string_view line) override {
    ++attempts;
    if (written.size() >= accepted_) {
      return false;
    }
    written.emplace_back(line);
    return true;
  }
  Lines written;
  std::size_t attempts = 0;

 private:
  std::size_t accepted_;
};

constexpr std::size_t kOpen = 1000;  // more replies than any test sends

TEST(FinishRequest, DuringStartLetsTheReplyOutThenFinishesTheRecording) {
  ScriptedLines lines({"start a.mp4", "bogus", "stop"});
  ClosingReplies replies(kOpen);
  ScriptedRecording recorder;
  recorder.onCall = [&] { lines.finish = true; };
  EXPECT_EQ(runControlLoop(lines, replies, recorder), 0);
  EXPECT_EQ(replies.written, (Lines{"OK"}));
  EXPECT_EQ(recorder.calls, (Lines{"start a.mp4", "stop"}));
  EXPECT_EQ(lines.unread(), 2u);
}

TEST(FinishRequest, DuringStopStillRepliesAndStopsOnlyOnce) {
  ScriptedLines lines({"start a.mp4", "stop"});
  ClosingReplies replies(kOpen);
  ScriptedRecording recorder;
  recorder.stopSize = 42;
  recorder.onCall = [&] { lines.finish = recorder.calls.size() == 1; };  // at the stop call
  runControlLoop(lines, replies, recorder);
  EXPECT_EQ(replies.written, (Lines{"OK", "DONE 42 a.mp4"}));
  EXPECT_EQ(recorder.calls, (Lines{"start a.mp4", "stop"}));
}

TEST(FinishRequest, WhileWaitingForInputFinishesWithoutAReply) {
  ScriptedLines lines({"start a.mp4"});
  ClosingReplies replies(kOpen);
  ScriptedRecording recorder;
  runControlLoop(lines, replies, recorder);  // the input runs dry: waiting...
  EXPECT_EQ(recorder.calls, (Lines{"start a.mp4", "stop"}));

  ScriptedLines asked({"start b.mp4", "stop"});
  asked.finish = true;  // ...or the request came first: nothing is carried out
  ClosingReplies none(kOpen);
  ScriptedRecording idle;
  runControlLoop(asked, none, idle);
  EXPECT_EQ(none.attempts, 0u);
  EXPECT_EQ(idle.calls, (Lines{"stop"}));  // with nothing running it does nothing
}

// The host closed its end of our output: after the first failed reply
// nothing more is tried, and the running recording is finished once.
struct GoneCase {
  std::string name;
  std::deque<std::string> lines;
  std::size_t acceptedReplies;
  Lines calls;
};

class HostGone : public ::testing::TestWithParam<GoneCase> {};

TEST_P(HostGone, FinishesTheRecordingAndWritesNothingMore) {
  const GoneCase& c = GetParam();
  ScriptedLines lines(c.lines);
  ClosingReplies replies(c.acceptedReplies);
  ScriptedRecording recorder;
  EXPECT_EQ(runControlLoop(lines, replies, recorder), 0);
  EXPECT_EQ(recorder.calls, c.calls);
  EXPECT_EQ(replies.attempts, replies.written.size() + 1) << "tried again after a failed reply";
}

INSTANTIATE_TEST_SUITE_P(
    ControlLoop, HostGone,
    ::testing::Values(
        GoneCase{"BeforeOk", {"start a", "stop"}, 0, {"start a", "stop"}},
        GoneCase{"BeforeUnknownReply", {"start a", "bogus", "stop"}, 1, {"start a", "stop"}},
        GoneCase{"BeforeDone", {"start a", "stop", "stop"}, 1, {"start a", "stop"}}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace kestrano
