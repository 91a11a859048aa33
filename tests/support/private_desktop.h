#pragma once

#include <string>
#include <vector>

namespace kestrano::testing {

// A private Xvfb server and PulseAudio daemon for one test, started through
// scripts/desktop.sh and stopped (only what it started) on destruction.
// exportEnvironment() points this process's X and sound clients at them.
class PrivateDesktop {
 public:
  struct Options {
    std::string size = "1920x1080";
    std::string monitors;  // e.g. "1280x720+0+0,1920x1080+1280+0"
    int micRate = 48000;
    int micChannels = 2;
    bool x = true;
    bool pulse = true;
  };

  // Throws std::runtime_error when the desktop cannot be started.
  explicit PrivateDesktop(const Options& options);
  PrivateDesktop() : PrivateDesktop(Options{}) {}
  ~PrivateDesktop();
  PrivateDesktop(const PrivateDesktop&) = delete;
  PrivateDesktop& operator=(const PrivateDesktop&) = delete;

  const std::string& display() const { return display_; }
  const std::string& pulseServer() const { return pulseServer_; }
  const std::string& directory() const { return dir_; }

  // Sets DISPLAY, PULSE_SERVER and PULSE_CLIENTCONFIG for this process.
  void exportEnvironment() const;
  // The assignments for a child process's environment ("NAME=value" each),
  // as one shell prefix or as a list.
  std::string environmentAssignments() const;
  std::vector<std::string> environment() const;

  // Kill one of the two servers (SIGKILL) to test how clients survive it.
  void killX() const;
  void killPulse() const;

 private:
  std::string dir_;
  std::string display_;
  std::string pulseServer_;
  std::string clientConfig_;
};

}  // namespace kestrano::testing
