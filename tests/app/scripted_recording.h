#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/mutex.h"
#include "platform/thread_annotations.h"
#include "recorder/recording_control.h"

namespace kestrano::testing {

// A RecordingControl that appends each call to `log` as "<start PATH>" or
// "<stop>", after running `onCall`. A start whose path contains "fail" fails
// with `error`; with `startHangs`, a start waits for cancelStart() and fails
// with "abandoned", or with "never cancelled" after 10 s, so that a loop that
// never cancels fails its test instead of hanging it.
class ScriptedRecording final : public RecordingControl {
 public:
  std::optional<Error> start(const std::string& path) override {
    call("<start " + path + ">");
    if (startHangs) {
      MutexLock lock(mutex_);
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      while (!cancelled_ && lock.waitUntil(cancelledChanged_, deadline)) {
      }
      return Error{"rec", 7, cancelled_ ? "abandoned" : "never cancelled"};
    }
    if (path.find("fail") != std::string::npos) {
      return Error{"rec", 1, error};
    }
    return std::nullopt;
  }

  std::int64_t stop() override {
    call("<stop>");
    return 5000000000;  // past 32 bits
  }

  // From any thread.
  void cancelStart() override {
    {
      MutexLock lock(mutex_);
      cancelled_ = true;
    }
    cancelledChanged_.notify_all();
  }

  std::string log;
  std::string error = "no display";
  bool startHangs = false;
  std::function<void()> onCall;

 private:
  void call(const std::string& entry) {
    if (onCall) {
      onCall();
    }
    log += entry;
  }

  Mutex mutex_;
  std::condition_variable cancelledChanged_;
  bool cancelled_ GUARDED_BY(mutex_) = false;
};

}  // namespace kestrano::testing
