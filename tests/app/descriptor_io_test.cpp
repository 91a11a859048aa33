// The process's own input and output: lines from a descriptor that a
// termination signal interrupts, replies to a descriptor the host may close.
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include "app/descriptor_line_source.h"
#include "app/descriptor_reply_sink.h"
#include "app/termination_signals.h"
#include "platform/linux/unique_fd.h"
#include "tests/app/test_pipe.h"

namespace kestrano {
namespace {

using Lines = std::vector<std::string>;

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
  DescriptorReplySink sink(pipe.write.get());
  EXPECT_TRUE(sink.send("OK"));
  char got[8] = {};
  ASSERT_EQ(::read(pipe.read.get(), got, sizeof got), 3);
  EXPECT_EQ(std::string(got, 3), "OK\n");

  pipe.read.reset();  // the host went away
  EXPECT_FALSE(sink.send("DONE 1 a"));
  EXPECT_FALSE(sink.send("ERR unknown command"));
}

}  // namespace
}  // namespace kestrano
