#pragma once

#include <cstdint>
#include <memory>

#include "platform/linux/av/av_resources.h"

namespace kestrano::ffmpeg {

// libavformat I/O on a descriptor the caller owns and keeps open for the
// context's life: the writer's files are opened once, by descriptor, and
// libavformat never opens a path of its own. Reads and writes start at
// offset 0 and keep their own position (pread/pwrite), whatever else uses
// the descriptor.
struct DescriptorIoDeleter {
  void operator()(AVIOContext* io) const;
};
using DescriptorIoPtr = std::unique_ptr<AVIOContext, DescriptorIoDeleter>;

// Nothing when out of memory.
DescriptorIoPtr makeDescriptorIo(int fd, bool writable);
// From now on the context's offset k is the file's offset k + `bytes` (room
// was made in the file before what the context writes next).
void moveDescriptorIo(AVIOContext& io, std::int64_t bytes);

}  // namespace kestrano::ffmpeg
