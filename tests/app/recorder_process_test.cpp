// Drives the built KestranoRecorder binary through real pipes. Only commands
// that need no desktop: nothing here starts a recording.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <optional>
#include <string>
#include <thread>

#include "tests/app/test_pipe.h"

extern char** environ;

namespace kestrano {
namespace {

// Generous: the machine is shared; a healthy run answers in milliseconds.
constexpr auto kPatience = std::chrono::seconds(30);

// The recorder as a child process with its standard input and output on
// pipes. Killed and reaped on destruction if the test left it running.
class RecorderProcess {
 public:
  RecorderProcess() {
    Pipe input = makePipe();
    Pipe output = makePipe();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input.read.get(), STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output.write.get(), STDOUT_FILENO);
    char* argv[] = {const_cast<char*>(KESTRANO_RECORDER_BINARY), nullptr};
    const int rc = posix_spawn(&pid_, KESTRANO_RECORDER_BINARY, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
      throw std::runtime_error("cannot spawn " KESTRANO_RECORDER_BINARY);
    }
    toChild_ = std::move(input.write);
    fromChild_ = std::move(output.read);
  }

  ~RecorderProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  void write(const std::string& bytes) {
    ASSERT_EQ(::write(toChild_.get(), bytes.data(), bytes.size()),
              static_cast<ssize_t>(bytes.size()));
  }
  // Writes what it can; a recorder that stopped reading is not an error here.
  void writeSome(const std::string& bytes) { kestrano::writeSome(toChild_.get(), bytes); }
  void closeInput() { toChild_.reset(); }
  void signal(int sig) const { ::kill(pid_, sig); }
  void closeOutput() { fromChild_.reset(); }

  // One line with its LF; what came before end of output otherwise; nothing
  // when the recorder stays silent for too long.
  std::optional<std::string> readLine() {
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd p{fromChild_.get(), POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) {
        continue;
      }
      char c;
      const ssize_t n = ::read(fromChild_.get(), &c, 1);
      if (n <= 0) {
        return line;
      }
      line.push_back(c);
      if (c == '\n') {
        return line;
      }
    }
    return std::nullopt;
  }

  // The wait status, or nothing when the recorder does not exit in time.
  std::optional<int> waitForExit(rusage* usage = nullptr) {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      const pid_t done = ::wait4(pid_, &status, WNOHANG, usage);
      if (done == pid_) {
        pid_ = -1;
        return status;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return std::nullopt;
  }

 private:
  pid_t pid_ = -1;
  UniqueFd toChild_;
  UniqueFd fromChild_;
};

void expectCleanExit(RecorderProcess& recorder, rusage* usage = nullptr) {
  const std::optional<int> status = recorder.waitForExit(usage);
  ASSERT_TRUE(status) << "the recorder did not exit";
  ASSERT_TRUE(WIFEXITED(*status)) << "killed by signal " << WTERMSIG(*status);
  EXPECT_EQ(WEXITSTATUS(*status), 0);
}

TEST(RecorderProcess, AnswersEachCommandBeforeTheNextIsWrittenAndExitsAfterStop) {
  RecorderProcess recorder;
  recorder.write("bogus\n");
  EXPECT_EQ(recorder.readLine(), "ERR unknown command\n");
  recorder.write("start\r\n");
  EXPECT_EQ(recorder.readLine(), "ERR unknown command\n");
  recorder.write("stop\n");
  EXPECT_EQ(recorder.readLine(), "DONE 0 \n");
  EXPECT_EQ(recorder.readLine(), "");  // end of output: nothing after DONE
  expectCleanExit(recorder);
}

TEST(RecorderProcess, EndOfInputAloneExitsWithoutOutput) {
  RecorderProcess recorder;
  recorder.closeInput();
  EXPECT_EQ(recorder.readLine(), "");
  expectCleanExit(recorder);
}

TEST(RecorderProcess, SurvivesAHostThatStoppedReading) {
  RecorderProcess recorder;
  recorder.closeOutput();
  recorder.write("bogus\nstop\n");  // the replies hit a closed pipe
  expectCleanExit(recorder);
}

class TerminationSignal : public ::testing::TestWithParam<int> {};

TEST_P(TerminationSignal, WhileWaitingForInputEndsTheProcessCleanlyAndSilently) {
  RecorderProcess recorder;
  recorder.write("bogus\n");
  ASSERT_EQ(recorder.readLine(), "ERR unknown command\n");  // the loop waits for input now
  recorder.write("stop");  // half a line: no command, and it must not become one
  recorder.signal(GetParam());
  EXPECT_EQ(recorder.readLine(), "");
  expectCleanExit(recorder);
}

INSTANTIATE_TEST_SUITE_P(RecorderProcess, TerminationSignal,
                         ::testing::Values(SIGTERM, SIGINT, SIGHUP),
                         [](const auto& info) { return std::string(sigabbrev_np(info.param)); });

// The recorder's peak resident memory after reading one line of `lineBytes`
// bytes, sent in small pieces: a big buffer here would count too, since the
// child's peak starts from this process's at the spawn.
long maxResidentKiB(std::size_t lineBytes) {
  std::signal(SIGPIPE, SIG_IGN);  // a recorder that died early fails the test, not this process
  RecorderProcess recorder;
  std::thread host([&] {
    const std::string piece(64 * 1024, 'x');
    for (std::size_t sent = 0; sent < lineBytes; sent += piece.size()) {
      recorder.writeSome(piece);
    }
    recorder.writeSome("\n");
    recorder.closeInput();
  });
  EXPECT_EQ(recorder.readLine(), "ERR unknown command\n");
  rusage usage{};
  expectCleanExit(recorder, &usage);
  host.join();
  return usage.ru_maxrss;
}

TEST(RecorderProcess, AHugeLineCostsAboutAsMuchMemoryAsAShortOne) {
  const long shortLine = maxResidentKiB(1);
  const long hugeLine = maxResidentKiB(64 * 1024 * 1024);
  // Kept whole, the line alone would take 64 MiB; the reader holds at most
  // 64 KiB of it plus one read buffer.
  EXPECT_LT(hugeLine, shortLine + 8 * 1024) << "KiB at most: " << shortLine << " vs " << hugeLine;
}

}  // namespace
}  // namespace kestrano
