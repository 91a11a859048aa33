#include "platform/linux/wayland/latest_picture.h"

#include <cstring>
#include <utility>

namespace kestrano::wayland {

void LatestPicture::put(const PipeWireFrame& frame) {
  Picture next;
  const std::size_t row = static_cast<std::size_t>(frame.width) * 4;
  next.pixels.resize(row * static_cast<std::size_t>(frame.height));
  for (int y = 0; y < frame.height; ++y) {
    std::memcpy(next.pixels.data() + row * y,
                frame.pixels + static_cast<std::ptrdiff_t>(y) * frame.stride, row);
  }
  next.width = frame.width;
  next.height = frame.height;
  next.layout = frame.layout;
  next.time = frame.time;
  next.whole = !frame.damage.has_value();
  if (frame.damage) {
    for (const DamageRect& r : *frame.damage) {
      next.changed.push_back(RowSpan{r.y, r.y + r.height});
    }
  }
  MutexLock lock(mutex_);
  if (pending_) {
    // The replaced picture's changes were never delivered.
    const bool sameShape = pending_->width == next.width && pending_->height == next.height &&
                           pending_->layout == next.layout;
    next.whole = next.whole || pending_->whole || !sameShape;
    next.changed.insert(next.changed.end(), pending_->changed.begin(), pending_->changed.end());
  }
  pending_ = std::move(next);
}

std::optional<Picture> LatestPicture::take() {
  MutexLock lock(mutex_);
  return std::exchange(pending_, std::nullopt);
}

}  // namespace kestrano::wayland
