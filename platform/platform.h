#pragma once

#include <memory>

#include "platform/audio_engine.h"
#include "platform/file_system.h"
#include "platform/host_clock.h"
#include "platform/media_writer.h"
#include "platform/screen_capture.h"
#include "platform/standard_error.h"

namespace kestrano {

// Everything the recorder reaches below the seam.
struct Platform {
  std::shared_ptr<ScreenCaptureService> screenCapture;
  std::shared_ptr<MediaWriterFactory> mediaWriter;
  std::shared_ptr<AudioFactory> audio;
  std::shared_ptr<HostClock> hostClock;
  std::shared_ptr<FileSystem> fileSystem;
  std::shared_ptr<StandardError> standardError;
};

}  // namespace kestrano
