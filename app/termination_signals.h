#pragma once

#include <signal.h>

#include "platform/unique_fd.h"

namespace kestrano {

// SIGTERM, SIGINT and SIGHUP as a readable descriptor instead of a death in
// the middle of a file. Create it on the main thread before any other thread
// starts: it blocks the three signals in the calling thread, and threads
// started later inherit that mask, so no backend thread ever takes them; they
// wait in the descriptor until the control loop looks. The signals stay
// blocked after destruction: one arriving at the very end must not turn a
// clean exit into a kill.
class TerminationSignals {
 public:
  TerminationSignals();
  TerminationSignals(const TerminationSignals&) = delete;
  TerminationSignals& operator=(const TerminationSignals&) = delete;

  // Readable once a signal has arrived; -1 when none could be made (then the
  // signals were left unblocked and keep their default effect).
  int fd() const { return fd_.get(); }
  // Whether one of the signals has arrived; never blocks, and stays true.
  // Main thread only.
  bool arrived();

 private:
  UniqueFd fd_;
  bool arrived_ = false;
};

}  // namespace kestrano
