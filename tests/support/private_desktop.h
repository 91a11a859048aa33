#pragma once

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace kestrano::testing {

// A private Xvfb server and sound server for one test, started through
// scripts/desktop.sh and stopped (only what it started) on destruction. The
// sound server is the PulseAudio daemon or PipeWire with pipewire-pulse:
// KESTRANO_SOUND_SERVER chooses, unless the options do.
class PrivateDesktop {
 public:
  struct Options {
    std::string size = "1920x1080";
    std::string monitors{};  // e.g. "1280x720+0+0,1920x1080+1280+0"
    int micRate = 48000;
    int micChannels = 2;
    bool mic = true;  // false: a machine without any microphone
    bool x = true;
    bool pulse = true;
    std::string sound{};  // "pulseaudio" or "pipewire"; empty: as the environment says
  };

  // Throws std::runtime_error when the desktop cannot be started.
  explicit PrivateDesktop(const Options& o) {
    std::ostringstream cmd;
    cmd << script() << " start --size " << o.size << " --mic-rate " << o.micRate
        << " --mic-channels " << o.micChannels
        << (o.monitors.empty() ? "" : " --monitors " + o.monitors) << (o.x ? "" : " --no-x")
        << (o.pulse ? "" : " --no-pulse") << (o.mic ? "" : " --no-mic")
        << (o.sound.empty() ? "" : " --sound=" + o.sound) << " --owner " << ::getpid();
    std::istringstream out(run(cmd.str()));
    const std::map<std::string, std::string*> fields{{"DISPLAY", &display_},
                                                     {"PULSE_SERVER", &pulseServer_},
                                                     {"PULSE_CLIENTCONFIG", &clientConfig_},
                                                     {"KESTRANO_DESKTOP", &dir_}};
    for (std::string line; std::getline(out, line);) {
      auto eq = line.find('=');
      if (auto field = fields.find(line.substr(0, eq)); field != fields.end()) {
        *field->second = line.substr(eq + 1);
      }
    }
    if (dir_.empty()) {
      throw std::runtime_error("the private desktop did not start: " + cmd.str());
    }
  }
  PrivateDesktop() : PrivateDesktop(Options{}) {}
  ~PrivateDesktop() { run(script() + " stop " + dir_ + " 2>/dev/null"); }
  PrivateDesktop(const PrivateDesktop&) = delete;
  PrivateDesktop& operator=(const PrivateDesktop&) = delete;

  const std::string& display() const { return display_; }
  const std::string& pulseServer() const { return pulseServer_; }
  const std::string& directory() const { return dir_; }

  // "NAME=value" each: DISPLAY, PULSE_SERVER and PULSE_CLIENTCONFIG.
  std::vector<std::string> environment() const {
    std::vector<std::string> env;
    if (!display_.empty()) {
      env.push_back("DISPLAY=" + display_);
    }
    if (!pulseServer_.empty()) {
      env.push_back("PULSE_SERVER=" + pulseServer_);
      env.push_back("PULSE_CLIENTCONFIG=" + clientConfig_);
    }
    return env;
  }
  // As one shell prefix.
  std::string environmentAssignments() const {
    std::string s;
    for (const auto& assignment : environment()) {
      s += assignment + " ";
    }
    return s;
  }
  // Started, with this process's X and sound clients pointed at it.
  static std::unique_ptr<PrivateDesktop> forThisProcess(const Options& options) {
    auto desktop = std::make_unique<PrivateDesktop>(options);
    desktop->exportEnvironment();
    return desktop;
  }
  void exportEnvironment() const {
    for (const auto& assignment : environment()) {
      auto eq = assignment.find('=');
      setenv(assignment.substr(0, eq).c_str(), assignment.c_str() + eq + 1, 1);
    }
  }

  // SIGKILL one of the two servers, to test how clients survive it.
  void killX() const { kill("x.pid"); }
  void killPulse() const { kill("pulse.pid"); }
  // One of desktop.sh's commands on this desktop (kill-sound, start-sound,
  // add-mic, tone), e.g. sound("tone", "speaker 440"); whether it worked.
  bool sound(const std::string& command, const std::string& arguments = "") const {
    return std::system((script() + " " + command + " " + dir_ + " " + arguments).c_str()) == 0;
  }
  // The same, for a command that answers: what it printed.
  std::string soundOutput(const std::string& command, const std::string& arguments) const {
    return run(script() + " " + command + " " + dir_ + " " + arguments);
  }

  // A command's standard output.
  static std::string run(const std::string& command) {
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    std::string out;
    char chunk[4096];
    for (size_t n; pipe && (n = fread(chunk, 1, sizeof chunk, pipe.get())) > 0;) {
      out.append(chunk, n);
    }
    return out;
  }

 private:
  static std::string script() { return std::string(KESTRANO_SOURCE_DIR) + "/scripts/desktop.sh"; }
  void kill(const std::string& pidFile) const {
    long pid = 0;
    if (std::ifstream(dir_ + "/" + pidFile) >> pid && pid > 0) {
      ::kill(static_cast<pid_t>(pid), SIGKILL);
    }
  }

  std::string dir_, display_, pulseServer_, clientConfig_;
};

}  // namespace kestrano::testing
