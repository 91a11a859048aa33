#include "tests/support/recorder_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>

extern char** environ;

namespace kestrano::testing {
namespace {

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

}  // namespace

RecorderProcess::RecorderProcess(const std::string& binary,
                                 const std::vector<std::string>& environment) {
  int inPipe[2];
  int outPipe[2];
  if (pipe2(inPipe, O_CLOEXEC) != 0 || pipe2(outPipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  char errTemplate[] = "/tmp/kestrano-stderr.XXXXXX";
  int errFd = mkstemp(errTemplate);
  errPath_ = errTemplate;

  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    env.emplace_back(*e);
  }
  for (const auto& add : environment) {
    auto name = add.substr(0, add.find('=') + 1);
    std::erase_if(env, [&](const std::string& e) { return e.rfind(name, 0) == 0; });
    env.push_back(add);
  }
  std::vector<char*> envp;
  for (auto& e : env) {
    envp.push_back(e.data());
  }
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, inPipe[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, errFd, STDERR_FILENO);
  std::string path = binary;
  char* argv[] = {path.data(), nullptr};
  int rc = posix_spawn(&pid_, binary.c_str(), &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(inPipe[0]);
  close(outPipe[1]);
  close(errFd);
  in_ = inPipe[1];
  out_ = outPipe[0];
  if (rc != 0) {
    throw std::runtime_error("cannot start " + binary + ": " + std::strerror(rc));
  }
}

RecorderProcess::~RecorderProcess() {
  if (!reaped_ && pid_ > 0) {
    ::kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (in_ >= 0) {
    close(in_);
  }
  if (out_ >= 0) {
    close(out_);
  }
  unlink(errPath_.c_str());
}

void RecorderProcess::send(const std::string& line) {
  std::string bytes = line + "\n";
  const char* p = bytes.data();
  size_t left = bytes.size();
  while (left > 0) {
    ssize_t n = ::write(in_, p, left);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return;  // the child has gone; the reply check will say so
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
}

bool RecorderProcess::readMore(std::chrono::steady_clock::time_point deadline) {
  pollfd p{out_, POLLIN, 0};
  if (poll(&p, 1, remainingMs(deadline)) <= 0) {
    return false;
  }
  char buf[4096];
  ssize_t n = ::read(out_, buf, sizeof buf);
  if (n <= 0) {
    return false;
  }
  pending_.append(buf, static_cast<size_t>(n));
  return true;
}

std::optional<std::string> RecorderProcess::readLine(std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  for (;;) {
    auto lf = pending_.find('\n');
    if (lf != std::string::npos) {
      std::string line = pending_.substr(0, lf);
      pending_.erase(0, lf + 1);
      return line;
    }
    if (!readMore(deadline)) {
      return std::nullopt;
    }
  }
}

std::string RecorderProcess::readRest(std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  while (readMore(deadline)) {
  }
  return std::exchange(pending_, {});
}

void RecorderProcess::closeInput() {
  if (in_ >= 0) {
    close(in_);
    in_ = -1;
  }
}

void RecorderProcess::closeOutput() {
  if (out_ >= 0) {
    close(out_);
    out_ = -1;
  }
}

int RecorderProcess::wait(std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  int status = 0;
  while (!reaped_) {
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      reaped_ = true;
      break;
    }
    if (Clock::now() >= deadline) {
      ::kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      reaped_ = true;
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void RecorderProcess::signal(int sig) const {
  if (!reaped_) {
    ::kill(pid_, sig);
  }
}

std::string RecorderProcess::standardError() const {
  std::ifstream in(errPath_);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace kestrano::testing
