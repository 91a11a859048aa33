#pragma once

#include <memory>

#include "platform/media_writer.h"

namespace kestrano {

// Media writing on FFmpeg: MP4 files with H.264 (libx264) and AAC tracks.
std::shared_ptr<MediaWriterFactory> makeFfmpegWriterFactory();

}  // namespace kestrano
