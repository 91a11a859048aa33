#pragma once

#include <systemd/sd-bus.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/error.h"
#include "platform/linux/wayland/bus_handles.h"
#include "platform/linux/wayland/portal_bus.h"
#include "platform/linux/wayland/restore_token_store.h"
#include "platform/unique_fd.h"

namespace kestrano::wayland {

// The one monitor the portal handed over.
struct PortalStream {
  std::uint32_t nodeId = 0;  // the PipeWire node to connect a video stream to
  std::int32_t width = 0;    // its size in pixels; 0 when the portal gave none
  std::int32_t height = 0;
  std::string restoreToken;  // empty when the portal gave none
  UniqueFd pipeWireRemote;   // a connection to PipeWire that may see that node
};

// An xdg-desktop-portal ScreenCast session for one monitor, with the cursor
// drawn into the frames: CreateSession, SelectSources, Start (the user's
// choice, unless the kept restore token lets the portal skip it), then
// OpenPipeWireRemote. Destroying it closes the session, which ends the
// stream. Used by one thread at a time.
class PortalSession {
 public:
  // Waits at most PortalBus::kAnswerBound for each answer but the user's at
  // the picker; a readable cancelFd (-1: none) ends any of these waits with a
  // cancelled error, e.g. an eventfd a SIGTERM handler signals. The token in
  // `tokens` is offered and replaced by the one the portal gives back; one
  // the portal rejects is dropped, and the user is asked instead.
  static std::unique_ptr<PortalSession> start(const RestoreTokenStore& tokens, int cancelFd,
                                              std::optional<Error>& error);
  ~PortalSession();
  PortalSession(const PortalSession&) = delete;
  PortalSession& operator=(const PortalSession&) = delete;

  PortalStream& stream() { return stream_; }

  // Handles what the portal has sent, without waiting: an error once the
  // portal has closed the session (e.g. the compositor went away) or the bus
  // connection is lost. For a capture to poll and then stop with that error.
  std::optional<Error> checkOpen();

 private:
  explicit PortalSession(std::unique_ptr<PortalBus> bus) : bus_(std::move(bus)) {}
  std::optional<Error> run(const std::string& restoreToken);
  std::optional<Error> readStartResults(sd_bus_message* results);
  void close();
  static int onClosed(sd_bus_message* message, void* userdata, sd_bus_error* error);

  std::unique_ptr<PortalBus> bus_;  // first, so the slot below goes before it
  SlotPtr closedSlot_;
  std::string sessionPath_;  // set once the portal made the session
  bool closed_ = false;      // the portal sent Session.Closed
  PortalStream stream_;
};

}  // namespace kestrano::wayland
