#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

extern char** environ;

namespace kestrano::testing {

// A child process as a host runs the recorder: its standard input and output
// are pipes held here; standard error goes to a file. The child is killed if
// it still runs at the end.
class RecorderProcess {
 public:
  using Clock = std::chrono::steady_clock;

  // `environment` entries ("NAME=value", or env(1)'s "-i" first to start
  // from nothing) are added to this process's own, less what marks a Wayland
  // session (so a test run from a Wayland desktop still records its private X
  // server, unless an entry sets them again). `launcher`, e.g. setpriv with
  // its options, runs env(1) in turn.
  RecorderProcess(const std::string& binary, std::vector<std::string> environment,
                  std::vector<std::string> launcher = {}) {
    int in[2], out[2];
    char errPath[] = "/tmp/kestrano-stderr.XXXXXX";
    int err = mkstemp(errPath);
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || err < 0) {
      throw std::runtime_error("cannot make the child's pipes");
    }
    errPath_ = errPath;
    // env(1) removes, adds, then runs the binary.
    environment.insert(environment.begin(),
                       {"env", "-u", "WAYLAND_DISPLAY", "-u", "XDG_SESSION_TYPE"});
    environment.push_back(binary);
    launcher.insert(launcher.end(), environment.begin(), environment.end());
    std::vector<char*> argv;
    for (auto& a : launcher) {
      argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err, STDERR_FILENO);
    int rc = posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    close(err);
    in_ = in[1];
    out_ = out[0];
    if (rc != 0) {
      reaped_ = true;
      throw std::runtime_error("cannot start " + binary);
    }
  }
  ~RecorderProcess() {
    wait(std::chrono::milliseconds(0));
    closeInput();
    closeOutput();
    unlink(errPath_.c_str());
  }
  RecorderProcess(const RecorderProcess&) = delete;
  RecorderProcess& operator=(const RecorderProcess&) = delete;

  void send(const std::string& line) {
    std::string bytes = line + "\n";
    for (ssize_t n = 0; !bytes.empty() && n >= 0; bytes.erase(0, static_cast<size_t>(n))) {
      n = ::write(in_, bytes.data(), bytes.size());  // fails once the child has gone
    }
  }
  // The next line without its line feed; nothing at end of output or after
  // the timeout.
  std::optional<std::string> readLine(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
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
  // Where the recording stands on the file's timeline, in seconds, as
  // "status" tells; -1 without an answer.
  double mediaSeconds() {
    send("status");
    const std::string status = readLine(std::chrono::seconds(10)).value_or("");
    const auto time = status.find(" time=");
    return time == std::string::npos ? -1.0 : std::stod(status.substr(time + 6));
  }
  // Everything left on standard output until the child closes it.
  std::string readRest(std::chrono::milliseconds timeout) {
    for (const auto deadline = Clock::now() + timeout; readMore(deadline);) {
    }
    return std::exchange(pending_, {});
  }
  void closeInput() { close(std::exchange(in_, -1)); }
  // A host that went away.
  void closeOutput() { close(std::exchange(out_, -1)); }
  // The exit status, or -1 when the child died of a signal or did not exit in
  // time (then it is killed).
  int wait(std::chrono::milliseconds timeout) {
    int status = -1;
    for (const auto deadline = Clock::now() + timeout;
         !reaped_ && waitpid(pid_, &status, WNOHANG) != pid_;
         std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
      if (Clock::now() >= deadline) {
        signal(SIGKILL);
        waitpid(pid_, nullptr, 0);
        status = -1;
        break;
      }
    }
    reaped_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  void signal(int sig) const {
    if (!reaped_) {
      ::kill(pid_, sig);
    }
  }
  std::string standardError() const {
    std::stringstream s;
    s << std::ifstream(errPath_).rdbuf();
    return s.str();
  }
  pid_t pid() const { return pid_; }

 private:
  // Appends what the child wrote next; false at end of output or after the
  // deadline.
  bool readMore(Clock::time_point deadline) {
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

  pid_t pid_ = -1;
  int in_ = -1, out_ = -1;  // our ends of the child's standard input and output
  std::string pending_, errPath_;
  bool reaped_ = false;
};

}  // namespace kestrano::testing
