#pragma once

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <string>

#include "platform/unique_fd.h"
#include "tests/wayland/wayland_desktop.h"

namespace kestrano::wayland {

// Runs `body` in a child process as the desktop's user, in the desktop's
// environment only, with the state folder in the desktop's home.
class UserProcess {
 public:
  UserProcess(const WaylandDesktop& desktop, const std::function<void(FILE*)>& body) {
    int fds[2];
    const passwd* user = ::getpwnam(desktop["KESTRANO_WAYLAND_USER"].c_str());
    if (user == nullptr || ::pipe2(fds, O_CLOEXEC) != 0) {
      throw std::runtime_error("no desktop user or no pipe");
    }
    const uid_t uid = user->pw_uid;
    const gid_t gid = user->pw_gid;
    pid_t pid = ::fork();
    if (pid == 0) {
      ::close(fds[0]);
      // Dropping root makes the process undumpable, which would hide its
      // /proc entries from the frontend; it must see them to let it in.
      if (::getuid() == 0 && (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 ||
                              ::setuid(uid) != 0 || ::prctl(PR_SET_DUMPABLE, 1) != 0)) {
        ::_exit(2);
      }
      ::clearenv();
      const std::string home = desktop.dir() + "/home";
      ::setenv("HOME", home.c_str(), 1);
      ::setenv("XDG_STATE_HOME", (home + "/state").c_str(), 1);
      for (const char* name : {"XDG_RUNTIME_DIR", "DBUS_SESSION_BUS_ADDRESS"}) {
        ::setenv(name, desktop[name].c_str(), 1);
      }
      FILE* out = ::fdopen(fds[1], "w");
      try {
        body(out);
      } catch (...) {
        std::fputs("exception\n", out);
      }
      std::fflush(out);
      ::_exit(0);
    }
    ::close(fds[1]);
    pid_ = pid;
    out_.reset(fds[0]);
  }
  ~UserProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  // The next line the child wrote, waiting at most 60 s; empty at its end.
  std::string readLine() {
    std::string line;
    char c = 0;
    pollfd p{out_.get(), POLLIN, 0};
    while (::poll(&p, 1, 60000) == 1 && ::read(out_.get(), &c, 1) == 1 && c != '\n') {
      line += c;
    }
    return line;
  }

 private:
  pid_t pid_ = -1;
  UniqueFd out_;
};

}  // namespace kestrano::wayland
