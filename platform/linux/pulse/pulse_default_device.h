#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/error.h"
#include "platform/linux/pulse/pulse_client.h"

namespace kestrano {

// What "the default device" means to a capture: the default sink's monitor
// (what the system plays) or the default source (the microphone).
enum class DefaultDevice { outputMonitor, input };

// A source to record from, with its own format.
struct PulseDevice {
  std::string name;
  std::uint32_t rate = 0;
  std::uint32_t channels = 0;
};

// Asks a ready connection (call without its lock; bounded wait) which source
// is the default of its kind now. Nothing, and an error naming what is
// missing, when there is none. A monitor is never taken for a microphone:
// servers make the default sink's monitor the default source when no input
// exists, and recording it would put the system's sound on the microphone
// track.
std::optional<PulseDevice> queryDefaultDevice(PulseClient& client, DefaultDevice which,
                                              std::optional<Error>& error);

// Whether `error` from queryDefaultDevice says there is no such device now,
// rather than that the server gave no clear answer.
bool meansNoDevice(const std::optional<Error>& error);

}  // namespace kestrano
