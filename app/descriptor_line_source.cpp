#include "app/descriptor_line_source.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <memory>
#include <system_error>
#include <thread>

#include "platform/unique_fd.h"

namespace kestrano {

DescriptorLineSource::DescriptorLineSource(int fd, TerminationSignals& signals)
    : signals_(signals), buffer_(fd, signals), stream_(&buffer_) {}

namespace {

// One command on a thread of its own, owned and joined here; `done()` is
// readable once the command has returned. The thread inherits the calling
// thread's blocked termination signals.
class CommandThread {
 public:
  // Nothing, and the command not begun, when no descriptor or thread can be
  // had.
  static std::unique_ptr<CommandThread> create(const std::function<void()>& command) {
    UniqueFd done(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (done.get() < 0) {
      return nullptr;
    }
    std::unique_ptr<CommandThread> thread(new CommandThread(std::move(done)));
    try {
      thread->thread_ = std::thread([t = thread.get(), &command] {
        command();
        const std::uint64_t one = 1;
        while (::write(t->done_.get(), &one, sizeof one) < 0 && errno == EINTR) {
        }
      });
    } catch (const std::system_error&) {
      return nullptr;
    }
    return thread;
  }
  CommandThread(const CommandThread&) = delete;
  CommandThread& operator=(const CommandThread&) = delete;
  ~CommandThread() {
    if (thread_.joinable()) {
      thread_.join();
    }
  }

  int done() const { return done_.get(); }

 private:
  explicit CommandThread(UniqueFd done) : done_(std::move(done)) {}

  UniqueFd done_;
  std::thread thread_;
};

}  // namespace

void DescriptorLineSource::runCommand(const std::function<void()>& command,
                                      const std::function<void()>& onFinishRequest) {
  bool requested = signals_.arrived();
  if (requested) {
    onFinishRequest();  // came before the command began: let it end at once
  }
  std::unique_ptr<CommandThread> thread = CommandThread::create(command);
  if (!thread) {
    // Out of descriptors or threads: the command still runs, here, and a
    // signal is seen once it has returned.
    command();
    return;
  }
  for (;;) {
    // Once the request was handled, only the command's end is waited for (the
    // signal descriptor, already read, would not tell anything more).
    pollfd fds[2] = {{thread->done(), POLLIN, 0}, {requested ? -1 : signals_.fd(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0 && errno != EINTR) {
      break;  // cannot wait: the destructor's join waits instead
    }
    if ((fds[0].revents & POLLIN) != 0) {
      break;
    }
    if (!requested && (fds[1].revents & POLLIN) != 0 && signals_.arrived()) {
      requested = true;
      onFinishRequest();
    }
  }
}

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
