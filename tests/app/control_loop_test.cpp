#include "app/control_loop.h"

#include <gtest/gtest.h>

#include <iterator>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

#include "app/line_reader.h"
#include "tests/app/scripted_recording.h"

namespace kestrano {
namespace {

using namespace std::string_literals;
using testing::ScriptedRecording;
using Calls = std::vector<std::string>;

struct LoopRun {
  std::string output;
  Calls calls;
  std::string unread;  // input the loop left behind
  int status = -1;
};

LoopRun runLoop(const std::string& input, ScriptedRecording& recorder) {
  std::istringstream in(input);
  std::ostringstream out;
  LoopRun run;
  run.status = runControlLoop(in, out, recorder);
  run.output = out.str();
  run.calls = recorder.calls;
  run.unread.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return run;
}

LoopRun runLoop(const std::string& input) {
  ScriptedRecording recorder;
  recorder.stopSize = 7;
  return runLoop(input, recorder);
}

// One line on its own, followed by end of input (which finishes with stop()).
struct OneLineCase {
  std::string name;
  std::string line;
  std::string reply;
  Calls calls;
};

class OneLine : public ::testing::TestWithParam<OneLineCase> {};

TEST_P(OneLine, GetsItsReply) {
  const OneLineCase& c = GetParam();
  const LoopRun run = runLoop(c.line);
  EXPECT_EQ(run.output, c.reply);
  EXPECT_EQ(run.calls, c.calls);
  EXPECT_EQ(run.status, 0);
}

const std::string kUnknown = "ERR unknown command\n";
const Calls kOnlyFinalStop = {"stop"};
const std::string kNotUtf8 = "ERR the path is not valid UTF-8\n";

INSTANTIATE_TEST_SUITE_P(
    ControlLoop, OneLine,
    ::testing::Values(
        OneLineCase{"Empty", "\n", kUnknown, kOnlyFinalStop},
        OneLineCase{"BlanksOnly", "   \n", kUnknown, kOnlyFinalStop},
        OneLineCase{"StartAlone", "start\n", kUnknown, kOnlyFinalStop},
        OneLineCase{"StartBlank", "start \n", kUnknown, kOnlyFinalStop},
        OneLineCase{"StartTwoBlanks", "start  \n", "OK\n", {"start  ", "stop"}},
        OneLineCase{"PathWithBlanks", "start a b \n", "OK\n", {"start a b ", "stop"}},
        OneLineCase{"PathLeadingBlank", "start  x\n", "OK\n", {"start  x", "stop"}},
        OneLineCase{"LeadingBlanks", "   start x\n", "OK\n", {"start x", "stop"}},
        OneLineCase{"Tab", "start\tx\n", kUnknown, kOnlyFinalStop},
        OneLineCase{"StopWithWords", "stop now please\n", "DONE 7 \n", {"stop"}},
        OneLineCase{"StopCapitals", "STOP\n", kUnknown, kOnlyFinalStop},
        OneLineCase{"StopCapitalFirst", "Stop\n", kUnknown, kOnlyFinalStop},
        OneLineCase{"StartCapitalFirst", "Start x\n", kUnknown, kOnlyFinalStop},
        OneLineCase{"Stopper", "stopper\n", kUnknown, kOnlyFinalStop},
        OneLineCase{"CrLf", "start x\r\n", "OK\n", {"start x", "stop"}},
        OneLineCase{"StopCrLf", "stop\r\n", "DONE 7 \n", {"stop"}},
        OneLineCase{"LastLineWithoutLf", "start x", "OK\n", {"start x", "stop"}},
        // A repaired path would name another file: refused, start() not called.
        OneLineCase{"InvalidUtf8Path", "start a\xFF\xC0z\n", kNotUtf8, kOnlyFinalStop},
        OneLineCase{"TruncatedUtf8AtPathEnd", "start /tmp/a/\xE2\x80\n", kNotUtf8, kOnlyFinalStop},
        OneLineCase{"ReplacementCharacterInPath",
                    "start /tmp/a/\xEF\xBF\xBD.mp4\n",
                    "OK\n",
                    {"start /tmp/a/\xEF\xBF\xBD.mp4", "stop"}},
        OneLineCase{"InvalidUtf8Word", "start\xFF x\n", kUnknown, kOnlyFinalStop},
        OneLineCase{"NulInPath", "start a\0b\n"s, "OK\n", {"start a\0b"s, "stop"}},
        OneLineCase{"BlankWithCombiningMark", "start \xCC\x81x\n", kUnknown, kOnlyFinalStop},
        OneLineCase{"PrependBeforeBlank", "stop\xD8\x80 now\n", kUnknown, kOnlyFinalStop}),
    [](const auto& info) { return info.param.name; });

TEST(ControlLoop, StopWithoutStartRepliesZeroAndAnEmptyPath) {
  ScriptedRecording recorder;
  const LoopRun run = runLoop("stop\nstart x\n", recorder);
  EXPECT_EQ(run.output, "DONE 0 \n");
  EXPECT_EQ(run.calls, (Calls{"stop"}));  // stop() once: no second one at the end
  EXPECT_EQ(run.unread, "start x\n");
}

TEST(ControlLoop, DoneCarriesThePathOfTheLastStartExactlyAsGiven) {
  ScriptedRecording recorder;
  recorder.stopSize = 123456789012;
  const LoopRun run = runLoop("start first.mp4\nbogus\nstart ./second take.mp4 \nstop\n", recorder);
  EXPECT_EQ(run.output, "OK\nERR unknown command\nOK\nDONE 123456789012 ./second take.mp4 \n");
  EXPECT_EQ(run.calls, (Calls{"start first.mp4", "start ./second take.mp4 ", "stop"}));
}

TEST(ControlLoop, FailedStartEndsTheLoopAndFinishesWhatRuns) {
  ScriptedRecording recorder;
  recorder.startResults.push_back(Error{"rec", 1, "No display"});
  const LoopRun run = runLoop("start /tmp/a.mp4\nstop\nstart b\n", recorder);
  EXPECT_EQ(run.output, "ERR No display\n");
  EXPECT_EQ(run.calls, (Calls{"start /tmp/a.mp4", "stop"}));
  EXPECT_EQ(run.unread, "stop\nstart b\n");
  EXPECT_EQ(run.status, 0);
}

TEST(ControlLoop, RefusedInvalidPathEndsTheLoopAndTheRunningRecordingIsFinished) {
  ScriptedRecording recorder;
  const LoopRun run = runLoop("start a.mp4\nstart \xFF.mp4\nstop\n", recorder);
  EXPECT_EQ(run.output, "OK\n" + kNotUtf8);
  EXPECT_EQ(run.calls, (Calls{"start a.mp4", "stop"}));
  EXPECT_EQ(run.unread, "stop\n");
}

TEST(ControlLoop, RefusedSecondStartEndsTheLoopAndTheRunningRecordingIsFinished) {
  ScriptedRecording recorder;
  recorder.startResults = {std::nullopt, Error{"rec", 3, "recording already in progress"}};
  const LoopRun run = runLoop("start a.mp4\nstart b.mp4\nstop\n", recorder);
  EXPECT_EQ(run.output, "OK\nERR recording already in progress\n");
  EXPECT_EQ(run.calls, (Calls{"start a.mp4", "start b.mp4", "stop"}));
  EXPECT_EQ(run.unread, "stop\n");
}

TEST(ControlLoop, EndOfInputFinishesTheRecordingWithoutAReply) {
  const LoopRun running = runLoop("start a.mp4\n");
  EXPECT_EQ(running.output, "OK\n");
  EXPECT_EQ(running.calls, (Calls{"start a.mp4", "stop"}));

  const LoopRun empty = runLoop("");
  EXPECT_EQ(empty.output, "");
  EXPECT_EQ(empty.calls, kOnlyFinalStop);
  EXPECT_EQ(empty.status, 0);
}

struct DescriptionCase {
  std::string name;
  std::string description;
  std::string reply;
};

class ErrorDescription : public ::testing::TestWithParam<DescriptionCase> {};

TEST_P(ErrorDescription, IsWrittenAsOneLine) {
  ScriptedRecording recorder;
  recorder.startResults.push_back(Error{"posix", 2, GetParam().description});
  const LoopRun run = runLoop("start x\n", recorder);
  EXPECT_EQ(run.output, GetParam().reply + "\n");
}

INSTANTIATE_TEST_SUITE_P(
    ControlLoop, ErrorDescription,
    ::testing::Values(DescriptionCase{"Plain", "writer start failed", "ERR writer start failed"},
                      DescriptionCase{"Empty", "", "ERR "},
                      DescriptionCase{"CrLfIsOneBreakLfCrTwo", "a\r\nb\n\rc\r\n", "ERR a b  c "},
                      DescriptionCase{"EveryBreak",
                                      "1\n2\r3\v4\f5\xC2\x85"
                                      "6\xE2\x80\xA8"
                                      "7\xE2\x80\xA9"
                                      "8",
                                      "ERR 1 2 3 4 5 6 7 8"},
                      DescriptionCase{"OtherTextKept", "caf\xC3\xA9\t\xE2\x80\xA6 \xFF",
                                      "ERR caf\xC3\xA9\t\xE2\x80\xA6 \xFF"}),
    [](const auto& info) { return info.param.name; });

TEST(ControlLoop, OverlongLineIsAnUnknownCommandAndTheLoopGoesOn) {
  ScriptedRecording recorder;
  const LoopRun run = runLoop("start /" + std::string(kMaxLineBytes, 'a') + "\nstop\n", recorder);
  EXPECT_EQ(run.output, "ERR unknown command\nDONE 0 \n");
  EXPECT_EQ(run.calls, (Calls{"stop"}));
}

// Keeps what was written and, at each sync (flush), what had been written by
// then.
class FlushLog : public std::stringbuf {
 public:
  std::vector<std::string> flushed;

 protected:
  int sync() override {
    flushed.push_back(str());
    return 0;
  }
};

TEST(ControlLoop, FlushesEachReplyBeforeTheNextCommandIsCarriedOut) {
  FlushLog log;
  std::ostream out(&log);
  std::istringstream in("bogus\nstart a\nstop\n");
  ScriptedRecording recorder;
  std::vector<std::string> flushedAtCall;
  recorder.onCall = [&] { flushedAtCall.push_back(log.flushed.empty() ? "" : log.flushed.back()); };

  runControlLoop(in, out, recorder);

  EXPECT_EQ(log.flushed,
            (std::vector<std::string>{"ERR unknown command\n", "ERR unknown command\nOK\n",
                                      "ERR unknown command\nOK\nDONE 0 a\n"}));
  EXPECT_EQ(flushedAtCall,
            (std::vector<std::string>{"ERR unknown command\n", "ERR unknown command\nOK\n"}));
}

}  // namespace
}  // namespace kestrano
