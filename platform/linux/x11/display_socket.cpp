#include "platform/linux/x11/display_socket.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <xcb/xcb.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

namespace kestrano::x11 {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kTcpPortBase = 6000;
// While a local server's queue of unaccepted connections is full, how often
// to knock again.
constexpr std::chrono::milliseconds kRetryInterval{10};

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
struct AddrInfoDeleter {
  void operator()(addrinfo* a) const { freeaddrinfo(a); }
};

// Milliseconds left until `deadline` for poll(), at least 0.
int millisecondsLeft(Clock::time_point deadline) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 1 << 30));
}

// One socket connected to `to`, or -1 with errno set. Never blocks past
// `deadline`: the socket is non-blocking, as xcb wants it anyway.
UniqueFd connectBounded(const sockaddr* to, socklen_t length, Clock::time_point deadline,
                        bool& timedOut) {
  UniqueFd fd(::socket(to->sa_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (fd.get() < 0) {
    return fd;
  }
  if (to->sa_family != AF_UNIX) {
    int on = 1;  // as xcb sets them
    ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    ::setsockopt(fd.get(), SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on));
  }
  for (;;) {
    if (::connect(fd.get(), to, length) == 0) {
      return fd;
    }
    if (errno == EINPROGRESS || errno == EINTR) {
      break;  // TCP: the handshake goes on; wait below
    }
    // A local server that does not accept connections fills its queue.
    if (errno != EAGAIN || Clock::now() >= deadline) {
      timedOut = errno == EAGAIN;
      int saved = errno;
      fd.reset();
      errno = saved;
      return fd;
    }
    std::this_thread::sleep_for(kRetryInterval);
  }
  pollfd p{fd.get(), POLLOUT, 0};
  for (;;) {
    int ready = ::poll(&p, 1, millisecondsLeft(deadline));
    if (ready > 0) {
      break;
    }
    if (ready == 0 || errno != EINTR) {
      timedOut = ready == 0;
      fd.reset();
      errno = ETIMEDOUT;
      return fd;
    }
  }
  int failure = 0;
  socklen_t size = sizeof(failure);
  if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &failure, &size) != 0 || failure != 0) {
    fd.reset();
    errno = failure != 0 ? failure : errno;
  }
  return fd;
}

UniqueFd connectUnix(const std::string& path, bool abstract, Clock::time_point deadline,
                     bool& timedOut) {
  sockaddr_un to{};
  to.sun_family = AF_UNIX;
  std::size_t offset = abstract ? 1 : 0;  // an abstract name begins with a NUL
  if (path.size() + offset + 1 > sizeof(to.sun_path)) {
    errno = ENAMETOOLONG;
    return UniqueFd();
  }
  std::memcpy(to.sun_path + offset, path.c_str(), path.size() + 1);
  auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + path.size() +
                                       (abstract ? 0 : 1));
  return connectBounded(reinterpret_cast<const sockaddr*>(&to), length, deadline, timedOut);
}

UniqueFd connectTcp(std::string host, int port, Clock::time_point deadline, bool& timedOut) {
  addrinfo hints{};
  hints.ai_flags = AI_NUMERICSERV;
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  if (host.empty()) {
    host = "localhost";
  } else if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);  // a bracketed IPv6 address
    hints.ai_flags |= AI_NUMERICHOST;
    hints.ai_family = AF_INET6;
  }
  addrinfo* found = nullptr;
  // Bounded by the resolver's own time-outs, not by `deadline`.
  if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) {
    return UniqueFd();
  }
  std::unique_ptr<addrinfo, AddrInfoDeleter> results(found);
  for (const addrinfo* a = found; a != nullptr && !timedOut; a = a->ai_next) {
    if (UniqueFd fd = connectBounded(a->ai_addr, a->ai_addrlen, deadline, timedOut);
        fd.get() >= 0) {
      return fd;
    }
  }
  return UniqueFd();
}

}  // namespace

bool parseDisplayName(const char* name, DisplayAddress& address) {
  if (name == nullptr || *name == '\0') {
    name = std::getenv("DISPLAY");
  }
  char* host = nullptr;
  if (name == nullptr || xcb_parse_display(name, &host, &address.display, &address.screen) == 0) {
    return false;
  }
  std::unique_ptr<char, FreeDeleter> owned(host);
  address.host = host;
  std::string text(name);
  // Newer xcb reads "/path" and "unix:/path" as the server socket's path.
  address.path = address.host.rfind('/', 0) == 0;
  auto slash = text.rfind('/');
  address.protocol = address.path                 ? "unix"
                     : slash == std::string::npos ? ""
                                                  : text.substr(0, slash);
  return true;
}

UniqueFd connectToDisplay(const DisplayAddress& address, Clock::time_point deadline,
                          bool& timedOut) {
  timedOut = false;
  const std::string& protocol = address.protocol;
  if (address.path) {
    return connectUnix(address.host, false, deadline, timedOut);
  }
  bool local = protocol == "unix" || address.host.empty() || address.host == "unix";
  if (!local) {
    if (protocol.empty() || protocol == "tcp" || protocol == "inet" || protocol == "inet6") {
      return connectTcp(address.host, kTcpPortBase + address.display, deadline, timedOut);
    }
    return UniqueFd();
  }
  std::string file = "/tmp/.X11-unix/X" + std::to_string(address.display);
  UniqueFd fd = connectUnix(file, true, deadline, timedOut);
  if (fd.get() >= 0 || timedOut || (errno != ENOENT && errno != ECONNREFUSED)) {
    return fd;
  }
  fd = connectUnix(file, false, deadline, timedOut);
  if (fd.get() >= 0 || timedOut || !protocol.empty() || !address.host.empty()) {
    return fd;
  }
  return connectTcp("", kTcpPortBase + address.display, deadline, timedOut);
}

}  // namespace kestrano::x11
