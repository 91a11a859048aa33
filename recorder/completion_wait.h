#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace kestrano {

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
    std::unique_lock lock(state_->mutex);
    state_->arrived.wait(lock, [this] { return state_->value.has_value(); });
    return std::move(*state_->value);
  }

 private:
  struct State {
    void deliver(T v) {
      {
        std::lock_guard lock(mutex);
        if (value.has_value()) {
          return;
        }
        value.emplace(std::move(v));
      }
      arrived.notify_all();
    }
    std::mutex mutex;  // guards value
    std::condition_variable arrived;
    std::optional<T> value;
  };
  std::shared_ptr<State> state_;
};

}  // namespace kestrano
