#include "platform/linux/x11/x_connection.h"

#include <unistd.h>

#include "platform/linux/capture/capture_errors.h"
#include "platform/linux/x11/display_socket.h"
#include "platform/linux/x11/x_authority.h"

namespace kestrano::x11 {
namespace {

// How long the X server has to answer while a connection is made and used to
// list the displays or to start a stream: the connect, its setup reply and
// every reply asked for before capture runs. A local server answers within
// milliseconds, a remote or heavily loaded one within a second or so; one
// that has said nothing for 5 s has stalled, and the host waiting on "start"
// should hear so while it still waits.
constexpr std::chrono::seconds kAnswerBound{5};

}  // namespace

xcb_connection_t* connectToDefaultDisplay(int* screen) {
  MutexLock lock(authorityLock());
  return xcb_connect(nullptr, screen);
}

std::string defaultDisplayName() {
  char* host = nullptr;
  int display = 0;
  int screen = 0;
  if (xcb_parse_display(nullptr, &host, &display, &screen) == 0) {
    return {};
  }
  XcbPtr<char> ownedHost(host);
  std::string name = std::string(host != nullptr ? host : "") + ":" + std::to_string(display);
  if (screen != 0) {
    name += '.';  // appended apart: gcc 12 at -O3 warns falsely of "." + a temporary
    name += std::to_string(screen);
  }
  return name;
}

std::unique_ptr<XConnection> XConnection::create(std::optional<Error>& error) {
  std::string name = defaultDisplayName();
  DisplayAddress address;
  if (name.empty() || !parseDisplayName(nullptr, address)) {
    error = captureError(CaptureErrorCode::cannotConnect,
                         "no X display is named (DISPLAY is unset or malformed)");
    return nullptr;
  }
  auto unreachable = [&] {
    return captureError(CaptureErrorCode::cannotConnect,
                        "the X server " + name + " cannot be reached");
  };
  const auto deadline = SocketWatchdog::Clock::now() + kAnswerBound;
  bool timedOut = false;
  UniqueFd socket = connectToDisplay(address, deadline, timedOut);
  if (socket.get() < 0) {
    error = timedOut ? silentError(name) : unreachable();
    return nullptr;
  }
  // xcb_connect_to_fd blocks until the server's setup reply has come: the
  // watchdog cuts the socket if it has not by the deadline.
  std::unique_ptr<SocketWatchdog> watchdog =
      SocketWatchdog::start(UniqueFd(::dup(socket.get())), deadline);
  if (!watchdog) {
    error = captureError(CaptureErrorCode::threadStartFailed,
                         "no thread is left to bound the wait for the X server " + name);
    return nullptr;
  }
  std::optional<XAuthorization> auth = findAuthorization(socket.get(), address.display);
  xcb_auth_info_t info{};
  if (auth) {
    info.namelen = static_cast<int>(auth->name.size());
    info.name = auth->name.data();
    info.datalen = static_cast<int>(auth->data.size());
    info.data = auth->data.data();
  }
  // Takes the socket, even when it fails.
  xcb_connection_t* c = xcb_connect_to_fd(socket.release(), auth ? &info : nullptr);
  std::unique_ptr<XConnection> x(new XConnection(c, name, std::move(watchdog)));
  if (xcb_connection_has_error(c) != 0) {
    error = x->watchdog_->cut() ? silentError(name) : unreachable();
    return nullptr;
  }
  xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c));
  for (int i = 0; i < address.screen && it.rem > 0; ++i) {
    xcb_screen_next(&it);
  }
  if (it.rem == 0) {
    error = captureError(
        CaptureErrorCode::cannotConnect,
        "the X server " + x->displayName_ + " has no screen " + std::to_string(address.screen));
    return nullptr;
  }
  x->screen_ = it.data;
  return x;
}

XConnection::~XConnection() {
  watchdog_.reset();  // joined before the connection it watches goes
  xcb_disconnect(connection_);
}

std::optional<Error> XConnection::endStartup() {
  if (watchdog_) {
    silenced_ = watchdog_->finish();
    watchdog_.reset();
  }
  if (silenced_) {
    return silentError(displayName_);
  }
  return std::nullopt;
}

bool XConnection::silenced() const {
  return silenced_ || (watchdog_ && watchdog_->cut());
}

Error XConnection::lostError() const {
  if (silenced()) {
    return silentError(displayName_);
  }
  return captureError(CaptureErrorCode::connectionLost,
                      "the connection to the X server " + displayName_ + " was lost");
}

Error XConnection::silentError(const std::string& displayName) {
  return captureError(CaptureErrorCode::notAnswering,
                      "the X server " + displayName + " did not answer within " +
                          std::to_string(kAnswerBound.count()) + " s");
}

}  // namespace kestrano::x11
