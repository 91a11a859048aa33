#include "app/descriptor_line_source.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace kestrano {

DescriptorLineSource::DescriptorLineSource(int fd, TerminationSignals& signals)
    : signals_(signals), buffer_(fd, signals), stream_(&buffer_) {}

std::optional<InputLine> DescriptorLineSource::nextLine() {
  std::optional<InputLine> line = readLine(stream_);
  if (signals_.arrived()) {
    return std::nullopt;  // a line cut short by the signal is no command
  }
  return line;
}

DescriptorLineSource::PollingBuffer::int_type DescriptorLineSource::PollingBuffer::underflow() {
  if (gptr() < egptr()) {
    return traits_type::to_int_type(*gptr());
  }
  for (;;) {
    pollfd fds[2] = {{fd_, POLLIN, 0}, {signals_.fd(), POLLIN, 0}};  // poll skips fd -1
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      return traits_type::eof();
    }
    if ((fds[1].revents & POLLIN) != 0 || (fds[0].revents & POLLNVAL) != 0) {
      return traits_type::eof();
    }
    if (fds[0].revents == 0) {
      continue;
    }
    const ssize_t n = ::read(fd_, bytes_.data(), bytes_.size());
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
      continue;  // EAGAIN: a non-blocking descriptor the host handed us
    }
    if (n <= 0) {
      return traits_type::eof();
    }
    setg(bytes_.data(), bytes_.data(), bytes_.data() + n);
    return traits_type::to_int_type(*gptr());
  }
}

}  // namespace kestrano
