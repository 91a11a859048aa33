#include "platform/linux/wayland/buffer_damage.h"

#include <spa/buffer/buffer.h>
#include <spa/buffer/meta.h>

namespace kestrano::wayland {
namespace {

// More changed parts than this, gathered while no picture could be used
// (buffers flagged corrupt, say), count as all of the picture.
constexpr std::size_t kMaxRects = 64;

}  // namespace

void BufferDamage::add(const spa_buffer& buffer) {
  spa_meta* meta = spa_buffer_find_meta(&buffer, SPA_META_VideoDamage);
  if (meta == nullptr) {
    said_ = false;
    return;
  }
  spa_meta_region* region;
  spa_meta_for_each(region, meta) {
    if (!spa_meta_region_is_valid(region)) {
      break;  // the list's end
    }
    rects_.push_back(DamageRect{region->region.position.x, region->region.position.y,
                                static_cast<std::int32_t>(region->region.size.width),
                                static_cast<std::int32_t>(region->region.size.height)});
  }
  if (rects_.size() > kMaxRects) {
    said_ = false;
    rects_.clear();
  }
}

std::optional<std::span<const DamageRect>> BufferDamage::rects() const {
  if (!said_) {
    return std::nullopt;
  }
  return std::span<const DamageRect>(rects_);
}

void BufferDamage::clear() {
  said_ = true;
  rects_.clear();
}

}  // namespace kestrano::wayland
