#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/error.h"
#include "platform/linux/pulse/pulse_client.h"

namespace kestrano {

// The server's default source (the microphone) and its own format.
struct DefaultSource {
  std::string name;
  std::uint32_t rate = 0;
  std::uint32_t channels = 0;
};

// Asks a ready connection (call without its lock; bounded wait). Nothing, and
// an error naming what is missing, when there is none.
std::optional<DefaultSource> queryDefaultSource(PulseClient& client, std::optional<Error>& error);

}  // namespace kestrano
