// The line protocol as a host sees it: for each input, the replies it gets and
// the recorder calls they answer, in the order they happened.
#include "app/control_loop.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "app/line_reader.h"
#include "tests/app/scripted_recording.h"

namespace kestrano {
namespace {

using namespace std::string_literals;
using testing::ScriptedRecording;

// Takes output into `log` only when it is flushed: a reply held back in a
// buffer would reach a host late, after the next command has run.
class FlushedOutput final : public std::stringbuf {
 public:
  explicit FlushedOutput(std::string& log) : log_(log) {}

 protected:
  int sync() override {
    log_ += str().substr(taken_);
    taken_ = str().size();
    return 0;
  }

 private:
  std::string& log_;
  std::size_t taken_ = 0;
};

std::string transcriptOf(const std::string& input, const std::string& error = "no display") {
  ScriptedRecording recorder;
  recorder.error = error;
  FlushedOutput flushed(recorder.log);
  std::ostream out(&flushed);
  std::istringstream in(input);
  EXPECT_EQ(runControlLoop(in, out, recorder), 0);
  return recorder.log;
}

struct Case {
  std::string name;
  std::string input;
  std::string transcript;
  std::string error = "no display";  // of a start whose path contains "fail"
};

class Lines : public ::testing::TestWithParam<Case> {};

TEST_P(Lines, GetTheirRepliesInOrder) {
  EXPECT_EQ(transcriptOf(GetParam().input, GetParam().error), GetParam().transcript);
}

const std::string U = "ERR unknown command\n";
const std::string kNotUtf8 = "ERR the path is not valid UTF-8\n";
const std::string kMax(kMaxLineBytes - 5, 'a');  // "stop " and this: the longest line kept

INSTANTIATE_TEST_SUITE_P(
    ControlLoop, Lines,
    ::testing::Values(
        Case{"NoInput", "", "<stop>"},
        Case{"EndOfInputFinishesWithoutReply", "start a.mp4\n", "<start a.mp4>OK\n<stop>"},
        Case{"NoCommand", "\n   \nstart\nstart \nstart\tx\nSTOP\nStop\nStart x\nstopper\n",
             U + U + U + U + U + U + U + U + U + "<stop>"},
        Case{"PathIsAllAfterOneBlank", "   start  a b \nstop now please\n",
             "<start  a b >OK\n<stop>DONE 5000000000  a b \n"},
        Case{"PathOfBlanks", "start  \n", "<start  >OK\n<stop>"},
        Case{"DonePathIsTheLastStarts", "start first.mp4\nbogus\nstart ./second take.mp4\nstop\n",
             "<start first.mp4>OK\n" + U +
                 "<start ./second take.mp4>OK\n<stop>DONE 5000000000 ./second take.mp4\n"},
        Case{"StopWithoutStartEndsTheLoop", "stop\nstart x\n", "<stop>DONE 5000000000 \n"},
        Case{"FailedStartEndsTheLoop", "start fail.mp4\nstop\nstart b\n",
             "<start fail.mp4>ERR no display\n<stop>"},
        Case{"RefusedSecondStartFinishesTheFirst", "start a.mp4\nstart fail.mp4\nstop\n",
             "<start a.mp4>OK\n<start fail.mp4>ERR no display\n<stop>"},
        Case{"ErrorOnOneLine", "start fail\n",
             "<start fail>ERR 1 2 3 4 5 6 7 8  9 caf\xC3\xA9\t\xE2\x80\xA6 \xFF\n<stop>",
             "1\r\n2\r3\v4\f5\xC2\x85"
             "6\xE2\x80\xA8"
             "7\xE2\x80\xA9"
             "8\n\r9 caf\xC3\xA9\t\xE2\x80\xA6 \xFF"},
        Case{"EmptyError", "start fail\n", "<start fail>ERR \n<stop>", ""},
        Case{"OnlyTheCrBeforeTheLfGoes", "start a\rb\r\r\nstop\r\n",
             "<start a\rb\r>OK\n<stop>DONE 5000000000 a\rb\r\n"},
        Case{"LastLineWithoutLfKeepsItsCr", "start x\r", "<start x\r>OK\n<stop>"},
        Case{"NulIsAByteLikeAnyOther", "\0\nsto\0p\nstart a\0b\n"s,
             U + U + "<start a\0b>OK\n<stop>"s},
        // A repaired path would name another file, maybe an existing one.
        Case{"InvalidUtf8PathRefusedAndFirstFinished", "start a.mp4\nstart a\xFF\xC0z\nstop\n",
             "<start a.mp4>OK\n" + kNotUtf8 + "<stop>"},
        Case{"InvalidUtf8Word", "start\xFF x\n", U + "<stop>"},
        Case{
            "WellFormedPathEdgesKept",
            "start \xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBF\xF0\x90\x80\x80"
            "\xF4\x8F\xBF\xBF\xEF\xBF\xBD\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x92\xBB x\n",
            "<start "
            "\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBF\xF0\x90\x80\x80"
            "\xF4\x8F\xBF\xBF\xEF\xBF\xBD\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x92\xBB "
            "x>OK\n<stop>"},
        // Only a blank that is a grapheme cluster of its own separates.
        Case{"BlanksJoinedToACluster",
             "start \xCC\x81x\nstop\xD8\x80 now\n\xD8\x80 stop\n \xCC\x81stop\nstart\xC2\xA0x\n",
             U + U + U + U + U + "<stop>"},
        Case{"OverlongLineAndTheLongestKept", "stop a" + kMax + "\nstop " + kMax + "\r\n",
             U + "<stop>DONE 5000000000 \n"}),
    [](const auto& info) { return info.param.name; });

TEST(ControlLoop, RefusesEveryIllFormedPath) {
  for (const std::string bad : {"\xC0\xAF", "\xE0\x80\x80", "\xF0\x80\x80\x80", "\xED\xA0\x80",
                                "\xF4\x90\x80\x80", "\xF5", "\x80", "\xE1\x80\x41", "\xE2\x82"}) {
    EXPECT_EQ(transcriptOf("start /tmp/" + bad + "\nstop\n"), kNotUtf8 + "<stop>") << bad;
  }
}

TEST(LineReader, HoldsNoMoreThanTheLimitOfAnOverlongLine) {
  std::istringstream in(std::string(3 * kMaxLineBytes, 'x') + "\nstop\n");
  const auto first = readLine(in);
  ASSERT_TRUE(first && first->tooLong);
  EXPECT_LE(first->bytes.capacity(), kMaxLineBytes + 1);
  EXPECT_EQ(readLine(in)->bytes, "stop");
}

}  // namespace
}  // namespace kestrano
