#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/private_desktop.h"
#include "tests/support/recorder_process.h"

namespace kestrano::testing {

using namespace std::chrono_literals;

// A private desktop, a scratch folder and helpers to run the recorder on them.
class EndToEnd : public ::testing::Test {
 protected:
  void TearDown() override;

  // Starts the desktop; with `scene`, the moving picture and two tones too.
  void startDesktop(const PrivateDesktop::Options& options, bool scene);
  std::unique_ptr<RecorderProcess> launch(std::vector<std::string> extraEnvironment = {});
  std::vector<std::string> desktopEnvironment() const;
  std::string scratch(const std::string& name);

  // start → OK, `seconds` of recording, stop → DONE; returns the reported size.
  long long recordFor(RecorderProcess& recorder, const std::string& path, double seconds);

  std::unique_ptr<PrivateDesktop> desktop_;
  std::string scratchDir_;
  bool sceneRunning_ = false;
};

// Plays the file through a full decode; the decoder's complaints, if any.
std::string decodeErrors(const std::string& path);

}  // namespace kestrano::testing
