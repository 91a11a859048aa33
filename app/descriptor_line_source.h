#pragma once

#include <array>
#include <istream>
#include <optional>
#include <streambuf>

#include "app/line_source.h"
#include "app/termination_signals.h"

namespace kestrano {

// Command lines from a file descriptor (standard input for the process),
// read as they come and given up at once when a termination signal arrives:
// the wait for input is a poll() on the descriptor and on the signals. The
// descriptor is borrowed, not closed.
//
// A command runs on a thread of its own while the calling thread polls the
// signals and that thread's completion: a signal during a command is seen at
// once (see runCommand). The thread is joined before runCommand returns.
class DescriptorLineSource final : public LineSource {
 public:
  DescriptorLineSource(int fd, TerminationSignals& signals);

  std::optional<InputLine> nextLine() override;
  bool finishRequested() override { return signals_.arrived(); }
  void runCommand(const std::function<void()>& command,
                  const std::function<void()>& onFinishRequest) override;

 private:
  class PollingBuffer final : public std::streambuf {
   public:
    PollingBuffer(int fd, const TerminationSignals& signals) : fd_(fd), signals_(signals) {}

   protected:
    int_type underflow() override;

   private:
    int fd_;
    const TerminationSignals& signals_;
    // One read's worth; a pipe holds 64 KiB, so a burst of lines is taken in
    // few reads while the memory stays fixed.
    std::array<char, 64 * 1024> bytes_{};
  };

  TerminationSignals& signals_;
  PollingBuffer buffer_;
  std::istream stream_;
};

}  // namespace kestrano
