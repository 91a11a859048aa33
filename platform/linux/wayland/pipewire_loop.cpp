#include "platform/linux/wayland/pipewire_loop.h"

#include <pipewire/pipewire.h>

#include <mutex>

#include "platform/linux/wayland/wayland_errors.h"

namespace kestrano::wayland {

std::unique_ptr<PipeWireLoop> PipeWireLoop::create(std::optional<Error>& error) {
  // Once per process; PipeWire keeps its global state until exit.
  static std::once_flag initialised;
  std::call_once(initialised, [] { pw_init(nullptr, nullptr); });
  pw_thread_loop* loop = pw_thread_loop_new("kestrano-screen", nullptr);
  if (loop == nullptr) {
    error = waylandError(CaptureErrorCode::outOfResources, "the PipeWire loop cannot be made");
    return nullptr;
  }
  return std::unique_ptr<PipeWireLoop>(new PipeWireLoop(loop));
}

PipeWireLoop::~PipeWireLoop() {
  stop();
  pw_thread_loop_destroy(loop_);
}

bool PipeWireLoop::start() {
  running_ = pw_thread_loop_start(loop_) == 0;
  return running_;
}

void PipeWireLoop::stop() {
  if (running_) {
    pw_thread_loop_stop(loop_);
    running_ = false;
  }
}

}  // namespace kestrano::wayland
