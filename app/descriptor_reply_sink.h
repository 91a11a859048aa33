#pragma once

#include <string_view>

#include "app/reply_sink.h"
#include "app/termination_signals.h"

namespace kestrano {

// Replies written straight to a file descriptor (standard output for the
// process), with no buffer that could hold a reply back or write it again
// later. The first failed write (EPIPE: the host closed its end) ends all
// writing. SIGPIPE must be ignored for that failure to be seen rather than
// kill the process. The descriptor is borrowed, not closed.
//
// A host that stops reading must not make the process unstoppable: a write
// waits for room in a poll() that also watches the termination signals, and
// gives up (as a failed write) when one arrives; once one has arrived, a
// reply goes out only if there is room for it at once.
class DescriptorReplySink final : public ReplySink {
 public:
  DescriptorReplySink(int fd, TerminationSignals& signals) : fd_(fd), signals_(signals) {}
  bool send(std::string_view line) override;

 private:
  // Waits until the descriptor takes bytes; false when a termination signal
  // came first (or had come, and there is no room now) or the wait failed.
  bool waitForRoom();

  int fd_;
  TerminationSignals& signals_;
  bool failed_ = false;
};

}  // namespace kestrano
