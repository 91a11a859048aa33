#include "tests/x11/silent_x_server.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <stdexcept>

namespace kestrano::testing {
namespace {

// An abstract X socket's address, "\0/tmp/.X11-unix/X<n>".
socklen_t abstractAddress(int display, sockaddr_un& to) {
  to = sockaddr_un{};
  to.sun_family = AF_UNIX;
  std::string name = "/tmp/.X11-unix/X" + std::to_string(display);
  std::memcpy(to.sun_path + 1, name.data(), name.size());
  return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
}

void readExactly(int fd, char* into, std::size_t size) {
  for (std::size_t got = 0; got < size;) {
    ssize_t n = ::read(fd, into + got, size - got);
    if (n <= 0) {
      throw std::runtime_error("the connection ended early");
    }
    got += static_cast<std::size_t>(n);
  }
}

// The setup reply the real server sends a little-endian client without
// authorisation (the private Xvfb asks for none).
std::string recordSetupReply(const std::string& display) {
  sockaddr_un to;
  socklen_t length = abstractAddress(std::atoi(display.c_str() + 1), to);
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&to), length) != 0) {
    throw std::runtime_error("cannot reach the real X server " + display);
  }
  const char request[12] = {'l', 0, 11, 0, 0, 0, 0, 0, 0, 0, 0, 0};  // protocol 11.0
  if (::write(fd.get(), request, sizeof(request)) != static_cast<ssize_t>(sizeof(request))) {
    throw std::runtime_error("cannot ask the real X server for its setup");
  }
  std::string reply(8, '\0');
  readExactly(fd.get(), reply.data(), 8);
  // Bytes 6-7: the length of the rest in 4-byte units.
  std::size_t rest = 4 * (static_cast<unsigned char>(reply[6]) |
                          static_cast<std::size_t>(static_cast<unsigned char>(reply[7])) << 8);
  reply.resize(8 + rest);
  readExactly(fd.get(), reply.data() + 8, rest);
  if (reply[0] != 1) {
    throw std::runtime_error("the real X server refused the connection");
  }
  return reply;
}

}  // namespace

SilentXServer::SilentXServer() {
  const char* real = std::getenv("DISPLAY");
  realDisplay_ = real != nullptr ? real : "";
  setupReply_ = recordSetupReply(realDisplay_);
  listener_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  // A display number no real server here takes; abstract names vanish with
  // the socket, so nothing is left behind.
  for (int n = 700; n < 800 && display_.empty(); ++n) {
    sockaddr_un at;
    socklen_t length = abstractAddress(n, at);
    if (::bind(listener_.get(), reinterpret_cast<sockaddr*>(&at), length) == 0) {
      display_ = ":" + std::to_string(n);
    }
  }
  int stop[2];
  if (display_.empty() || ::listen(listener_.get(), 16) != 0 || ::pipe2(stop, O_CLOEXEC) != 0) {
    throw std::runtime_error("the silent X server cannot listen");
  }
  stopRead_.reset(stop[0]);
  stopWrite_.reset(stop[1]);
  thread_ = std::thread([this] { serve(); });
  ::setenv("DISPLAY", display_.c_str(), 1);
}

SilentXServer::~SilentXServer() {
  ::setenv("DISPLAY", realDisplay_.c_str(), 1);
  stopWrite_.reset();  // the reader sees the end
  thread_.join();
}

void SilentXServer::serve() {
  for (;;) {
    pollfd waits[2] = {{listener_.get(), POLLIN, 0}, {stopRead_.get(), POLLIN, 0}};
    if (::poll(waits, 2, -1) < 0 || waits[1].revents != 0) {
      return;
    }
    UniqueFd client(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (client.get() < 0) {
      continue;
    }
    // As a server does, the reply follows the client's setup request: 12
    // bytes, then the authorisation's name and data, each padded to 4.
    try {
      std::string request(12, '\0');
      readExactly(client.get(), request.data(), request.size());
      auto padded = [&](std::size_t at) {
        std::size_t n = static_cast<unsigned char>(request[at]) |
                        static_cast<std::size_t>(static_cast<unsigned char>(request[at + 1])) << 8;
        return (n + 3) / 4 * 4;
      };
      std::string auth(padded(6) + padded(8), '\0');
      readExactly(client.get(), auth.data(), auth.size());
    } catch (const std::runtime_error&) {
      continue;
    }
    if (::write(client.get(), setupReply_.data(), setupReply_.size()) ==
        static_cast<ssize_t>(setupReply_.size())) {
      clients_.push_back(std::move(client));
    }
  }
}

}  // namespace kestrano::testing
