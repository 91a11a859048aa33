#pragma once

#include <spa/utils/hook.h>

namespace kestrano::wayland {

// One spa_hook a listener was added with, removed when this goes: the object
// it listens to may outlive the listener. Not movable, since the object
// keeps the hook's address.
class ListenerHook {
 public:
  ListenerHook() = default;
  ~ListenerHook() {
    if (hook_.link.next != nullptr) {
      spa_hook_remove(&hook_);
    }
  }
  ListenerHook(const ListenerHook&) = delete;
  ListenerHook& operator=(const ListenerHook&) = delete;

  spa_hook* get() { return &hook_; }

 private:
  spa_hook hook_{};
};

}  // namespace kestrano::wayland
