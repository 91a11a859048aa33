#include "platform/video_frame.h"

#include <new>
#include <stdexcept>

namespace kestrano {
namespace {

constexpr std::size_t kRowAlignment = 64;

int alignedStride(int bytes) {
  auto a = static_cast<int>(kRowAlignment);
  return (bytes + a - 1) / a * a;
}

}  // namespace

void VideoFrame::AlignedDelete::operator()(std::uint8_t* p) const {
  ::operator delete[](p, std::align_val_t{kRowAlignment});
}

VideoFrame::VideoFrame(int width, int height, PixelFormat format)
    : width_(width), height_(height), format_(format) {
  if (width <= 0 || height <= 0) {
    throw std::invalid_argument("VideoFrame needs a positive size");
  }
  if (format == PixelFormat::bgra) {
    planes_[0] = {nullptr, alignedStride(width * 4), height};
  } else {
    int chromaWidth = (width + 1) / 2;
    int chromaRows = (height + 1) / 2;
    planes_[0] = {nullptr, alignedStride(width), height};
    planes_[1] = {nullptr, alignedStride(chromaWidth), chromaRows};
    planes_[2] = {nullptr, alignedStride(chromaWidth), chromaRows};
  }
  std::size_t total = 0;
  for (int i = 0; i < planeCount(); ++i) {
    total +=
        static_cast<std::size_t>(planes_[i].stride) * static_cast<std::size_t>(planes_[i].rows);
  }
  storage_.reset(new (std::align_val_t{kRowAlignment}) std::uint8_t[total]);
  std::uint8_t* next = storage_.get();
  for (int i = 0; i < planeCount(); ++i) {
    planes_[i].data = next;
    next += static_cast<std::size_t>(planes_[i].stride) * static_cast<std::size_t>(planes_[i].rows);
  }
}

}  // namespace kestrano
