#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "recorder/recording_control.h"

namespace kestrano::testing {

// A RecordingControl that logs every call ("start <path>" or "stop") and
// answers from a script: queued start results (success once the queue is
// empty) and a fixed stop size. `onCall` runs at the start of every call, so a
// test can look at what the loop had written by then.
class ScriptedRecording final : public RecordingControl {
 public:
  std::optional<Error> start(const std::string& path) override {
    if (onCall) {
      onCall();
    }
    calls.push_back("start " + path);
    if (startResults.empty()) {
      return std::nullopt;
    }
    std::optional<Error> result = startResults.front();
    startResults.pop_front();
    return result;
  }

  std::int64_t stop() override {
    if (onCall) {
      onCall();
    }
    calls.push_back("stop");
    return stopSize;
  }

  std::vector<std::string> calls;
  std::deque<std::optional<Error>> startResults;
  std::int64_t stopSize = 0;
  std::function<void()> onCall;
};

}  // namespace kestrano::testing
