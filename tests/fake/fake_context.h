#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <string>
#include <vector>

#include "platform/mutex.h"
#include "platform/serial_queue.h"
#include "platform/thread_annotations.h"

namespace kestrano::fake {

// A value and the one mutex that guards it: the fakes are called from the
// recorder's threads and read from the test's.
template <typename T>
class Guarded {
 public:
  // Runs `f` on the value under the lock; `f` must not keep a reference.
  template <typename F>
  decltype(auto) with(F&& f) const {
    MutexLock lock(mutex_);
    return f(value_);
  }
  T get() const {
    return with([](T& v) { return v; });
  }
  void set(T value) {
    with([&](T& v) { v = std::move(value); });
  }

 private:
  mutable Mutex mutex_;
  mutable T value_ GUARDED_BY(mutex_){};
};

// Every platform call the fakes receive, in order, from any thread.
class CallLog {
 public:
  void add(std::string entry) {
    entries_.with([&](auto& e) { e.push_back(std::move(entry)); });
  }
  std::vector<std::string> entries() const { return entries_.get(); }
  void clear() { entries_.set({}); }
  // How many entries start with `prefix`.
  std::size_t count(const std::string& prefix) const {
    auto all = entries();
    return std::count_if(all.begin(), all.end(),
                         [&](const std::string& e) { return e.rfind(prefix, 0) == 0; });
  }
  bool contains(const std::string& prefix) const { return count(prefix) > 0; }

 private:
  Guarded<std::vector<std::string>> entries_;
};

// How the fakes deliver completions.
enum class Delivery {
  synchronous,  // inside the call that takes the completion
  otherThread,  // later, from the delivery's own thread
  held,         // kept until the test calls releaseHeld()
};

class CompletionDelivery {
 public:
  void setMode(Delivery mode) {
    MutexLock lock(mutex_);
    mode_ = mode;
  }
  void deliver(std::function<void()> call) {
    Delivery mode;
    {
      MutexLock lock(mutex_);
      mode = mode_;
      if (mode == Delivery::held) {
        held_.push_back(std::move(call));
        changed_.notify_all();
        return;
      }
    }
    if (mode == Delivery::synchronous) {
      call();
    } else {
      thread_.async(std::move(call));
    }
  }
  // Waits (generously) until `count` completions are held.
  bool waitForHeld(std::size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    MutexLock lock(mutex_);
    while (held_.size() < count) {
      if (!lock.waitUntil(changed_, deadline)) {
        return held_.size() >= count;
      }
    }
    return true;
  }
  // Runs the held completions, in order, on the calling thread.
  void releaseHeld() {
    std::vector<std::function<void()>> calls;
    {
      MutexLock lock(mutex_);
      calls.swap(held_);
    }
    for (auto& call : calls) {
      call();
    }
  }

 private:
  Mutex mutex_;
  std::condition_variable changed_;
  Delivery mode_ GUARDED_BY(mutex_) = Delivery::synchronous;
  std::vector<std::function<void()>> held_ GUARDED_BY(mutex_);
  SerialQueue thread_{"fake.completions"};  // last: its thread uses nothing above
};

// What all fakes of one platform share. Completions capture a raw pointer to
// it: every fake keeps it alive, and its delivery thread is joined before the
// log goes.
struct FakeContext {
  CallLog log;
  CompletionDelivery delivery;
};

}  // namespace kestrano::fake
