#include "app/termination_signals.h"

#include <pthread.h>
#include <sys/signalfd.h>

#include <cerrno>

namespace kestrano {

TerminationSignals::TerminationSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  sigset_t previous;
  pthread_sigmask(SIG_BLOCK, &set, &previous);
  fd_.reset(::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC));
  if (fd_.get() < 0) {
    // Blocked signals nobody reads would make the process unstoppable.
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  }
}

bool TerminationSignals::arrived() {
  if (arrived_ || fd_.get() < 0) {
    return arrived_;
  }
  signalfd_siginfo info;
  for (;;) {
    const ssize_t n = ::read(fd_.get(), &info, sizeof info);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    arrived_ = n == static_cast<ssize_t>(sizeof info);
    return arrived_;
  }
}

}  // namespace kestrano
