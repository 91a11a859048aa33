#include "platform/linux/x11/x_authority.h"

#include <X11/X.h>
#include <X11/Xauth.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <memory>

namespace kestrano::x11 {
namespace {

struct AuthDisposer {
  void operator()(Xauth* a) const { XauDisposeAuth(a); }
};

// Only the cookie: XDM-AUTHORIZATION-1 would need DES, which nothing here has.
char kCookieName[] = "MIT-MAGIC-COOKIE-1";

}  // namespace

Mutex& authorityLock() {
  static Mutex lock;
  return lock;
}

std::optional<XAuthorization> findAuthorization(int socket, int display) {
  sockaddr_storage peer{};
  socklen_t length = sizeof(peer);
  if (::getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &length) != 0) {
    return std::nullopt;
  }
  // The server's address as the authority file records it: the local host's
  // name for local sockets and the loopback, else the peer's address.
  unsigned family = FamilyLocal;
  const char* address = nullptr;
  unsigned addressLength = 0;
  if (peer.ss_family == AF_INET6) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&peer);
    if (IN6_IS_ADDR_V4MAPPED(&in6->sin6_addr)) {
      address = reinterpret_cast<const char*>(&in6->sin6_addr.s6_addr[12]);
      addressLength = 4;
      std::uint32_t v4 = 0;
      std::memcpy(&v4, address, 4);
      if (v4 != htonl(INADDR_LOOPBACK)) {
        family = FamilyInternet;
      }
    } else if (!IN6_IS_ADDR_LOOPBACK(&in6->sin6_addr)) {
      family = FamilyInternet6;
      address = reinterpret_cast<const char*>(&in6->sin6_addr);
      addressLength = sizeof(in6->sin6_addr);
    }
  } else if (peer.ss_family == AF_INET) {
    const auto* in4 = reinterpret_cast<const sockaddr_in*>(&peer);
    if (in4->sin_addr.s_addr != htonl(INADDR_LOOPBACK)) {
      family = FamilyInternet;
      address = reinterpret_cast<const char*>(&in4->sin_addr);
      addressLength = sizeof(in4->sin_addr);
    }
  } else if (peer.ss_family != AF_UNIX) {
    return std::nullopt;
  }
  std::array<char, 256> host{};
  if (family == FamilyLocal) {
    if (::gethostname(host.data(), host.size() - 1) != 0) {
      return std::nullopt;
    }
    address = host.data();
    addressLength = static_cast<unsigned>(std::strlen(host.data()));
  }
  std::string number = std::to_string(display);
  char* names[] = {kCookieName};
  int nameLengths[] = {static_cast<int>(sizeof(kCookieName) - 1)};
  std::unique_ptr<Xauth, AuthDisposer> entry;
  {
    MutexLock lock(authorityLock());
    entry.reset(XauGetBestAuthByAddr(
        static_cast<unsigned short>(family), static_cast<unsigned short>(addressLength), address,
        static_cast<unsigned short>(number.size()), number.c_str(), 1, names, nameLengths));
  }
  if (!entry) {
    return std::nullopt;
  }
  return XAuthorization{std::string(entry->name, entry->name_length),
                        std::string(entry->data, entry->data_length)};
}

}  // namespace kestrano::x11
