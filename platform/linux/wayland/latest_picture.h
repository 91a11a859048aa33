#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/linux/capture/frame_scaler.h"
#include "platform/linux/wayland/pipewire_video_stream.h"
#include "platform/media_time.h"
#include "platform/mutex.h"

namespace kestrano::wayland {

// A copy of a picture PipeWire handed over, waiting for the capture thread.
struct Picture {
  std::vector<std::uint8_t> pixels;  // height rows of width * 4 bytes, no padding
  int width = 0;
  int height = 0;
  SourcePixels layout = SourcePixels::bgrx;
  MediaTime time;     // when it arrived, on the host clock
  bool whole = true;  // all of it may have changed; else only `changed`
  std::vector<RowSpan> changed;
};

// The newest picture from PipeWire's thread until the capture thread takes
// it: PipeWire's buffers go back at once, and a picture the capture thread
// had no room for is replaced, its changed rows carried over. Any thread.
class LatestPicture {
 public:
  void put(const PipeWireFrame& frame) EXCLUDES(mutex_);
  std::optional<Picture> take() EXCLUDES(mutex_);

 private:
  Mutex mutex_;
  std::optional<Picture> pending_ GUARDED_BY(mutex_);
};

}  // namespace kestrano::wayland
