#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

#include "platform/unique_fd.h"

namespace kestrano {

// Both ends of a pipe, each closed with its owner.
struct Pipe {
  UniqueFd read;
  UniqueFd write;
};

inline Pipe makePipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe2 failed");
  }
  return Pipe{UniqueFd(fds[0]), UniqueFd(fds[1])};
}

// Writes what it can of `bytes`; a reader that stopped reading is not an
// error here.
inline void writeSome(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) {
      return;
    }
    done += static_cast<std::size_t>(n);
  }
}

}  // namespace kestrano
