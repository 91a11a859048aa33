#pragma once

#include <pipewire/pipewire.h>

#include <memory>

namespace kestrano::wayland {

// Owners of PipeWire's objects: each destroys its one object. Used only
// where nothing runs the loop they belong to (stopped, or never started), or
// with that loop locked.
struct ContextDestroy {
  void operator()(pw_context* context) const { pw_context_destroy(context); }
};
struct CoreDisconnect {
  // Also closes the remote fd the core was connected over.
  void operator()(pw_core* core) const { pw_core_disconnect(core); }
};
struct RegistryDestroy {
  void operator()(pw_registry* registry) const {
    pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry));
  }
};
struct StreamDestroy {
  void operator()(pw_stream* stream) const { pw_stream_destroy(stream); }
};

using ContextPtr = std::unique_ptr<pw_context, ContextDestroy>;
using CorePtr = std::unique_ptr<pw_core, CoreDisconnect>;
using RegistryPtr = std::unique_ptr<pw_registry, RegistryDestroy>;
using PwStreamPtr = std::unique_ptr<pw_stream, StreamDestroy>;

}  // namespace kestrano::wayland
