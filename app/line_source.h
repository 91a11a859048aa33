#pragma once

#include <functional>
#include <istream>
#include <optional>

#include "app/line_reader.h"

namespace kestrano {

// Where the control loop takes its command lines from.
class LineSource {
 public:
  virtual ~LineSource() = default;

  // The next line; nothing at end of input, after a read error, or once the
  // process has been asked to finish (a line cut short by that is dropped).
  virtual std::optional<InputLine> nextLine() = 0;
  // True once the process has been asked to finish (a termination signal).
  // The loop checks it after every command, so a request that arrived while
  // start() or stop() ran ends the loop right after that command's reply.
  virtual bool finishRequested() = 0;
  // Carries out `command` to its end while still watching for a finish
  // request: when one arrives meanwhile, `onFinishRequest` runs once, on the
  // calling thread, and the command is still waited for (it is expected to
  // end promptly then). Here: `command` runs on the calling thread, unwatched.
  virtual void runCommand(const std::function<void()>& command,
                          const std::function<void()>& /*onFinishRequest*/) {
    command();
  }
};

// Lines from a stream; never asked to finish. For in-process runs.
class StreamLineSource final : public LineSource {
 public:
  explicit StreamLineSource(std::istream& in) : in_(in) {}
  std::optional<InputLine> nextLine() override { return readLine(in_); }
  bool finishRequested() override { return false; }

 private:
  std::istream& in_;
};

}  // namespace kestrano
