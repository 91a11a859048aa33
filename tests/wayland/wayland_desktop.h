#pragma once

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>

namespace kestrano::wayland {

// A desktop from scripts/wayland-desktop.sh at its cheapest size, stopped
// (only what it started) on destruction.
class WaylandDesktop {
 public:
  // `options`: more of the script's start options, e.g. " --client". Its
  // sound server runs only when `sound`.
  explicit WaylandDesktop(const std::string& portalMode, const std::string& options = "",
                          bool sound = false) {
    const std::string command = script() + " start --size 640x360 --refresh 15" +
                                (sound ? "" : " --no-pulse") +
                                (portalMode.empty() ? "" : " --portal=" + portalMode) + options +
                                " --owner " + std::to_string(::getpid());
    std::unique_ptr<FILE, int (*)(FILE*)> out(::popen(command.c_str(), "r"), ::pclose);
    char line[4096];
    while (out && std::fgets(line, sizeof line, out.get()) != nullptr) {
      std::string assignment(line);
      const auto eq = assignment.find('=');
      env_[assignment.substr(0, eq)] = assignment.substr(eq + 1, assignment.size() - eq - 2);
    }
  }
  ~WaylandDesktop() {
    if (!dir().empty()) {
      std::system((script() + " stop " + dir()).c_str());
    }
  }
  std::string operator[](const std::string& name) const {
    auto it = env_.find(name);
    return it == env_.end() ? "" : it->second;
  }
  // Kills one of its services (a name scripts/wayland-desktop.sh gives).
  void kill(const std::string& service) const {
    ::kill(std::stoi(file(service + ".pid")), SIGKILL);
  }
  std::string dir() const { return (*this)["KESTRANO_WAYLAND_DESKTOP"]; }
  std::string file(const std::string& name) const {
    std::ostringstream text;
    text << std::ifstream(dir() + "/" + name).rdbuf();
    return text.str();
  }

 private:
  static std::string script() { return KESTRANO_SOURCE_DIR "/scripts/wayland-desktop.sh"; }
  std::map<std::string, std::string> env_;
};

}  // namespace kestrano::wayland
