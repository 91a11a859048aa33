// The loop over the process's own input and output: pipes a host writes,
// reads or closes, and termination signals that come at any moment.
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <sstream>
#include <string>
#include <thread>

#include "app/control_loop.h"
#include "app/descriptor_line_source.h"
#include "app/descriptor_reply_sink.h"
#include "app/termination_signals.h"
#include "tests/app/scripted_recording.h"
#include "tests/app/test_pipe.h"

namespace kestrano {
namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using std::chrono::steady_clock;
using testing::ScriptedRecording;

const std::string U = "ERR unknown command\n";

std::string repeat(const std::string& line, int times) {
  std::string all;
  for (int i = 0; i < times; ++i) {
    all += line;
  }
  return all;
}

// Whatever the descriptor holds now, without waiting.
std::string readAvailable(int fd) {
  std::string all;
  char bytes[4096];
  pollfd in{fd, POLLIN, 0};
  while (::poll(&in, 1, 0) > 0 && (in.revents & POLLIN) != 0) {
    const ssize_t n = ::read(fd, bytes, sizeof bytes);
    if (n <= 0) {
      break;
    }
    all.append(bytes, static_cast<std::size_t>(n));
  }
  return all;
}

// The signals are blocked in this (the main) thread from the first
// TerminationSignals on; each test sends them to this thread only.
class PipeLoop : public ::testing::Test {
 protected:
  void SetUp() override { std::signal(SIGPIPE, SIG_IGN); }  // as the process does
  // A signal a failed test left unread must not reach the next one.
  void TearDown() override { (void)signals_.arrived(); }

  // Runs the loop. One still running after 5 s is freed (its replies read, a
  // "stop" sent) so that it fails its test instead of hanging it; true then.
  bool runRescued(ReplySink& replies) {
    std::atomic<bool> ended{false};
    std::atomic<bool> rescued{false};
    std::thread watchdog([&] {
      const auto deadline = steady_clock::now() + 5s;
      while (!ended && steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
      }
      if (!ended) {
        rescued = true;
        writeSome(input_.write.get(), "\nstop\n");
      }
      while (!ended) {
        readAvailable(output_.read.get());
        std::this_thread::sleep_for(1ms);
      }
    });
    runControlLoop(lines_, replies, recorder_);
    ended = true;
    watchdog.join();
    return rescued;
  }

  TerminationSignals signals_;
  Pipe input_ = makePipe();
  Pipe output_ = makePipe();
  DescriptorLineSource lines_{input_.read.get(), signals_};
  DescriptorReplySink replies_{output_.write.get(), signals_};
  ScriptedRecording recorder_;
};

constexpr int kWhileWaiting = -1;  // the loop waits for input or for room for a reply
constexpr int kNoSignal = -2;

enum class Host { reads, stopsReading, leaves };

struct Ending {
  std::string name;
  std::string input;  // written before the loop runs; the host never closes it
  int signalAtCall;   // SIGTERM during the recorder's call of this index
  bool startHangs;    // as a start stuck on a frozen server
  Host host;
  std::string replies;  // all of them; the first ones when the host stops reading
};

class Endings : public PipeLoop, public ::testing::WithParamInterface<Ending> {};

// Whatever ends it, the loop ends by itself and the recording is finished.
TEST_P(Endings, FinishTheRecordingAndAnswerWhatTheyShould) {
  const Ending& c = GetParam();
  writeSome(input_.write.get(), c.input);
  recorder_.startHangs = c.startHangs;
  int call = 0;
  recorder_.onCall = [&, loop = pthread_self()] {
    if (call++ == c.signalAtCall) {
      pthread_kill(loop, SIGTERM);
      std::this_thread::sleep_for(100ms);  // so that it comes while the call runs
    }
  };
  if (c.host == Host::leaves) {
    output_.read.reset();
  }
  std::thread signaller;
  if (c.signalAtCall == kWhileWaiting) {
    signaller = std::thread([&, loop = pthread_self()] {
      std::this_thread::sleep_for(200ms);
      pollfd room{output_.write.get(), POLLOUT, 0};
      for (int i = 0; i < 300 && c.host == Host::stopsReading && ::poll(&room, 1, 0) > 0; ++i) {
        std::this_thread::sleep_for(10ms);  // until the replies fill the pipe
      }
      pthread_kill(loop, SIGTERM);
    });
  }
  EXPECT_FALSE(runRescued(replies_)) << "the loop did not end by itself";
  if (signaller.joinable()) {
    signaller.join();
  }
  EXPECT_EQ(recorder_.log, c.input.starts_with("start") ? "<start a.mp4><stop>" : "<stop>");
  const std::string replies = readAvailable(output_.read.get());
  EXPECT_EQ(c.host == Host::stopsReading ? replies.substr(0, c.replies.size()) : replies,
            c.replies);
}

INSTANTIATE_TEST_SUITE_P(
    ControlLoop, Endings,
    ::testing::Values(
        Ending{"SignalAbandonsAHangingStart", "start a.mp4\nstop\n", 0, true, Host::reads,
               "ERR abandoned\n"},
        Ending{"SignalDuringStartWinsOverQueuedLines", "start a.mp4\nstop\n", 0, false, Host::reads,
               "OK\n"},
        Ending{"SignalDuringStopLetsItAnswer", "start a.mp4\nstop\n", 1, false, Host::reads,
               "OK\nDONE 5000000000 a.mp4\n"},
        Ending{"SignalWhileWaitingDropsAHalfLine", "start a.mp4\nstart half", kWhileWaiting, false,
               Host::reads, "OK\n"},
        Ending{"SignalFreesAReplyTheHostDoesNotRead", "start a.mp4\n" + repeat("x\n", 5000),
               kWhileWaiting, false, Host::stopsReading, "OK\n" + U + U},
        Ending{"SignalWhileIdle", "", kWhileWaiting, false, Host::reads, ""},
        Ending{"HostGoneBeforeTheReply", "start a.mp4\nx\n", kNoSignal, false, Host::leaves, ""}),
    [](const auto& info) { return info.param.name; });

// Lines far past the limit, a burst of many pipefuls and NUL bytes: bounded,
// one reply each, and the loop goes on.
TEST_F(PipeLoop, HostileInputGetsOneReplyPerLine) {
  const std::string huge(4 * 1024 * 1024, 'x');
  const std::string input = "start /" + huge + "\n" + huge + "\r\n" + repeat("x\r\n", 20000) +
                            "\0\n"s + "start a.mp4\nstop\n";
  std::thread host([&] {
    writeSome(input_.write.get(), input);
    input_.write.reset();
  });
  std::ostringstream out;
  StreamReplySink replies(out);
  runControlLoop(lines_, replies, recorder_);
  input_.read.reset();  // a loop that stopped early must not leave the host blocked
  host.join();
  EXPECT_EQ(out.str(), repeat(U, 20003) + "OK\nDONE 5000000000 a.mp4\n");
  EXPECT_EQ(recorder_.log, "<start a.mp4><stop>");
}

}  // namespace
}  // namespace kestrano
