#pragma once

#include <cstdint>
#include <string>

#include "platform/error.h"

namespace kestrano::ffmpeg {

// Every error the FFmpeg writer reports has this domain and one of these
// codes; libav's and the system's own numbers stay in the description.
inline constexpr const char* kWriterErrorDomain = "ffmpeg";

enum class WriterErrorCode : std::int64_t {
  unsupportedFileType = 1,
  pathOccupied = 2,  // something already exists at the output path
  openFailed = 3,    // the file or an encoder could not be opened
  writeFailed = 4,   // writing the file failed while recording
  noInputs = 5,
  threadStartFailed = 6,  // an encoder thread could not be started
};

inline Error writerError(WriterErrorCode code, std::string description) {
  return Error{kWriterErrorDomain, static_cast<std::int64_t>(code), std::move(description)};
}

}  // namespace kestrano::ffmpeg
