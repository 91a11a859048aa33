#include "app/descriptor_reply_sink.h"

#include <limits.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

namespace kestrano {

bool DescriptorReplySink::waitForRoom() {
  for (;;) {
    const bool requested = signals_.arrived();
    pollfd fds[2] = {{fd_, POLLOUT, 0}, {requested ? -1 : signals_.fd(), POLLIN, 0}};
    const int ready = ::poll(fds, 2, requested ? 0 : -1);
    if (ready < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    if (fds[0].revents != 0) {
      return true;  // room, or an error the write will report
    }
    if (requested) {
      return false;
    }
    // Only the signal descriptor: arrived() reads it on the next round.
  }
}

bool DescriptorReplySink::send(std::string_view line) {
  if (failed_) {
    return false;
  }
  std::string bytes(line);
  bytes.push_back('\n');
  std::size_t written = 0;
  while (written < bytes.size()) {
    if (!waitForRoom()) {
      failed_ = true;
      return false;
    }
    // A pipe that polls writable has room for PIPE_BUF bytes at least, so a
    // write of no more never blocks there.
    const std::size_t chunk = std::min<std::size_t>(bytes.size() - written, PIPE_BUF);
    const ssize_t n = ::write(fd_, bytes.data() + written, chunk);
    if (n > 0) {
      written += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
      continue;  // EAGAIN: a non-blocking descriptor the host handed us
    }
    failed_ = true;
    return false;
  }
  return true;
}

}  // namespace kestrano
