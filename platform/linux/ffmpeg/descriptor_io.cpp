#include "platform/linux/ffmpeg/descriptor_io.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <memory>

extern "C" {
#include <libavformat/version.h>
}

namespace kestrano::ffmpeg {
namespace {

// libavformat 61 (FFmpeg 7.0) made the write callback's buffer const.
#if LIBAVFORMAT_VERSION_MAJOR >= 61
using WriteBuffer = const std::uint8_t*;
#else
using WriteBuffer = std::uint8_t*;
#endif

constexpr int kBufferBytes = 64 * 1024;

struct Position {
  int fd;
  std::int64_t offset = 0;  // the context's
  std::int64_t moved = 0;   // the file's offset less the context's
};

int readAt(void* opaque, std::uint8_t* buffer, int size) {
  auto* at = static_cast<Position*>(opaque);
  ssize_t n;
  do {
    n = ::pread(at->fd, buffer, static_cast<std::size_t>(size), at->offset + at->moved);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    return AVERROR(errno);
  }
  if (n == 0) {
    return AVERROR_EOF;
  }
  at->offset += n;
  return static_cast<int>(n);
}

int writeAt(void* opaque, WriteBuffer buffer, int size) {
  auto* at = static_cast<Position*>(opaque);
  int done = 0;
  while (done < size) {
    ssize_t n = ::pwrite(at->fd, buffer + done, static_cast<std::size_t>(size - done),
                         at->offset + at->moved);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      return AVERROR(errno);
    }
    done += static_cast<int>(n);
    at->offset += n;
  }
  return done;
}

std::int64_t seekTo(void* opaque, std::int64_t offset, int whence) {
  auto* at = static_cast<Position*>(opaque);
  whence &= ~AVSEEK_FORCE;
  struct stat info {};
  if ((whence == AVSEEK_SIZE || whence == SEEK_END) && ::fstat(at->fd, &info) != 0) {
    return AVERROR(errno);
  }
  switch (whence) {
    case AVSEEK_SIZE:
      return info.st_size - at->moved;
    case SEEK_SET:
      break;
    case SEEK_CUR:
      offset += at->offset;
      break;
    case SEEK_END:
      offset += info.st_size - at->moved;
      break;
    default:
      return AVERROR(EINVAL);
  }
  if (offset < 0) {
    return AVERROR(EINVAL);
  }
  at->offset = offset;
  return offset;
}

}  // namespace

void DescriptorIoDeleter::operator()(AVIOContext* io) const {
  delete static_cast<Position*>(io->opaque);
  av_freep(&io->buffer);
  avio_context_free(&io);
}

void moveDescriptorIo(AVIOContext& io, std::int64_t bytes) {
  static_cast<Position*>(io.opaque)->moved += bytes;
}

DescriptorIoPtr makeDescriptorIo(int fd, bool writable) {
  struct AvFree {
    void operator()(unsigned char* p) const { av_free(p); }
  };
  std::unique_ptr<unsigned char, AvFree> buffer(
      static_cast<unsigned char*>(av_malloc(kBufferBytes)));
  auto position = std::make_unique<Position>(Position{fd});
  if (!buffer) {
    return nullptr;
  }
  AVIOContext* io =
      avio_alloc_context(buffer.get(), kBufferBytes, writable ? 1 : 0, position.get(),
                         writable ? nullptr : readAt, writable ? writeAt : nullptr, seekTo);
  if (io == nullptr) {
    return nullptr;
  }
  // Both now belong to the context (see the deleter).
  buffer.release();
  position.release();
  return DescriptorIoPtr(io);
}

}  // namespace kestrano::ffmpeg
