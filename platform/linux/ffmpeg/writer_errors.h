#pragma once

#include <cstdint>
#include <string>

#include "platform/error.h"

namespace kestrano::ffmpeg {

// Errors of the FFmpeg writer, domain "writer".
enum class WriterErrorCode : std::int64_t {
  unsupportedFileType = 1,
  pathOccupied = 2,  // something already exists at the output path
  openFailed = 3,    // the file or an encoder could not be opened
  writeFailed = 4,   // writing the file failed while recording
  noInputs = 5,
};

inline Error writerError(WriterErrorCode code, std::string description) {
  return Error{"writer", static_cast<std::int64_t>(code), std::move(description)};
}

}  // namespace kestrano::ffmpeg
