#include "platform/linux/ffmpeg/mp4_boxes.h"

namespace kestrano::ffmpeg::mp4 {

std::vector<BoxSpan> childBoxes(const std::uint8_t* data, std::size_t size) {
  std::vector<BoxSpan> boxes;
  Cursor c(data, size);
  while (c.left() >= 8) {
    BoxSpan box;
    box.start = c.position();
    std::uint64_t length = c.u32();
    box.type = c.u32();
    if (length == 1) {
      length = c.u64();
    } else if (length == 0) {
      length = size - box.start;  // to the end of the parent
    }
    box.payload = c.position();
    if (!c.ok() || length < box.payload - box.start || length > size - box.start) {
      break;
    }
    box.end = box.start + static_cast<std::size_t>(length);
    c.skip(box.end - box.payload);
    boxes.push_back(box);
  }
  return boxes;
}

BoxSpan findBox(const std::vector<BoxSpan>& boxes, std::uint32_t type) {
  for (const BoxSpan& b : boxes) {
    if (b.type == type) {
      return b;
    }
  }
  return {};
}

}  // namespace kestrano::ffmpeg::mp4
