#include "tests/support/private_desktop.h"

#include <signal.h>
#include <stdlib.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

namespace kestrano::testing {
namespace {

struct PipeClose {
  void operator()(FILE* f) const { pclose(f); }
};

std::string run(const std::string& command) {
  std::unique_ptr<FILE, PipeClose> pipe(popen(command.c_str(), "r"));
  if (!pipe) {
    throw std::runtime_error("cannot run " + command);
  }
  std::string out;
  std::array<char, 4096> chunk{};
  size_t n = 0;
  while ((n = fread(chunk.data(), 1, chunk.size(), pipe.get())) > 0) {
    out.append(chunk.data(), n);
  }
  return out;
}

std::string script() {
  return std::string(KESTRANO_SOURCE_DIR) + "/scripts/desktop.sh";
}

void killPidIn(const std::string& file) {
  std::ifstream in(file);
  long pid = 0;
  if (in >> pid && pid > 0) {
    ::kill(static_cast<pid_t>(pid), SIGKILL);
  }
}

}  // namespace

PrivateDesktop::PrivateDesktop(const Options& options) {
  std::ostringstream cmd;
  cmd << script() << " start --size " << options.size << " --mic-rate " << options.micRate
      << " --mic-channels " << options.micChannels;
  if (!options.monitors.empty()) {
    cmd << " --monitors " << options.monitors;
  }
  if (!options.x) {
    cmd << " --no-x";
  }
  if (!options.pulse) {
    cmd << " --no-pulse";
  }
  std::istringstream out(run(cmd.str()));
  std::string line;
  while (std::getline(out, line)) {
    auto eq = line.find('=');
    if (eq == std::string::npos) {
      continue;
    }
    auto name = line.substr(0, eq);
    auto value = line.substr(eq + 1);
    if (name == "DISPLAY") {
      display_ = value;
    } else if (name == "PULSE_SERVER") {
      pulseServer_ = value;
    } else if (name == "PULSE_CLIENTCONFIG") {
      clientConfig_ = value;
    } else if (name == "KESTRANO_DESKTOP") {
      dir_ = value;
    }
  }
  if (dir_.empty()) {
    throw std::runtime_error("the private desktop did not start: " + cmd.str());
  }
}

PrivateDesktop::~PrivateDesktop() {
  run(script() + " stop " + dir_ + " 2>/dev/null");
}

void PrivateDesktop::exportEnvironment() const {
  if (!display_.empty()) {
    setenv("DISPLAY", display_.c_str(), 1);
  }
  if (!pulseServer_.empty()) {
    setenv("PULSE_SERVER", pulseServer_.c_str(), 1);
    setenv("PULSE_CLIENTCONFIG", clientConfig_.c_str(), 1);
  }
}

std::vector<std::string> PrivateDesktop::environment() const {
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

std::string PrivateDesktop::environmentAssignments() const {
  std::string s;
  for (const auto& assignment : environment()) {
    s += assignment + " ";
  }
  return s;
}

void PrivateDesktop::killX() const {
  killPidIn(dir_ + "/x.pid");
}
void PrivateDesktop::killPulse() const {
  killPidIn(dir_ + "/pulse.pid");
}

}  // namespace kestrano::testing
