#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <thread>

#include "platform/mutex.h"
#include "platform/unique_fd.h"

namespace kestrano::x11 {

// Shuts a socket down (both ways) if the work that uses it has not finished
// by a deadline, so that a call blocked on a peer that stopped answering
// returns with an error instead of waiting for good. Its own thread waits
// for the deadline; finish() or destruction ends the watch and joins it.
// A later write on the cut socket raises SIGPIPE unless the process ignores
// it, as the recorder does.
class SocketWatchdog {
 public:
  using Clock = std::chrono::steady_clock;

  // Watches `socket`, a descriptor of its own (a dup of the one in use), so
  // the socket it cuts is never a number closed and reused meanwhile.
  // Nothing when the thread cannot start.
  static std::unique_ptr<SocketWatchdog> start(UniqueFd socket, Clock::time_point deadline);
  ~SocketWatchdog();
  SocketWatchdog(const SocketWatchdog&) = delete;
  SocketWatchdog& operator=(const SocketWatchdog&) = delete;

  // Ends the watch (no cut after it returns). True when the deadline had
  // already passed and the socket was cut. The owner's thread only.
  bool finish() EXCLUDES(mutex_);
  // Whether the socket has been cut so far. Any thread.
  bool cut() const EXCLUDES(mutex_);

 private:
  SocketWatchdog(UniqueFd socket, Clock::time_point deadline)
      : socket_(std::move(socket)), deadline_(deadline) {}
  void watch() EXCLUDES(mutex_);

  const UniqueFd socket_;
  const Clock::time_point deadline_;
  mutable Mutex mutex_;
  std::condition_variable finishing_;
  bool finished_ GUARDED_BY(mutex_) = false;
  bool cut_ GUARDED_BY(mutex_) = false;
  std::thread thread_;  // joined by finish()
};

}  // namespace kestrano::x11
