#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

struct spa_buffer;

namespace kestrano::wayland {

// A part of the picture the compositor says it redrew.
struct DamageRect {
  std::int32_t x = 0;
  std::int32_t y = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;
};

// What changed since the last picture used, over every PipeWire buffer
// handed over since. Only the newest buffer's pixels are used, but each
// buffer's damage is counted from the one before it: a skipped buffer's
// changes are the next picture's changes too, or their rows would keep old
// pixels for as long as nothing redraws them. Only on the PipeWire thread.
class BufferDamage {
 public:
  // Dequeues every buffer waiting (`next` gives nullptr when none is left),
  // gives all but the newest straight back, and counts each one's changes.
  // The newest, or nullptr.
  template <typename Buffer, typename Next, typename GiveBack>
  Buffer* takeNewest(Next next, GiveBack giveBack) {
    Buffer* newest = nullptr;
    while (Buffer* buffer = next()) {
      if (newest != nullptr) {
        giveBack(newest);
      }
      newest = buffer;
      add(*buffer->buffer);
    }
    return newest;
  }
  // What `buffer` says it changed; a buffer that says nothing may have
  // changed all of it.
  void add(const spa_buffer& buffer);
  // The changes gathered; nothing when all of the picture may have changed.
  std::optional<std::span<const DamageRect>> rects() const;
  // After a picture was used: nothing changed since.
  void clear();

 private:
  bool said_ = true;
  std::vector<DamageRect> rects_;
};

}  // namespace kestrano::wayland
