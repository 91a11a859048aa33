#include "platform/linux/x11/socket_watchdog.h"

#include <sys/socket.h>

#include <system_error>

namespace kestrano::x11 {

std::unique_ptr<SocketWatchdog> SocketWatchdog::start(UniqueFd socket, Clock::time_point deadline) {
  if (socket.get() < 0) {
    return nullptr;
  }
  std::unique_ptr<SocketWatchdog> watchdog(new SocketWatchdog(std::move(socket), deadline));
  try {
    watchdog->thread_ = std::thread([w = watchdog.get()] { w->watch(); });
  } catch (const std::system_error&) {
    return nullptr;
  }
  return watchdog;
}

SocketWatchdog::~SocketWatchdog() {
  finish();
}

void SocketWatchdog::watch() {
  MutexLock lock(mutex_);
  while (!finished_) {
    if (!lock.waitUntil(finishing_, deadline_)) {
      if (!finished_) {
        // Under the lock, so finish() never returns while a cut is under way.
        ::shutdown(socket_.get(), SHUT_RDWR);
        cut_ = true;
      }
      return;
    }
  }
}

bool SocketWatchdog::finish() {
  {
    MutexLock lock(mutex_);
    finished_ = true;
  }
  finishing_.notify_all();
  if (thread_.joinable()) {
    thread_.join();
  }
  return cut();
}

bool SocketWatchdog::cut() const {
  MutexLock lock(mutex_);
  return cut_;
}

}  // namespace kestrano::x11
