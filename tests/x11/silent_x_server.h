#pragma once

#include <string>
#include <thread>
#include <vector>

#include "platform/unique_fd.h"

namespace kestrano::testing {

// An X server that answers the connection setup and then never another
// request: it replays the setup reply of the real server that DISPLAY names
// and reads nothing more. Points DISPLAY at itself while it lives, at a free
// display number of its own (an abstract socket, as X servers listen on).
class SilentXServer {
 public:
  // Throws std::runtime_error when it cannot listen or reach the real server.
  SilentXServer();
  ~SilentXServer();
  SilentXServer(const SilentXServer&) = delete;
  SilentXServer& operator=(const SilentXServer&) = delete;

  const std::string& display() const { return display_; }

 private:
  void serve();

  std::string realDisplay_;
  std::string display_;
  std::string setupReply_;
  UniqueFd listener_;
  UniqueFd stopRead_;
  UniqueFd stopWrite_;
  std::vector<UniqueFd> clients_;  // held open, never read
  std::thread thread_;
};

}  // namespace kestrano::testing
