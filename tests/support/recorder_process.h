#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace kestrano::testing {

// A child process as a host runs the recorder: its standard input and output
// are pipes held here; standard error goes to a file.
class RecorderProcess {
 public:
  // `environment` entries ("NAME=value") are added to this process's own.
  RecorderProcess(const std::string& binary, const std::vector<std::string>& environment);
  ~RecorderProcess();  // kills the child if it still runs
  RecorderProcess(const RecorderProcess&) = delete;
  RecorderProcess& operator=(const RecorderProcess&) = delete;

  // Writes `line` and a line feed, as much as the child takes.
  void send(const std::string& line);
  // The next line without its line feed; nothing at end of output or after
  // the timeout.
  std::optional<std::string> readLine(std::chrono::milliseconds timeout);
  // Everything left on standard output until the child closes it.
  std::string readRest(std::chrono::milliseconds timeout);
  void closeInput();
  // Closes our end of the child's standard output: a host that went away.
  void closeOutput();
  // The exit status, or -1 when the child died of a signal or did not exit in
  // time (then it is killed).
  int wait(std::chrono::milliseconds timeout);
  void signal(int sig) const;
  std::string standardError() const;
  pid_t pid() const { return pid_; }

 private:
  // Appends what the child wrote next to pending_; false at end of output or
  // after the deadline.
  bool readMore(std::chrono::steady_clock::time_point deadline);

  pid_t pid_ = -1;
  int in_ = -1;   // our end of the child's standard input
  int out_ = -1;  // our end of the child's standard output
  std::string pending_;
  std::string errPath_;
  bool reaped_ = false;
};

}  // namespace kestrano::testing
