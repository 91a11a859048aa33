#pragma once

#include <cstdint>
#include <string>

#include "platform/error.h"

namespace kestrano {

// Every error of the PulseAudio backend carries this domain and one of the
// codes below. When libpulse reported the cause, its text ends the
// description; its number is not our code, since libpulse's numbering means
// other things than ours.
inline constexpr char kPulseErrorDomain[] = "pulse";

enum class PulseErrorCode : std::int64_t {
  setupFailed = 1,        // libpulse could not make a main loop or context
  threadStartFailed = 2,  // the main loop's thread did not start
  timedOut = 3,           // the server did not answer within the bound
  connectionFailed = 4,   // no connection to the server, or it broke
  streamFailed = 5,       // a record stream could not start, or it broke
  noSource = 6,           // no default device of the kind asked
  unsupportedLayout = 7,  // a rate or channel count that cannot be recorded
  alreadyStarted = 8,     // system audio is already being captured
  defaultMissing = 9,     // the server names a default device it does not have
};

Error pulseError(PulseErrorCode code, std::string description);
// `what`, then libpulse's text for its error number `libpulseError`.
Error pulseError(PulseErrorCode code, const std::string& what, int libpulseError);

}  // namespace kestrano
