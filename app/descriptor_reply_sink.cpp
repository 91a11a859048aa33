#include "app/descriptor_reply_sink.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace kestrano {

bool DescriptorReplySink::send(std::string_view line) {
  if (failed_) {
    return false;
  }
  std::string bytes(line);
  bytes.push_back('\n');
  std::size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t n = ::write(fd_, bytes.data() + written, bytes.size() - written);
    if (n > 0) {
      written += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0 && errno == EAGAIN) {
      // A non-blocking descriptor with a full pipe: wait for room, as a
      // blocking write would.
      pollfd out{fd_, POLLOUT, 0};
      if (::poll(&out, 1, -1) >= 0 || errno == EINTR) {
        continue;
      }
    }
    failed_ = true;
    return false;
  }
  return true;
}

}  // namespace kestrano
