#pragma once

#include <cstdint>
#include <string>

#include <pulse/pulseaudio.h>

#include "platform/linux/pulse/pulse_client.h"

namespace kestrano {

// Keeps a record stream on the monitor of whatever sink is the default.
// PulseAudio 16 resolves "@DEFAULT_MONITOR@" once, when the stream connects,
// and leaves the stream where it is when the user picks another output; this
// watches the server for default-device changes and moves the stream.
class PulseDefaultMonitorFollower {
 public:
  // Call without the client's lock. The follower must outlive the client's
  // mainloop thread (destroy it after PulseClient::stop() and after the
  // client itself).
  PulseDefaultMonitorFollower(PulseClient& client, std::uint32_t streamIndex);
  PulseDefaultMonitorFollower(const PulseDefaultMonitorFollower&) = delete;
  PulseDefaultMonitorFollower& operator=(const PulseDefaultMonitorFollower&) = delete;

 private:
  static void onEvent(pa_context* c, pa_subscription_event_type_t type, std::uint32_t index,
                      void* self);
  static void onServerInfo(pa_context* c, const pa_server_info* info, void* self);
  static void onSinkInfo(pa_context* c, const pa_sink_info* info, int eol, void* self);

  PulseClient& client_;
  const std::uint32_t streamIndex_;
  std::string monitor_;  // where the stream was last sent; mainloop thread only
};

}  // namespace kestrano
