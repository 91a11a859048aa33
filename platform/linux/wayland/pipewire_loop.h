#pragma once

#include <pipewire/thread-loop.h>

#include <memory>
#include <optional>

#include "platform/error.h"

namespace kestrano::wayland {

// A pw_thread_loop: the one thread a PipeWire consumer's callbacks run on.
// Destroying it stops the thread (joined) and then the loop, so whatever was
// made on the loop must go before it.
class PipeWireLoop {
 public:
  // Nothing, with `error` set, when PipeWire cannot make or start the loop.
  static std::unique_ptr<PipeWireLoop> create(std::optional<Error>& error);
  ~PipeWireLoop();
  PipeWireLoop(const PipeWireLoop&) = delete;
  PipeWireLoop& operator=(const PipeWireLoop&) = delete;

  pw_loop* loop() const { return pw_thread_loop_get_loop(loop_); }
  // Starts the thread; false when the system refuses it.
  bool start();
  // Joins the thread; no callback runs after it returns. Not from the
  // loop's own thread. Idempotent.
  void stop();

  // Holds the loop's lock: calls into objects on the loop from another
  // thread go under one.
  class Lock {
   public:
    explicit Lock(PipeWireLoop& loop) : loop_(loop.loop_) { pw_thread_loop_lock(loop_); }
    ~Lock() { pw_thread_loop_unlock(loop_); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

   private:
    pw_thread_loop* loop_;
  };

 private:
  explicit PipeWireLoop(pw_thread_loop* loop) : loop_(loop) {}

  pw_thread_loop* const loop_;
  bool running_ = false;
};

}  // namespace kestrano::wayland
