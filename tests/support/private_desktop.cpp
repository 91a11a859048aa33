#include "tests/support/private_desktop.h"

#include <signal.h>
#include <stdlib.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>

namespace kestrano::testing {
namespace {

std::string run(const std::string& command) {
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  std::string out;
  char chunk[4096];
  for (size_t n; pipe && (n = fread(chunk, 1, sizeof chunk, pipe.get())) > 0;) {
    out.append(chunk, n);
  }
  return out;
}

std::string script() {
  return std::string(KESTRANO_SOURCE_DIR) + "/scripts/desktop.sh";
}

void killPidIn(const std::string& file) {
  long pid = 0;
  if (std::ifstream(file) >> pid && pid > 0) {
    ::kill(static_cast<pid_t>(pid), SIGKILL);
  }
}

}  // namespace

PrivateDesktop::PrivateDesktop(const Options& options) {
  std::ostringstream cmd;
  cmd << script() << " start --size " << options.size << " --mic-rate " << options.micRate
      << " --mic-channels " << options.micChannels
      << (options.monitors.empty() ? "" : " --monitors " + options.monitors)
      << (options.x ? "" : " --no-x") << (options.pulse ? "" : " --no-pulse");
  std::istringstream out(run(cmd.str()));
  const std::map<std::string, std::string*> fields{{"DISPLAY", &display_},
                                                   {"PULSE_SERVER", &pulseServer_},
                                                   {"PULSE_CLIENTCONFIG", &clientConfig_},
                                                   {"KESTRANO_DESKTOP", &dir_}};
  for (std::string line; std::getline(out, line);) {
    auto eq = line.find('=');
    auto field = fields.find(line.substr(0, eq));
    if (eq != std::string::npos && field != fields.end()) {
      *field->second = line.substr(eq + 1);
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
  for (const auto& assignment : environment()) {
    auto eq = assignment.find('=');
    setenv(assignment.substr(0, eq).c_str(), assignment.c_str() + eq + 1, 1);
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
