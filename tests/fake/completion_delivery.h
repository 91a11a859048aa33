#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/serial_queue.h"

namespace kestrano::fake {

// How the fakes deliver completions.
enum class Delivery {
  synchronous,  // inside the call that takes the completion
  otherThread,  // later, from the delivery's own thread
  held,         // kept until the test calls releaseHeld()
};

// Delivers completion calls the scripted way. Shared by all fakes of one
// platform so a test sets the mode in one place.
class CompletionDelivery {
 public:
  void setMode(Delivery mode) {
    std::lock_guard lock(mutex_);
    mode_ = mode;
  }

  void deliver(std::function<void()> call) {
    std::unique_lock lock(mutex_);
    switch (mode_) {
      case Delivery::synchronous:
        lock.unlock();
        call();
        return;
      case Delivery::otherThread:
        lock.unlock();
        thread_.async(std::move(call));
        return;
      case Delivery::held:
        held_.push_back(std::move(call));
        lock.unlock();
        changed_.notify_all();
        return;
    }
  }

  // Waits (up to `timeout`) until `count` completions are held.
  bool waitForHeld(std::size_t count,
                   std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return held_.size() >= count; });
  }
  std::size_t heldCount() const {
    std::lock_guard lock(mutex_);
    return held_.size();
  }
  // Runs the held completions, in order, on the calling thread.
  void releaseHeld() {
    std::vector<std::function<void()>> calls;
    {
      std::lock_guard lock(mutex_);
      calls.swap(held_);
    }
    for (auto& call : calls) {
      call();
    }
  }

 private:
  mutable std::mutex mutex_;  // guards mode_ and held_
  std::condition_variable changed_;
  Delivery mode_ = Delivery::synchronous;
  std::vector<std::function<void()>> held_;
  SerialQueue thread_{"fake.completions"};  // last: its thread uses nothing above
};

}  // namespace kestrano::fake
