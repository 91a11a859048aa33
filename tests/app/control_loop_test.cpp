// The line protocol as a host sees it: for each input, the replies it gets and
// the recorder calls they answer, in the order they happened; in process over
// streams, and over the pipes and termination signals of the process itself.
#include "app/control_loop.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>

#include "app/descriptor_line_source.h"
#include "app/descriptor_reply_sink.h"
#include "app/line_reader.h"
#include "app/termination_signals.h"
#include "platform/unique_fd.h"

namespace kestrano {
namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;

struct Pipe {
  UniqueFd read, write;
};
Pipe makePipe() {
  int fds[2] = {-1, -1};
  EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  return {UniqueFd(fds[0]), UniqueFd(fds[1])};
}

// Every kind of line break, and what the host gets of it: one line.
const std::string kError =
    "1\r\n2\r3\v4\f5\xC2\x85"
    "6\xE2\x80\xA8"
    "7\xE2\x80\xA9"
    "8\n\r9 caf\xC3\xA9\t\xE2\x80\xA6 \xFF";
const std::string kErr = "ERR 1 2 3 4 5 6 7 8  9 caf\xC3\xA9\t\xE2\x80\xA6 \xFF\n";

// A RecordingControl that appends each call to `log` as "<start PATH>" or
// "<stop>", after running `onCall` and after moving there what the loop had
// written to `replies` by then: the log shows which call each reply follows.
// A start whose path contains "fail" fails with kError. With `startHangs`, a
// start waits for cancelStart() and fails with "abandoned".
class ScriptedRecording final : public RecordingControl {
 public:
  std::optional<Error> start(const std::string& path) override {
    call("<start " + path + ">");
    while (startHangs && !cancelled) {
      std::this_thread::sleep_for(10ms);
    }
    if (startHangs) {
      return Error{"rec", 7, "abandoned"};
    }
    if (path.find("fail") != std::string::npos) {
      return Error{"rec", 1, kError};
    }
    return std::nullopt;
  }
  std::int64_t stop() override {
    call("<stop>");
    return 5000000000;  // past 32 bits
  }
  void cancelStart() override { cancelled = true; }  // from any thread
  // Paused or not as the calls say; a title with "fail" is refused.
  RecordingStatus status() override {
    call("<status>");
    return {true, paused, 5000000123, 4, -0.04, std::nullopt};
  }
  std::optional<Error> pause() override { return toggle("<pause>", true); }
  std::optional<Error> resume() override { return toggle("<resume>", false); }
  std::optional<Error> mark(const std::string& title) override {
    call("<mark " + title + ">");
    return title.find("fail") != std::string::npos ? std::optional(Error{"rec", 2, "no\nroom"})
                                                   : std::nullopt;
  }
  bool paused = false;

  std::string log;
  std::ostringstream replies;
  bool startHangs = false;
  std::atomic<bool> cancelled{false};
  std::function<void()> onCall;

 private:
  std::optional<Error> toggle(const std::string& entry, bool pause) {
    call(entry);
    return std::exchange(paused, pause) == pause ? std::optional(Error{"rec", 3, "as it is"})
                                                 : std::nullopt;
  }
  void call(const std::string& entry) {
    if (onCall) {
      onCall();
    }
    log += replies.str() + entry;
    replies.str("");
  }
};

std::string transcriptOf(const std::string& input) {
  ScriptedRecording recorder;
  std::istringstream in(input);
  EXPECT_EQ(runControlLoop(in, recorder.replies, recorder), 0);
  return recorder.log + recorder.replies.str();
}

struct Case {
  std::string name, input, transcript;  // the replies and calls in order
  friend void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }
};

class Lines : public ::testing::TestWithParam<Case> {};

TEST_P(Lines, GetTheirRepliesInOrder) {
  EXPECT_EQ(transcriptOf(GetParam().input), GetParam().transcript);
}

const std::string U = "ERR unknown command\n";  // short: many rows hold several
const std::string kNotUtf8 = "ERR the path is not valid UTF-8\n";
// The first and last character of each UTF-8 range, U+FFFD itself, a ZWJ
// emoji sequence and a blank.
const std::string kEdges =
    "\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBF\xF0\x90\x80\x80"
    "\xF4\x8F\xBF\xBF\xEF\xBF\xBD\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x92\xBB x";
const std::string kMax(kMaxLineBytes - 5, 'a');  // "stop " and this: the longest line kept

INSTANTIATE_TEST_SUITE_P(
    ControlLoop, Lines,
    ::testing::Values(
        Case{"NoInput", "", "<stop>"},
        Case{"EndOfInputFinishesWithoutReply", "start a.mp4\r", "<start a.mp4\r>OK\n<stop>"},
        Case{"NoCommand", "\n   \nstart\nstart \nstart\tx\nSTOP\nStop\nStart x\nstopper\n",
             U + U + U + U + U + U + U + U + U + "<stop>"},
        // The path is all after one blank; DONE names the last start's.
        Case{"DoneCarriesTheLastPathExactly", "start first.mp4\nbogus\n   start  a b \nstop now\n",
             "<start first.mp4>OK\n" + U + "<start  a b >OK\n<stop>DONE 5000000000  a b \n"},
        Case{"StopWithoutStartEndsTheLoop", "stop\nstart x\n", "<stop>DONE 5000000000 \n"},
        Case{"FailedStartEndsTheLoopWithItsErrorOnOneLine", "start fail.mp4\nstop\nstart b\n",
             "<start fail.mp4>" + kErr + "<stop>"},
        Case{"RefusedSecondStartFinishesTheFirst", "start a.mp4\nstart fail.mp4\nstop\n",
             "<start a.mp4>OK\n<start fail.mp4>" + kErr + "<stop>"},
        // Only the CR right before the LF goes; NUL is a byte like any other.
        Case{"CrAndNulKept", "\0\nsto\0p\nstart a\0\rb\r\r\nstop\r\n"s,
             U + U + "<start a\0\rb\r>OK\n<stop>DONE 5000000000 a\0\rb\r\n"s},
        Case{"WellFormedPathEdgesKept", "start " + kEdges + "\n",
             "<start " + kEdges + ">OK\n<stop>"},
        // Only a blank that is a grapheme cluster of its own separates.
        Case{"BlanksJoinedToACluster",
             "start \xCC\x81x\nstop\xD8\x80 now\n\xD8\x80 stop\n \xCC\x81stop\nstart\xC2\xA0x\n",
             U + U + U + U + U + "<stop>"},
        // Bare words but for mark, whose title is the rest of the line,
        // repaired like any line but a start path's; any refusal keeps the
        // recording going.
        Case{"Controls",
             "status\npause\npause\nresume\nresume\nmark  two  blanks \nmark caf\xFF\nmark\n"
             "mark \nmark fail\nstatus now\nPause\npause\xC2\xA0\n",
             "<status>STATUS recording time=5000000.123 bytes=4 system=-0.0 mic=-inf\n<pause>OK\n"
             "<pause>ERR as it is\n<resume>OK\n<resume>ERR as it is\n<mark  two  blanks >OK\n"
             "<mark caf\xEF\xBF\xBD>OK\nERR mark needs a title\nERR mark needs a title\n"
             "<mark fail>ERR no room\n" +
                 U + U + U + "<stop>"},
        Case{"OverlongLineAndTheLongestKept", "stop a" + kMax + "\nstop " + kMax + "\r\n",
             U + "<stop>DONE 5000000000 \n"}),
    [](const auto& info) { return info.param.name; });

// A repaired path would name another file, maybe an existing one: refused,
// and the running recording finished.
TEST(ControlLoop, RefusesEveryIllFormedPath) {
  for (const std::string bad : {"\xC0\xAF", "\xE0\x80\x80", "\xF0\x80\x80\x80", "\xED\xA0\x80",
                                "\xF4\x90\x80\x80", "\xF5", "\x80", "\xE1\x80\x41", "\xE2\x82"}) {
    EXPECT_EQ(transcriptOf("start a.mp4\nstart /tmp/" + bad + "\nstop\n"),
              "<start a.mp4>OK\n" + kNotUtf8 + "<stop>")
        << bad;
  }
}

std::string repeat(const std::string& line, int times) {
  std::string all;
  for (int i = 0; i < times; ++i) {
    all += line;
  }
  return all;
}

// Everything written to `fd` until its write end is closed.
std::string readAll(int fd) {
  std::string all;
  char bytes[4096];
  for (ssize_t n; (n = ::read(fd, bytes, sizeof bytes)) > 0;) {
    all.append(bytes, static_cast<std::size_t>(n));
  }
  return all;
}

constexpr int kWhileWaiting = -1;  // the loop waits for input or for room for a reply
constexpr int kNoSignal = -2;

struct Ending {
  std::string name;
  std::string input;  // written before the loop runs; the host never closes it
  int signalAtCall;   // SIGTERM during the recorder's call of this index
  bool startHangs;    // as a start stuck on a frozen server
  bool hostStopsReading;
  std::string replies;  // all of them; the first ones when the host stops reading
  friend void PrintTo(const Ending& c, std::ostream* out) { *out << c.name; }
};

// The signals are blocked in this (the main) thread from the first
// TerminationSignals on; each test sends them to this thread only.
class Endings : public ::testing::TestWithParam<Ending> {
 protected:
  // A signal a failed test left unread must not reach the next one.
  void TearDown() override { (void)signals_.arrived(); }

  // Pipes that hold a whole test's input and replies, so that the host need not
  // write or read while the loop runs.
  Pipe input_ = makePipe(), output_ = makePipe();
  const bool roomy_ = ::fcntl(input_.write.get(), F_SETPIPE_SZ, 1 << 20) > 0 &&
                      ::fcntl(output_.write.get(), F_SETPIPE_SZ, 1 << 20) > 0;
  TerminationSignals signals_;
  DescriptorLineSource lines_{input_.read.get(), signals_};
  DescriptorReplySink replies_{output_.write.get(), signals_};
  ScriptedRecording recorder_;
};

// Whatever ends it, the loop ends by itself and the recording is finished.
TEST_P(Endings, FinishTheRecordingAndAnswerWhatTheyShould) {
  const Ending& c = GetParam();
  ASSERT_TRUE(roomy_);
  ASSERT_EQ(::write(input_.write.get(), c.input.data(), c.input.size()), ssize_t(c.input.size()));
  recorder_.startHangs = c.startHangs;
  int call = 0;
  recorder_.onCall = [&, loop = pthread_self()] {
    if (call++ == c.signalAtCall) {
      pthread_kill(loop, SIGTERM);
      std::this_thread::sleep_for(100ms);  // so that it comes while the call runs
    }
  };
  // A loop that does not end by itself hangs its test, which the test run's
  // time limit fails.
  std::thread host([&, loop = pthread_self(), out = output_.write.get()] {
    if (c.signalAtCall == kWhileWaiting) {
      std::this_thread::sleep_for(200ms);
      pollfd room{out, POLLOUT, 0};
      for (int i = 0; i < 300 && c.hostStopsReading && ::poll(&room, 1, 0) > 0; ++i) {
        std::this_thread::sleep_for(10ms);  // until the replies fill the pipe
      }
      pthread_kill(loop, SIGTERM);
    }
  });
  runControlLoop(lines_, replies_, recorder_);
  host.join();
  output_.write.reset();
  EXPECT_EQ(recorder_.log, "<start a.mp4><stop>");
  const std::string replies = readAll(output_.read.get());
  // Not EXPECT_EQ: a diff of many thousand lines takes minutes.
  EXPECT_TRUE((c.hostStopsReading ? replies.substr(0, c.replies.size()) : replies) == c.replies)
      << replies.substr(0, 200);
}

INSTANTIATE_TEST_SUITE_P(
    ControlLoop, Endings,
    ::testing::Values(
        Ending{"SignalAbandonsAHangingStart", "start a.mp4\nstop\n", 0, true, false,
               "ERR abandoned\n"},
        Ending{"SignalDuringStartWinsOverQueuedLines", "start a.mp4\nstop\n", 0, false, false,
               "OK\n"},
        Ending{"SignalDuringStopLetsItAnswer", "start a.mp4\nstop\n", 1, false, false,
               "OK\nDONE 5000000000 a.mp4\n"},
        Ending{"SignalWhileWaitingDropsAHalfLine", "start a.mp4\nstart half", kWhileWaiting, false,
               false, "OK\n"},
        Ending{"SignalFreesAReplyTheHostDoesNotRead", "start a.mp4\n" + repeat("x\n", 60000),
               kWhileWaiting, false, true, "OK\n" + U + U},
        // Lines far past the limit and many pipefuls: bounded, one reply each.
        Ending{"HostileInput",
               "start /" + std::string(200000, 'x') + "\n" + std::string(200000, 'x') + "\r\n" +
                   repeat("x\r\n", 30000) + "\0\n"s + "start a.mp4\nstop\n",
               kNoSignal, false, false, repeat(U, 30003) + "OK\nDONE 5000000000 a.mp4\n"}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace kestrano
