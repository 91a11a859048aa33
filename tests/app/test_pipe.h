#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <stdexcept>

#include "app/unique_fd.h"

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

}  // namespace kestrano
