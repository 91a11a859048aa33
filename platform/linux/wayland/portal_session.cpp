#include "platform/linux/wayland/portal_session.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string_view>

#include "platform/linux/wayland/portal_errors.h"

namespace kestrano::wayland {

namespace {

constexpr const char* kScreenCast = "org.freedesktop.portal.ScreenCast";
constexpr const char* kSession = "org.freedesktop.portal.Session";
constexpr std::uint32_t kMonitorSource = 1;
constexpr std::uint32_t kCursorEmbedded = 2;
constexpr std::uint32_t kPersistUntilRevoked = 2;

// Whether the message is at a variant that holds `signature`.
bool holds(sd_bus_message* m, const char* signature) {
  char type = 0;
  const char* contents = nullptr;
  return sd_bus_message_peek_type(m, &type, &contents) > 0 && type == 'v' && contents != nullptr &&
         std::strcmp(contents, signature) == 0;
}

// Reads the a{sv} the message is at: onEntry(key) either reads the value's
// variant and answers > 0, answers 0 to have it skipped, or fails (< 0).
int forEachEntry(sd_bus_message* m, const std::function<int(std::string_view)>& onEntry) {
  int r = sd_bus_message_enter_container(m, 'a', "{sv}");
  if (r <= 0) {
    return r < 0 ? r : -EBADMSG;
  }
  while ((r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
    const char* key = nullptr;
    if ((r = sd_bus_message_read(m, "s", &key)) < 0 || (r = onEntry(key)) < 0 ||
        (r == 0 && (r = sd_bus_message_skip(m, "v")) < 0) ||
        (r = sd_bus_message_exit_container(m)) < 0) {
      return r;
    }
  }
  return r < 0 ? r : sd_bus_message_exit_container(m);
}

// A string or object path value into `out`; 0 for a value of another type.
int readString(sd_bus_message* m, std::string& out) {
  const char* signature = holds(m, "s") ? "s" : holds(m, "o") ? "o" : nullptr;
  const char* value = nullptr;
  if (signature == nullptr) {
    return 0;
  }
  const int r = sd_bus_message_read(m, "v", signature, &value);
  if (r > 0) {
    out = value;
  }
  return r;
}

// ScreenCast.method([session], [parent window], options) with `token` as
// its handle_token and the options moreOptions appends.
MessagePtr requestCall(PortalBus& bus, const char* method, const std::string& session,
                       const std::string& token,
                       const std::function<int(sd_bus_message*)>& moreOptions,
                       std::optional<Error>& error) {
  MessagePtr call = bus.newCall(kScreenCast, method, error);
  if (!call) {
    return nullptr;
  }
  sd_bus_message* m = call.get();
  int r = session.empty() ? 0 : sd_bus_message_append(m, "o", session.c_str());
  if (r >= 0 && std::strcmp(method, "Start") == 0) {
    r = sd_bus_message_append(m, "s", "");  // no window of ours to put the picker over
  }
  if (r >= 0) {
    r = sd_bus_message_open_container(m, 'a', "{sv}");
  }
  if (r >= 0) {
    r = sd_bus_message_append(m, "{sv}", "handle_token", "s", token.c_str());
  }
  if (r >= 0 && moreOptions) {
    r = moreOptions(m);
  }
  if (r >= 0) {
    r = sd_bus_message_close_container(m);
  }
  if (r < 0) {
    error = callError(method, nullptr, r);
    return nullptr;
  }
  return call;
}

// Sends a request call and waits for its Response, which must be a success.
std::optional<PortalBus::Response> ask(PortalBus& bus, const char* method,
                                       const std::string& session,
                                       const std::function<int(sd_bus_message*)>& moreOptions,
                                       std::optional<Error>& error) {
  const std::string token = bus.newToken();
  MessagePtr call = requestCall(bus, method, session, token, moreOptions, error);
  const bool atPicker = std::strcmp(method, "Start") == 0;
  auto answer = call ? bus.request(call.get(), method, token, atPicker, error) : std::nullopt;
  if (!answer || answer->code == 0) {
    return answer;
  }
  const std::string code = std::to_string(answer->code);
  error =
      atPicker
          ? portalError(
                PortalErrorCode::refused,
                "the screen share was refused at the portal's picker (response " + code + ")")
          : portalError(PortalErrorCode::failed, "the portal ended " + std::string(method) +
                                                     " without success (response " + code + ")");
  return std::nullopt;
}

Error malformed(const char* method, int r) {
  return portalError(PortalErrorCode::failed, "the portal's answer to " + std::string(method) +
                                                  " is malformed: " + std::strerror(-r));
}

}  // namespace

std::unique_ptr<PortalSession> PortalSession::start(const RestoreTokenStore& tokens, int cancelFd,
                                                    std::optional<Error>& error) {
  auto bus = PortalBus::open(cancelFd, error);
  if (!bus) {
    return nullptr;
  }
  std::unique_ptr<PortalSession> session(new PortalSession(std::move(bus)));
  const std::string kept = tokens.load();
  error = session->run(kept);
  if (error && error->code == std::int64_t(PortalErrorCode::invalidArgument) && !kept.empty()) {
    // A stale or malformed token: ask the user instead, once.
    session->close();
    error = session->run("");
  }
  if (error) {
    return nullptr;
  }
  // The portal spends a token once used, so none given back clears the kept
  // one. Failing to keep it costs only a question at the next start.
  tokens.save(session->stream_.restoreToken);
  return session;
}

PortalSession::~PortalSession() {
  close();
}

std::optional<Error> PortalSession::checkOpen() {
  if (auto error = bus_->dispatch()) {
    return error;
  }
  if (closed_) {
    return portalError(PortalErrorCode::sessionClosed, "the portal ended the screen-cast session");
  }
  return std::nullopt;
}

int PortalSession::onClosed(sd_bus_message*, void* userdata, sd_bus_error*) {
  static_cast<PortalSession*>(userdata)->closed_ = true;
  return 0;
}

void PortalSession::close() {
  if (!sessionPath_.empty() && !closed_) {
    bus_->send(sessionPath_, kSession, "Close");
  }
  closedSlot_.reset();
  sessionPath_.clear();
  closed_ = false;
  stream_ = PortalStream();
}

std::optional<Error> PortalSession::run(const std::string& restoreToken) {
  std::optional<Error> error;
  const std::string sessionToken = bus_->newToken();
  const std::string predicted = bus_->handlePath("session", sessionToken);
  // Subscribed before the session exists, so that no Closed is missed.
  closedSlot_ = bus_->subscribe(predicted, kSession, "Closed", onClosed, this, error);
  if (error) {
    return error;
  }
  auto created = ask(
      *bus_, "CreateSession", "",
      [&](sd_bus_message* m) {
        return sd_bus_message_append(m, "{sv}", "session_handle_token", "s", sessionToken.c_str());
      },
      error);
  if (!created) {
    return error;
  }
  if (int r = forEachEntry(created->message.get(),
                           [&](std::string_view key) {
                             return key == "session_handle"
                                        ? readString(created->message.get(), sessionPath_)
                                        : 0;
                           });
      r < 0 || sessionPath_.empty()) {
    return malformed("CreateSession", r < 0 ? r : -EBADMSG);
  }
  if (sessionPath_ != predicted) {
    // A portal that ignored session_handle_token; a Closed before this is lost.
    closedSlot_ = bus_->subscribe(sessionPath_, kSession, "Closed", onClosed, this, error);
    if (error) {
      return error;
    }
  }

  const auto selected = ask(
      *bus_, "SelectSources", sessionPath_,
      [&](sd_bus_message* m) {
        int r = sd_bus_message_append(m, "{sv}{sv}{sv}{sv}", "types", "u", kMonitorSource,
                                      "multiple", "b", 0, "cursor_mode", "u", kCursorEmbedded,
                                      "persist_mode", "u", kPersistUntilRevoked);
        if (r >= 0 && !restoreToken.empty()) {
          r = sd_bus_message_append(m, "{sv}", "restore_token", "s", restoreToken.c_str());
        }
        return r;
      },
      error);
  if (!selected) {
    return error;
  }

  const auto started = ask(*bus_, "Start", sessionPath_, nullptr, error);
  if (!started) {
    return error;
  }
  if (auto failure = readStartResults(started->message.get())) {
    return failure;
  }

  MessagePtr call = bus_->newCall(kScreenCast, "OpenPipeWireRemote", error);
  if (!call) {
    return error;
  }
  if (int r = sd_bus_message_append(call.get(), "oa{sv}", sessionPath_.c_str(), 0); r < 0) {
    return callError("OpenPipeWireRemote", nullptr, r);
  }
  MessagePtr reply = bus_->call(call.get(), "OpenPipeWireRemote", error);
  if (!reply) {
    return error;
  }
  int fd = -1;
  if (int r = sd_bus_message_read(reply.get(), "h", &fd); r <= 0) {
    return malformed("OpenPipeWireRemote", r < 0 ? r : -EBADMSG);
  }
  // The message owns the descriptor it carries.
  stream_.pipeWireRemote.reset(::fcntl(fd, F_DUPFD_CLOEXEC, 3));
  if (stream_.pipeWireRemote.get() < 0) {
    return portalError(PortalErrorCode::outOfResources,
                       "cannot keep the PipeWire connection: " + std::string(std::strerror(errno)));
  }
  return std::nullopt;
}

std::optional<Error> PortalSession::readStartResults(sd_bus_message* m) {
  bool haveStream = false;
  // Each stream is (node id, properties); with multiple = false there is one.
  const auto readStreams = [&]() {
    int r = sd_bus_message_enter_container(m, 'v', "a(ua{sv})");
    if (r >= 0) {
      r = sd_bus_message_enter_container(m, 'a', "(ua{sv})");
    }
    while (r >= 0 && (r = sd_bus_message_enter_container(m, 'r', "ua{sv}")) > 0) {
      std::uint32_t node = 0;
      if ((r = sd_bus_message_read(m, "u", &node)) < 0) {
        return r;
      }
      if (haveStream) {
        r = sd_bus_message_skip(m, "a{sv}");
      } else {
        haveStream = true;
        stream_.nodeId = node;
        r = forEachEntry(m, [&](std::string_view key) {
          return key == "size" && holds(m, "(ii)")
                     ? sd_bus_message_read(m, "v", "(ii)", &stream_.width, &stream_.height)
                     : 0;
        });
      }
      if (r < 0 || (r = sd_bus_message_exit_container(m)) < 0) {
        return r;
      }
    }
    if (r >= 0) {
      r = sd_bus_message_exit_container(m);
    }
    return r < 0 ? r : sd_bus_message_exit_container(m);
  };
  const int r = forEachEntry(m, [&](std::string_view key) {
    if (key == "restore_token") {
      return readString(m, stream_.restoreToken);
    }
    return key == "streams" && holds(m, "a(ua{sv})") ? readStreams() : 0;
  });
  if (r < 0) {
    return malformed("Start", r);
  }
  if (!haveStream) {
    return portalError(PortalErrorCode::failed, "the portal started no stream");
  }
  return std::nullopt;
}

}  // namespace kestrano::wayland
