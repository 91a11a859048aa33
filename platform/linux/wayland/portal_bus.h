#pragma once

#include <systemd/sd-bus.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/error.h"
#include "platform/linux/wayland/bus_handles.h"

namespace kestrano::wayland {

// One session-bus connection to xdg-desktop-portal, and the portal's
// request pattern on it: a call names a handle_token, and its answer comes
// later as a Request.Response signal on a path derived from that token.
//
// sd-bus's plain C API needs no event-loop thread: every wait here polls the
// bus's fd (as sd_bus_wait would, honouring sd_bus_get_events and
// sd_bus_get_timeout) together with the caller's cancel fd, up to a deadline.
// So each wait is bounded, and the one without a deadline (the user at the
// picker) still ends when the cancel fd becomes readable. Used by one thread
// at a time.
class PortalBus {
 public:
  using Clock = std::chrono::steady_clock;
  // How long the bus and the portal have to answer anything but the user's
  // choice at the picker.
  static constexpr std::chrono::seconds kAnswerBound{10};

  // Connects to the session bus ($DBUS_SESSION_BUS_ADDRESS, else
  // $XDG_RUNTIME_DIR/bus). cancelFd: readable means give up; -1 for none.
  static std::unique_ptr<PortalBus> open(int cancelFd, std::optional<Error>& error);

  // A method call on the portal's desktop object.
  MessagePtr newCall(const char* interface, const char* member, std::optional<Error>& error);
  // A token for handle_token or session_handle_token, unique in this process.
  std::string newToken();
  // The object path the portal gives a request or session made with `token`.
  std::string handlePath(std::string_view kind, std::string_view token) const;

  // Sends `call` and waits up to kAnswerBound for its reply.
  MessagePtr call(sd_bus_message* call, std::string_view method, std::optional<Error>& error);

  struct Response {
    std::uint32_t code = 0;  // 0 success, 1 cancelled by the user, 2 otherwise ended
    MessagePtr message;      // read up to its results, an a{sv}
  };
  // Subscribes to the Response on the request path `token` gives, sends
  // `call` (which carries that token), and waits for its reply and then the
  // Response: up to kAnswerBound each, or for the Response as long as it
  // takes when `waitsForUser` (only the cancel fd ends that wait).
  std::optional<Response> request(sd_bus_message* call, std::string_view method,
                                  std::string_view token, bool waitsForUser,
                                  std::optional<Error>& error);

  // Calls `handler(userdata)` for each `member` signal of `interface` on `path`.
  SlotPtr subscribe(const std::string& path, const char* interface, const char* member,
                    sd_bus_message_handler_t handler, void* userdata, std::optional<Error>& error);
  // Sends a call that expects no reply; it goes out at the latest when the
  // connection closes.
  void send(const std::string& path, const char* interface, const char* member);

  // Runs the handlers of whatever has arrived, without waiting. An error once
  // the connection is lost.
  std::optional<Error> dispatch();

 private:
  PortalBus(BusPtr bus, int cancelFd) : bus_(std::move(bus)), cancelFd_(cancelFd) {}
  // Processes the bus until `done` holds, the deadline (none: no bound)
  // passes, the cancel fd is readable or the connection breaks.
  std::optional<Error> waitFor(const std::function<bool()>& done,
                               std::optional<Clock::time_point> deadline, std::string_view what);

  BusPtr bus_;
  int cancelFd_;
  std::string sender_;  // the unique name as request paths spell it: ":1.42" is "1_42"
  unsigned tokens_ = 0;
};

}  // namespace kestrano::wayland
