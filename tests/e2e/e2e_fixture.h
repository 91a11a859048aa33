#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/media_probe.h"
#include "tests/support/private_desktop.h"
#include "tests/support/recorder_process.h"
#include "tests/support/temporary_folder.h"

namespace kestrano::testing {

using namespace std::chrono_literals;

constexpr double kSpeakerHz = 440;      // the demo scene's speaker tone
constexpr double kMicrophoneHz = 1000;  // the demo scene's microphone tone

// A private desktop, a scratch folder and helpers to run the recorder on them.
class EndToEnd : public ::testing::Test {
 protected:
  void TearDown() override;

  // Starts the desktop; with `scene`, the moving picture and two tones too.
  void startDesktop(const PrivateDesktop::Options& options, bool scene);
  std::unique_ptr<RecorderProcess> launch(std::vector<std::string> extraEnvironment = {});
  std::string scratch(const std::string& name) const { return scratch_.path(name); }

  std::unique_ptr<PrivateDesktop> desktop_;
  TemporaryFolder scratch_;
  bool sceneRunning_ = false;
};

// "start <path>" → "OK"; false (the failure recorded) otherwise.
bool startRecording(RecorderProcess& recorder, const std::string& path);
// "stop" → "DONE <size> <path>", the size being the file's on disk (0 when
// it is gone), then a clean exit; the size, or -1. A file it reports plays
// through ffmpeg without a complaint.
long long stopRecording(RecorderProcess& recorder, const std::string& path);
// Starts, records for `seconds` and stops.
long long recordFor(RecorderProcess& recorder, const std::string& path, double seconds);

// A recording finished as "stop" finishes one: three tracks that decode
// cleanly, each at least `seconds` long.
void expectFinishedFile(const std::string& path, double seconds);

}  // namespace kestrano::testing
