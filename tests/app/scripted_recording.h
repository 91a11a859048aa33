#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "recorder/recording_control.h"

namespace kestrano::testing {

// A RecordingControl that logs every call ("start <path>" or "stop") and
// answers from a script: queued start results (success once the queue is
// empty) and a fixed stop size. `onCall` runs at the start of every call, so a
// test can look at what the loop had written by then. With
// `startBlocksUntilCancelled`, start() waits for cancelStart() (5 s at most,
// so that a loop that never cancels fails the test rather than hangs it) and
// then fails with `cancelledError`.
class ScriptedRecording final : public RecordingControl {
 public:
  std::optional<Error> start(const std::string& path) override {
    if (onCall) {
      onCall();
    }
    calls.push_back("start " + path);
    if (startBlocksUntilCancelled) {
      std::unique_lock lock(mutex_);
      cancelledChanged_.wait_for(lock, std::chrono::seconds(5), [this] { return cancelled_; });
      return cancelledError;
    }
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

  // From any thread.
  void cancelStart() override {
    {
      std::lock_guard lock(mutex_);
      cancelled_ = true;
    }
    cancelledChanged_.notify_all();
  }
  bool cancelled() const {
    std::lock_guard lock(mutex_);
    return cancelled_;
  }

  std::vector<std::string> calls;
  std::deque<std::optional<Error>> startResults;
  std::int64_t stopSize = 0;
  std::function<void()> onCall;
  bool startBlocksUntilCancelled = false;
  Error cancelledError{"rec", 7, "abandoned"};

 private:
  mutable std::mutex mutex_;  // guards cancelled_
  std::condition_variable cancelledChanged_;
  bool cancelled_ = false;
};

}  // namespace kestrano::testing
