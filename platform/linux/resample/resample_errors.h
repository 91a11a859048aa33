#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "platform/error.h"

namespace kestrano {

// Every error of the libswresample converter carries this domain and one of
// the codes below; libswresample's own numbers are not used as codes.
inline constexpr char kResampleErrorDomain[] = "resample";

enum class ResampleErrorCode : std::int64_t {
  wrongOutputFormat = 1,  // the output buffer is not in the converter's output format
  wrongInputFormat = 2,   // an input buffer is not in the converter's input format
  conversionFailed = 3,   // libswresample or the FIFO behind it failed
};

inline Error resampleError(ResampleErrorCode code, std::string description) {
  return Error{kResampleErrorDomain, static_cast<std::int64_t>(code), std::move(description)};
}

}  // namespace kestrano
