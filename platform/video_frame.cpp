#include "platform/video_frame.h"

#include <climits>
#include <cstdint>
#include <new>

namespace kestrano {
namespace {

constexpr int kRowAlignment = 64;

int alignedStride(int bytes) {
  return (bytes + kRowAlignment - 1) / kRowAlignment * kRowAlignment;
}

}  // namespace

void VideoFrame::AlignedDelete::operator()(std::uint8_t* p) const {
  ::operator delete[](p, std::align_val_t{kRowAlignment});
}

std::optional<VideoFrame> VideoFrame::create(int width, int height, PixelFormat format) {
  // The widest row, 4 bytes a pixel rounded up to the alignment, must fit an int.
  if (width <= 0 || height <= 0 || width > (INT_MAX - kRowAlignment) / 4) {
    return std::nullopt;
  }
  VideoFrame frame(width, height, format);
  std::size_t total = 0;
  for (int i = 0; i < frame.planeCount(); ++i) {
    const Plane& plane = frame.planes_[i];
    const std::size_t bytes =
        static_cast<std::size_t>(plane.stride) * static_cast<std::size_t>(plane.rows);
    if (bytes > SIZE_MAX - total) {
      return std::nullopt;
    }
    total += bytes;
  }
  frame.storage_.reset(new (std::align_val_t{kRowAlignment}, std::nothrow) std::uint8_t[total]);
  if (!frame.storage_) {
    return std::nullopt;
  }
  std::uint8_t* next = frame.storage_.get();
  for (int i = 0; i < frame.planeCount(); ++i) {
    Plane& plane = frame.planes_[i];
    plane.data = next;
    next += static_cast<std::size_t>(plane.stride) * static_cast<std::size_t>(plane.rows);
  }
  return frame;
}

// Lays out the planes; create() gives them their memory.
VideoFrame::VideoFrame(int width, int height, PixelFormat format)
    : width_(width), height_(height), format_(format) {
  if (format == PixelFormat::bgra) {
    planes_[0] = {nullptr, alignedStride(width * 4), height};
  } else {
    int chromaWidth = (width + 1) / 2;
    int chromaRows = (height + 1) / 2;
    planes_[0] = {nullptr, alignedStride(width), height};
    planes_[1] = {nullptr, alignedStride(chromaWidth), chromaRows};
    planes_[2] = {nullptr, alignedStride(chromaWidth), chromaRows};
  }
}

}  // namespace kestrano
