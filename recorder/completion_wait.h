#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <optional>
#include <utility>

#include "platform/mutex.h"
#include "platform/thread_annotations.h"

namespace kestrano {

// A request, from any thread, that the waits watching it end at once. It
// stays made: every later wait that watches it ends at once too. One wait at
// a time watches it (the start sequence's, each in turn).
class WaitCancellation {
 public:
  void cancel() {
    cancelled_.store(true);
    std::function<void()> wake;
    {
      MutexLock lock(mutex_);
      wake = wake_;
    }
    if (wake) {
      wake();
    }
  }
  bool cancelled() const { return cancelled_.load(); }

 private:
  template <typename T>
  friend class CompletionWait;
  // While a wait runs: how to wake it. Set before the wait tests cancelled(),
  // so a cancel either is seen by that test or wakes the wait after it.
  void watch(std::function<void()> wake) {
    MutexLock lock(mutex_);
    wake_ = std::move(wake);
  }

  std::atomic<bool> cancelled_{false};
  Mutex mutex_;
  std::function<void()> wake_ GUARDED_BY(mutex_);
};

// Waits for the one result of a completion-style platform call. The
// completion may run on any thread, also synchronously inside the call that
// takes it; a second delivery is ignored. Hand out deliverer() to the call,
// then wait().
template <typename T>
class CompletionWait {
 public:
  CompletionWait() : state_(std::make_shared<State>()) {}

  // A callable that delivers the result. It shares the state, so a completion
  // that outlives this object stays harmless.
  auto deliverer() const {
    return [state = state_](T value) { state->deliver(std::move(value)); };
  }

  // Blocks until the result has arrived; no time limit.
  T wait() {
    State& state = *state_;
    MutexLock lock(state.mutex);
    while (!state.value.has_value()) {
      lock.wait(state.arrived);
    }
    return std::move(*state.value);
  }

  // Blocks until the result has arrived, `limit` (if any) has passed or
  // `cancellation` was (or had been) made; nothing in the last two cases (tell
  // them apart by cancellation.cancelled()). A cancellation wins over a result that came
  // too (a start held up in a synchronous platform call goes no further once
  // that returns). A result that arrives later is dropped.
  std::optional<T> waitFor(std::optional<std::chrono::steady_clock::duration> limit,
                           WaitCancellation& cancellation) {
    cancellation.watch([state = state_] {
      { MutexLock lock(state->mutex); }  // the waiter is asleep or has not tested yet
      state->arrived.notify_all();
    });
    const auto deadline = std::chrono::steady_clock::now() +
                          limit.value_or(std::chrono::steady_clock::duration::zero());
    State& state = *state_;
    std::optional<T> result;
    {
      MutexLock lock(state.mutex);
      while (!state.value.has_value() && !cancellation.cancelled()) {
        if (!limit) {
          lock.wait(state.arrived);
        } else if (!lock.waitUntil(state.arrived, deadline)) {
          break;
        }
      }
      if (state.value.has_value() && !cancellation.cancelled()) {
        result = std::move(*state.value);
      }
    }
    cancellation.watch(nullptr);
    return result;
  }

 private:
  struct State {
    void deliver(T v) {
      {
        MutexLock lock(mutex);
        if (value.has_value()) {
          return;
        }
        value.emplace(std::move(v));
      }
      arrived.notify_all();
    }
    Mutex mutex;
    std::condition_variable arrived;
    std::optional<T> value GUARDED_BY(mutex);
  };
  std::shared_ptr<State> state_;
};

}  // namespace kestrano
