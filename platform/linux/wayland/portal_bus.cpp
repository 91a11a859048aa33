#include "platform/linux/wayland/portal_bus.h"

#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/linux/wayland/portal_errors.h"

namespace kestrano::wayland {

namespace {

constexpr const char* kPortalName = "org.freedesktop.portal.Desktop";
constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";

std::string sessionBusAddress() {
  if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS"); address && *address) {
    return address;
  }
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) {
    return std::string("unix:path=") + runtime + "/bus";
  }
  return {};
}

// Keeps a reference to the message it is handed: the reply to a call or the
// matched signal. Nothing here can throw, so nothing escapes into sd-bus.
int keepMessage(sd_bus_message* message, void* userdata, sd_bus_error*) {
  static_cast<MessagePtr*>(userdata)->reset(sd_bus_message_ref(message));
  return 0;
}

std::uint64_t monotonicMicroseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return std::uint64_t(now.tv_sec) * 1000000 + std::uint64_t(now.tv_nsec) / 1000;
}

Error brokenBus(int result, std::string_view what) {
  return portalError(PortalErrorCode::failed, "the session bus connection broke while " +
                                                  std::string(what) + ": " +
                                                  std::strerror(-result));
}

}  // namespace

std::unique_ptr<PortalBus> PortalBus::open(int cancelFd, std::optional<Error>& error) {
  const std::string address = sessionBusAddress();
  if (address.empty()) {
    error =
        portalError(PortalErrorCode::noPortal,
                    "no session bus: neither DBUS_SESSION_BUS_ADDRESS nor XDG_RUNTIME_DIR is set");
    return nullptr;
  }
  sd_bus* raw = nullptr;
  if (int r = sd_bus_new(&raw); r < 0) {
    error = portalError(PortalErrorCode::outOfResources,
                        std::string("cannot make a bus connection: ") + std::strerror(-r));
    return nullptr;
  }
  BusPtr bus(raw);
  int r = sd_bus_set_address(bus.get(), address.c_str());
  if (r >= 0) {
    r = sd_bus_set_bus_client(bus.get(), 1);
  }
  if (r >= 0) {
    // Bounds the authentication and Hello that sd-bus runs on its own.
    r = sd_bus_set_method_call_timeout(
        bus.get(), std::chrono::duration_cast<std::chrono::microseconds>(kAnswerBound).count());
  }
  if (r >= 0) {
    r = sd_bus_start(bus.get());
  }
  if (r < 0) {
    error = portalError(PortalErrorCode::noPortal, "cannot connect to the session bus at " +
                                                       address + ": " + std::strerror(-r));
    return nullptr;
  }
  std::unique_ptr<PortalBus> portal(new PortalBus(std::move(bus), cancelFd));
  sd_bus* b = portal->bus_.get();
  error = portal->waitFor([b] { return sd_bus_is_ready(b) > 0; }, Clock::now() + kAnswerBound,
                          "connecting to the session bus");
  const char* unique = nullptr;
  if (!error && sd_bus_get_unique_name(b, &unique) < 0) {
    error = portalError(PortalErrorCode::failed, "the session bus gave no unique name");
  }
  if (error) {
    return nullptr;
  }
  portal->sender_ = unique[0] == ':' ? unique + 1 : unique;
  std::replace(portal->sender_.begin(), portal->sender_.end(), '.', '_');
  return portal;
}

MessagePtr PortalBus::newCall(const char* interface, const char* member,
                              std::optional<Error>& error) {
  sd_bus_message* raw = nullptr;
  if (int r = sd_bus_message_new_method_call(bus_.get(), &raw, kPortalName, kPortalPath, interface,
                                             member);
      r < 0) {
    error = portalError(PortalErrorCode::outOfResources,
                        std::string("cannot make a call: ") + std::strerror(-r));
  }
  return MessagePtr(raw);
}

std::string PortalBus::newToken() {
  // The pid tells apart two recorders on one connection's name space only in
  // logs; uniqueness comes from the counter on this connection.
  return "kestrano_" + std::to_string(::getpid()) + "_" + std::to_string(++tokens_);
}

std::string PortalBus::handlePath(std::string_view kind, std::string_view token) const {
  return std::string(kPortalPath) + "/" + std::string(kind) + "/" + sender_ + "/" +
         std::string(token);
}

MessagePtr PortalBus::call(sd_bus_message* call, std::string_view method,
                           std::optional<Error>& error) {
  MessagePtr reply;
  sd_bus_slot* raw = nullptr;
  if (int r = sd_bus_call_async(bus_.get(), &raw, call, keepMessage, &reply, 0); r < 0) {
    error = callError(method, nullptr, r);
    return nullptr;
  }
  SlotPtr pending(raw);
  error = waitFor([&reply] { return reply != nullptr; }, Clock::now() + kAnswerBound,
                  "waiting for the portal's " + std::string(method));
  if (error) {
    return nullptr;
  }
  if (sd_bus_message_is_method_error(reply.get(), nullptr)) {
    error = callError(method, sd_bus_message_get_error(reply.get()), -EIO);
    return nullptr;
  }
  return reply;
}

std::optional<PortalBus::Response> PortalBus::request(sd_bus_message* call, std::string_view method,
                                                      std::string_view token, bool waitsForUser,
                                                      std::optional<Error>& error) {
  // Subscribed before the call goes out, so the Response cannot slip past:
  // the bus handles our AddMatch before the call.
  MessagePtr response;
  sd_bus_slot* raw = nullptr;
  const std::string path = handlePath("request", token);
  if (int r = sd_bus_match_signal_async(bus_.get(), &raw, nullptr, path.c_str(),
                                        "org.freedesktop.portal.Request", "Response", keepMessage,
                                        nullptr, &response);
      r < 0) {
    error = callError(method, nullptr, r);
    return std::nullopt;
  }
  SlotPtr match(raw);
  if (!this->call(call, method, error)) {
    return std::nullopt;
  }
  const auto deadline =
      waitsForUser ? std::nullopt : std::optional<Clock::time_point>(Clock::now() + kAnswerBound);
  error = waitFor([&response] { return response != nullptr; }, deadline,
                  "waiting for the answer to " + std::string(method));
  if (error) {
    return std::nullopt;
  }
  Response answer{0, std::move(response)};
  if (int r = sd_bus_message_read(answer.message.get(), "u", &answer.code); r < 0) {
    error = portalError(PortalErrorCode::failed, "the portal's answer to " + std::string(method) +
                                                     " is malformed: " + std::strerror(-r));
    return std::nullopt;
  }
  return answer;
}

SlotPtr PortalBus::subscribe(const std::string& path, const char* interface, const char* member,
                             sd_bus_message_handler_t handler, void* userdata,
                             std::optional<Error>& error) {
  sd_bus_slot* raw = nullptr;
  if (int r = sd_bus_match_signal_async(bus_.get(), &raw, nullptr, path.c_str(), interface, member,
                                        handler, nullptr, userdata);
      r < 0) {
    error = callError(member, nullptr, r);
  }
  return SlotPtr(raw);
}

void PortalBus::send(const std::string& path, const char* interface, const char* member) {
  // Without a handler sd-bus marks the call as expecting no reply. A failure
  // leaves nothing to undo: the portal ends a client's sessions when its
  // connection closes.
  sd_bus_call_method_async(bus_.get(), nullptr, kPortalName, path.c_str(), interface, member,
                           nullptr, nullptr, "");
}

std::optional<Error> PortalBus::dispatch() {
  for (;;) {
    int r = sd_bus_process(bus_.get(), nullptr);
    if (r < 0) {
      return brokenBus(r, "watching the screen-cast session");
    }
    if (r == 0) {
      return std::nullopt;
    }
  }
}

std::optional<Error> PortalBus::waitFor(const std::function<bool()>& done,
                                        std::optional<Clock::time_point> deadline,
                                        std::string_view what) {
  for (;;) {
    int r = sd_bus_process(bus_.get(), nullptr);
    if (r < 0) {
      return brokenBus(r, what);
    }
    if (done()) {
      return std::nullopt;
    }
    if (r > 0) {
      continue;  // more may be queued already
    }
    int timeoutMs = -1;
    if (deadline) {
      const auto left = *deadline - Clock::now();
      if (left <= Clock::duration::zero()) {
        return portalError(PortalErrorCode::timedOut, "gave up " + std::string(what) + " after " +
                                                          std::to_string(kAnswerBound.count()) +
                                                          " s");
      }
      timeoutMs = int(std::chrono::ceil<std::chrono::milliseconds>(left).count());
    }
    // sd-bus's own timers (its pending calls' timeouts) as an absolute
    // CLOCK_MONOTONIC time.
    std::uint64_t busTimeout = 0;
    if (sd_bus_get_timeout(bus_.get(), &busTimeout) >= 0 && busTimeout != UINT64_MAX) {
      const std::uint64_t now = monotonicMicroseconds();
      const int busMs = busTimeout > now ? int((busTimeout - now + 999) / 1000) : 0;
      timeoutMs = timeoutMs < 0 ? busMs : std::min(timeoutMs, busMs);
    }
    const int busEvents = sd_bus_get_events(bus_.get());
    if (busEvents < 0) {
      return brokenBus(busEvents, what);
    }
    pollfd fds[2] = {{sd_bus_get_fd(bus_.get()), short(busEvents), 0}, {cancelFd_, POLLIN, 0}};
    const nfds_t count = cancelFd_ >= 0 ? 2 : 1;
    if (::poll(fds, count, timeoutMs) < 0 && errno != EINTR) {
      return portalError(PortalErrorCode::failed,
                         "cannot wait for the session bus: " + std::string(std::strerror(errno)));
    }
    if (count == 2 && fds[1].revents != 0) {
      return portalError(PortalErrorCode::cancelled,
                         "the screen-cast request was cancelled while " + std::string(what));
    }
  }
}

}  // namespace kestrano::wayland
