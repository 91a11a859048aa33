#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/mutex.h"
#include "platform/thread_annotations.h"
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
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      MutexLock lock(mutex_);
      while (!cancelled_ && lock.waitUntil(cancelledChanged_, deadline)) {
      }
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
      MutexLock lock(mutex_);
      cancelled_ = true;
    }
    cancelledChanged_.notify_all();
  }
  bool cancelled() const {
    MutexLock lock(mutex_);
    return cancelled_;
  }

  std::vector<std::string> calls;
  std::deque<std::optional<Error>> startResults;
  std::int64_t stopSize = 0;
  std::function<void()> onCall;
  bool startBlocksUntilCancelled = false;
  Error cancelledError{"rec", 7, "abandoned"};

 private:
  mutable Mutex mutex_;
  std::condition_variable cancelledChanged_;
  bool cancelled_ GUARDED_BY(mutex_) = false;
};

}  // namespace kestrano::testing
