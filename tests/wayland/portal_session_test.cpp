// The portal session against the real xdg-desktop-portal frontend and its
// test ScreenCast backend on a private Wayland desktop: what a host does not
// see through the binary (the kept token's file, a malformed token, the
// missing interface, the session closed under a stream). A refused or
// abandoned picker and a missing portal are rows of the binary's Wayland
// table. The frontend refuses
// root clients, so each case runs in a child process as the desktop's user
// and reports one line per outcome through a pipe.
#include "platform/linux/wayland/portal_session.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "platform/unique_fd.h"
#include "tests/wayland/user_process.h"
#include "tests/wayland/wayland_desktop.h"

namespace kestrano::wayland {
namespace {

// One line for what a start gave: "stream WxH" with whatever is missing
// named after it, or "error CODE: DESCRIPTION".
std::string outcome(PortalSession* session, const std::optional<Error>& error,
                    const RestoreTokenStore& tokens) {
  if (session == nullptr) {
    return error ? "error " + std::to_string(error->code) + ": " + error->description : "nothing";
  }
  auto& s = session->stream();
  struct stat token {
  }, remote{};
  std::string line = "stream " + std::to_string(s.width) + "x" + std::to_string(s.height);
  if (s.nodeId == 0) {
    line += " no-node";
  }
  if (s.restoreToken.empty() || tokens.load() != s.restoreToken ||
      ::stat(tokens.file().c_str(), &token) != 0 || (token.st_mode & 0777) != 0600) {
    line += " token-not-kept";
  }
  pollfd p{s.pipeWireRemote.get(), POLLOUT, 0};
  if (::fstat(p.fd, &remote) != 0 || !S_ISSOCK(remote.st_mode) || ::poll(&p, 1, 0) != 1 ||
      p.revents != POLLOUT) {
    line += " no-remote";
  }
  return line;
}

TEST(PortalSession, StartsAsThePortalAndItsUserDecide) {
  struct Row {
    const char* name;
    const char* portalMode = "pick";  // "": no portal on the bus
    const char* keptToken = "";       // in the store before the first start
    int starts = 1;
    bool killMutter = false;         // after the first start, then watch the session
    std::vector<std::string> lines;  // each the beginning of what is expected
    const char* portalLog = "";
  };
  const Row rows[] = {
      {.name = "pick, then restore with the kept token",
       .starts = 2,
       .lines = {"stream 640x360", "stream 640x360"},
       .portalLog = "pick Meta-0\nrestore Meta-0\n"},
      {.name = "a malformed kept token is dropped",
       .keptToken = "not-a-token",
       .lines = {"stream 640x360"},
       .portalLog = "pick Meta-0\n"},
      {.name = "no ScreenCast interface", .portalMode = "no-screencast", .lines = {"error 2: "}},
      {.name = "the compositor dies",
       .killMutter = true,
       .lines = {"stream 640x360", "closed 8"},
       .portalLog = "pick Meta-0\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    WaylandDesktop desktop(row.portalMode);
    ASSERT_NE(desktop.dir(), "");
    UserProcess child(desktop, [&row](FILE* out) {
      const auto tokens = RestoreTokenStore::forEnvironment();
      tokens.save(row.keptToken);
      UniqueFd cancel(::eventfd(0, EFD_CLOEXEC));
      for (int i = 0; i < row.starts; ++i) {
        std::optional<Error> error;
        auto session = PortalSession::start(tokens, cancel.get(), error);
        std::fprintf(out, "%s\n", outcome(session.get(), error, tokens).c_str());
        std::fflush(out);
        for (int wait = 0; row.killMutter && wait < 400 && !error; ++wait) {
          std::this_thread::sleep_for(std::chrono::milliseconds(50));
          if ((error = session->checkOpen())) {
            std::fprintf(out, "closed %lld\n", static_cast<long long>(error->code));
          }
        }
      }
    });
    for (const auto& expected : row.lines) {
      const std::string line = child.readLine();
      EXPECT_EQ(line.substr(0, expected.size()), expected) << line;
      EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos);
      if (row.killMutter && expected.starts_with("stream")) {
        desktop.kill("mutter");
      }
    }
    EXPECT_EQ(desktop.file("portal.log"), row.portalLog);
  }
}

}  // namespace
}  // namespace kestrano::wayland
