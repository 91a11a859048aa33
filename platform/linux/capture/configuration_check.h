#pragma once

#include <optional>

#include "platform/error.h"
#include "platform/screen_capture.h"

namespace kestrano {

// Why a stream cannot capture with `configuration` (a frame interval, queue
// depth, audio layout or frame size out of range); nothing when it can.
std::optional<Error> checkConfiguration(const StreamConfiguration& configuration);

}  // namespace kestrano
