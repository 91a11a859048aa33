#pragma once

#include <utility>

namespace kestrano {

// Runs a callable when the scope ends, unless dismiss() was called first:
// the undo of a half-done step on every early return.
template <typename F>
class [[nodiscard]] ScopeGuard {
 public:
  explicit ScopeGuard(F undo) : undo_(std::move(undo)) {}
  ~ScopeGuard() {
    if (armed_) {
      undo_();
    }
  }
  ScopeGuard(const ScopeGuard&) = delete;
  ScopeGuard& operator=(const ScopeGuard&) = delete;

  void dismiss() { armed_ = false; }

 private:
  F undo_;
  bool armed_ = true;
};

}  // namespace kestrano
