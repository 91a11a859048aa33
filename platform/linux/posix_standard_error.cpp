#include "platform/linux/posix_standard_error.h"

#include <unistd.h>

#include <cerrno>

namespace kestrano {

void PosixStandardError::writeData(std::string_view bytes) {
  // One write call for short lines; continue after a partial write.
  while (!bytes.empty()) {
    ssize_t n = ::write(STDERR_FILENO, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace kestrano
