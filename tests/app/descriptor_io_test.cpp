// The process's own input and output: lines from a descriptor that a
// termination signal interrupts, replies to a descriptor the host may close.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include "app/control_loop.h"
#include "app/descriptor_line_source.h"
#include "app/descriptor_reply_sink.h"
#include "app/termination_signals.h"
#include "platform/unique_fd.h"
#include "tests/app/scripted_recording.h"
#include "tests/app/test_pipe.h"

namespace kestrano {
namespace {

using Lines = std::vector<std::string>;
using std::chrono::milliseconds;
using std::chrono::steady_clock;
using testing::ScriptedRecording;

void writeAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    ASSERT_GT(n, 0);
    done += static_cast<std::size_t>(n);
  }
}

// The signals are blocked in this (the main) thread from the first
// TerminationSignals on; each test sends them to this thread only.
class DescriptorInput : public ::testing::Test {
 protected:
  TerminationSignals signals_;
  Pipe pipe_ = makePipe();
  DescriptorLineSource source_{pipe_.read.get(), signals_};
};

TEST_F(DescriptorInput, ReadsLinesAsTheyComeInPieces) {
  std::thread host([this] {
    for (const char* piece : {"sta", "rt a b\r", "\nstop\n", "last"}) {
      writeAll(pipe_.write.get(), piece);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    pipe_.write.reset();
  });
  Lines lines;
  for (int i = 0; i < 3; ++i) {
    auto line = source_.nextLine();
    ASSERT_TRUE(line.has_value());
    lines.push_back(line->bytes);
  }
  host.join();
  EXPECT_EQ(lines, (Lines{"start a b", "stop", "last"}));
  EXPECT_FALSE(source_.nextLine().has_value());
  EXPECT_FALSE(source_.finishRequested());
}

TEST_F(DescriptorInput, ASignalEndsTheWaitAndDropsAHalfWrittenLine) {
  writeAll(pipe_.write.get(), "start half");
  const pthread_t reader = pthread_self();
  std::thread host([reader] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    pthread_kill(reader, SIGHUP);
  });
  EXPECT_FALSE(source_.nextLine().has_value());  // would block forever otherwise
  host.join();
  EXPECT_TRUE(source_.finishRequested());
  EXPECT_TRUE(source_.finishRequested());  // stays requested
}

TEST_F(DescriptorInput, ASignalWinsOverLinesStillQueued) {
  writeAll(pipe_.write.get(), "bogus\nstop\n");
  ASSERT_EQ(source_.nextLine()->bytes, "bogus");
  pthread_kill(pthread_self(), SIGTERM);  // as if during the command
  EXPECT_TRUE(source_.finishRequested());
  EXPECT_FALSE(source_.nextLine().has_value());
}

TEST(DescriptorReplies, StopWritingAtTheFirstFailure) {
  std::signal(SIGPIPE, SIG_IGN);  // as the process does
  Pipe pipe = makePipe();
  TerminationSignals signals;
  DescriptorReplySink sink(pipe.write.get(), signals);
  EXPECT_TRUE(sink.send("OK"));
  char got[8] = {};
  ASSERT_EQ(::read(pipe.read.get(), got, sizeof got), 3);
  EXPECT_EQ(std::string(got, 3), "OK\n");

  pipe.read.reset();  // the host went away
  EXPECT_FALSE(sink.send("DONE 1 a"));
  EXPECT_FALSE(sink.send("ERR unknown command"));
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

// The whole loop over the process's own input and output, with a signal sent
// to this (the loop's) thread while a command runs or a reply waits.
class SignalDuringCommand : public ::testing::Test {
 protected:
  void SetUp() override { std::signal(SIGPIPE, SIG_IGN); }
  // A signal a failed test left unread must not reach the next one.
  void TearDown() override { (void)signals_.arrived(); }

  // Sends `signal` to the loop's thread after `delay`.
  std::thread signalLater(int signal, milliseconds delay) {
    return std::thread([loop = pthread_self(), signal, delay] {
      std::this_thread::sleep_for(delay);
      pthread_kill(loop, signal);
    });
  }

  TerminationSignals signals_;
  Pipe input_ = makePipe();
  Pipe output_ = makePipe();
  DescriptorLineSource lines_{input_.read.get(), signals_};
  DescriptorReplySink replies_{output_.write.get(), signals_};
  ScriptedRecording recorder_;
  const pthread_t main_ = pthread_self();
};

TEST_F(SignalDuringCommand, AbandonsAHangingStartAtOnceAndFinishes) {
  writeAll(input_.write.get(), "start a.mp4\nstop\n");
  recorder_.startBlocksUntilCancelled = true;  // as a start stuck on a frozen server
  std::thread host = signalLater(SIGTERM, milliseconds(100));
  const auto begin = steady_clock::now();
  runControlLoop(lines_, replies_, recorder_);
  const auto took = steady_clock::now() - begin;
  host.join();
  EXPECT_TRUE(recorder_.cancelled());
  EXPECT_LT(took, milliseconds(2000)) << "the start was not abandoned";
  EXPECT_EQ(recorder_.calls, (Lines{"start a.mp4", "stop"}));  // finished, "stop" not read
  EXPECT_EQ(readAvailable(output_.read.get()), "ERR abandoned\n");
}

TEST_F(SignalDuringCommand, LetsAStopFinishAndAnswer) {
  writeAll(input_.write.get(), "start a.mp4\nstop\nbogus\n");
  recorder_.stopSize = 42;
  recorder_.onCall = [this] {
    if (recorder_.calls.size() == 1) {  // at the stop: the signal comes while it runs
      pthread_kill(main_, SIGINT);
      std::this_thread::sleep_for(milliseconds(100));
    }
  };
  runControlLoop(lines_, replies_, recorder_);
  EXPECT_FALSE(recorder_.cancelled());
  EXPECT_EQ(recorder_.calls, (Lines{"start a.mp4", "stop"}));
  EXPECT_EQ(readAvailable(output_.read.get()), "OK\nDONE 42 a.mp4\n");
}

TEST_F(SignalDuringCommand, GivesUpAReplyTheHostDoesNotReadAndFinishes) {
  // The host sends a start and 20,000 unknown lines and reads no reply: the
  // replies fill the pipe after a few thousand and the loop's write waits.
  std::string lines = "start a.mp4\n";
  for (int i = 0; i < 20000; ++i) {
    lines += "bogus\n";
  }
  std::thread writer([&] { writeSome(input_.write.get(), lines); });
  std::thread host = signalLater(SIGTERM, milliseconds(300));
  // A loop still blocked 3 s after the signal is freed by reading its
  // replies, so the test fails instead of hanging.
  std::atomic<bool> ended{false};
  std::atomic<bool> rescued{false};
  std::thread rescuer([&] {
    const auto deadline = steady_clock::now() + milliseconds(3300);
    while (!ended && steady_clock::now() < deadline) {
      std::this_thread::sleep_for(milliseconds(10));
    }
    while (!ended) {
      rescued = true;
      readAvailable(output_.read.get());
      std::this_thread::sleep_for(milliseconds(1));
    }
  });
  runControlLoop(lines_, replies_, recorder_);
  ended = true;
  input_.read.reset();  // frees a writer with lines still unread
  writer.join();
  host.join();
  rescuer.join();
  EXPECT_FALSE(rescued) << "the blocked reply did not give way to the signal";
  EXPECT_EQ(recorder_.calls, (Lines{"start a.mp4", "stop"}));
}

}  // namespace
}  // namespace kestrano
