#pragma once

#include <systemd/sd-bus.h>

#include <memory>

namespace kestrano::wayland {

// Owners of sd-bus's reference-counted objects: each drops its one reference.
struct BusUnref {
  // Writes out what is still queued (a session's Close) before closing.
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct MessageUnref {
  void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
struct SlotUnref {
  // Dropping a slot ends its match or forgets its pending call.
  void operator()(sd_bus_slot* slot) const { sd_bus_slot_unref(slot); }
};

using BusPtr = std::unique_ptr<sd_bus, BusUnref>;
using MessagePtr = std::unique_ptr<sd_bus_message, MessageUnref>;
using SlotPtr = std::unique_ptr<sd_bus_slot, SlotUnref>;

}  // namespace kestrano::wayland
