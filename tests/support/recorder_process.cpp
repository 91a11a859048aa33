#include "tests/support/recorder_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>

extern char** environ;

namespace kestrano::testing {

using Clock = std::chrono::steady_clock;

RecorderProcess::RecorderProcess(const std::string& binary,
                                 const std::vector<std::string>& environment) {
  int inPipe[2];
  int outPipe[2];
  char errTemplate[] = "/tmp/kestrano-stderr.XXXXXX";
  int errFd = mkstemp(errTemplate);
  if (pipe2(inPipe, O_CLOEXEC) != 0 || pipe2(outPipe, O_CLOEXEC) != 0 || errFd < 0) {
    throw std::runtime_error("cannot make the child's pipes");
  }
  errPath_ = errTemplate;
  // env(1) adds the entries to what the child inherits, then runs it.
  std::vector<std::string> args{"env"};
  args.insert(args.end(), environment.begin(), environment.end());
  args.push_back(binary);
  std::vector<char*> argv;
  for (auto& a : args) {
    argv.push_back(a.data());
  }
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, inPipe[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, errFd, STDERR_FILENO);
  int rc = posix_spawn(&pid_, "/usr/bin/env", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(inPipe[0]);
  close(outPipe[1]);
  close(errFd);
  in_ = inPipe[1];
  out_ = outPipe[0];
  if (rc != 0) {
    reaped_ = true;
    throw std::runtime_error("cannot start " + binary);
  }
}

RecorderProcess::~RecorderProcess() {
  if (!reaped_) {
    ::kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  closeInput();
  closeOutput();
  unlink(errPath_.c_str());
}

void RecorderProcess::send(const std::string& line) {
  std::string bytes = line + "\n";
  for (size_t done = 0; done < bytes.size();) {
    ssize_t n = ::write(in_, bytes.data() + done, bytes.size() - done);
    if (n <= 0) {
      return;  // the child has gone; the reply check will say so
    }
    done += static_cast<size_t>(n);
  }
}

bool RecorderProcess::readMore(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  pollfd p{out_, POLLIN, 0};
  char buf[4096];
  if (out_ < 0 || poll(&p, 1, std::max(0, static_cast<int>(left.count()))) <= 0) {
    return false;
  }
  ssize_t n = ::read(out_, buf, sizeof buf);
  pending_.append(buf, static_cast<size_t>(std::max<ssize_t>(n, 0)));
  return n > 0;
}

std::optional<std::string> RecorderProcess::readLine(std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  size_t lf;
  while ((lf = pending_.find('\n')) == std::string::npos) {
    if (!readMore(deadline)) {
      return std::nullopt;
    }
  }
  std::string line = pending_.substr(0, lf);
  pending_.erase(0, lf + 1);
  return line;
}

std::string RecorderProcess::readRest(std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  while (readMore(deadline)) {
  }
  return std::exchange(pending_, {});
}

void RecorderProcess::closeInput() {
  if (in_ >= 0) {
    close(std::exchange(in_, -1));
  }
}

void RecorderProcess::closeOutput() {
  if (out_ >= 0) {
    close(std::exchange(out_, -1));
  }
}

int RecorderProcess::wait(std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  int status = 0;
  while (!reaped_ && waitpid(pid_, &status, WNOHANG) != pid_) {
    if (Clock::now() >= deadline) {
      signal(SIGKILL);
      waitpid(pid_, nullptr, 0);
      status = -1;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  reaped_ = true;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void RecorderProcess::signal(int sig) const {
  if (!reaped_) {
    ::kill(pid_, sig);
  }
}

std::string RecorderProcess::standardError() const {
  std::stringstream s;
  s << std::ifstream(errPath_).rdbuf();
  return s.str();
}

}  // namespace kestrano::testing
