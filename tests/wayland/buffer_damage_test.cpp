#include "platform/linux/wayland/buffer_damage.h"

#include <spa/buffer/buffer.h>
#include <spa/buffer/meta.h>

#include <gtest/gtest.h>

#include <deque>
#include <sstream>
#include <string>
#include <vector>

namespace kestrano::wayland {
namespace {

// A buffer as PipeWire hands one over: a damage meta with room for 16
// regions, the ones given set and the rest zero (an invalid region ends the
// list); none given: no damage meta at all.
class Handed {
 public:
  explicit Handed(std::optional<std::vector<DamageRect>> damage) {
    if (damage) {
      for (std::size_t i = 0; i < damage->size(); ++i) {
        const DamageRect& r = (*damage)[i];
        regions_[i].region = SPA_REGION(r.x, r.y, static_cast<std::uint32_t>(r.width),
                                        static_cast<std::uint32_t>(r.height));
      }
      meta_ = spa_meta{SPA_META_VideoDamage, sizeof regions_, regions_};
      contents_.n_metas = 1;
      contents_.metas = &meta_;
    }
  }
  Handed(const Handed&) = delete;
  Handed& operator=(const Handed&) = delete;
  spa_buffer* buffer = &contents_;  // as in a pw_buffer

 private:
  spa_meta_region regions_[16]{};
  spa_meta meta_{};
  spa_buffer contents_{};
};

// "whole", or the changed parts as "x,y wxh" in the order counted.
std::string said(const BufferDamage& damage) {
  const auto rects = damage.rects();
  if (!rects) {
    return "whole";
  }
  std::ostringstream text;
  for (const DamageRect& r : *rects) {
    text << (&r == rects->data() ? "" : " ") << r.x << "," << r.y << " " << r.width << "x"
         << r.height;
  }
  return text.str();
}

using Damage = std::optional<std::vector<DamageRect>>;
const DamageRect kRow1{0, 1, 4, 1}, kRow2{0, 2, 4, 1}, kEnd{};

// The buffers waiting when the stream's thread comes round: the newest is
// used, the others go back, and the picture's changes are all of theirs.
TEST(BufferDamage, ThePictureUsedCarriesTheChangesOfEveryBufferSkipped) {
  struct Row {
    const char* name;
    std::vector<Damage> waiting;  // oldest first
    std::string expected;
  };
  const Row rows[] = {
      {"said", {std::vector{kRow1}}, "0,1 4x1"},
      {"nothing changed", {std::vector<DamageRect>{}}, ""},
      {"not said", {std::nullopt}, "whole"},
      {"the list ends at an invalid region", {std::vector{kRow1, kEnd, kRow2}}, "0,1 4x1"},
      {"a skipped buffer's changes count",
       {std::vector{kRow1}, std::vector{kRow2}},
       "0,1 4x1 0,2 4x1"},
      {"a skipped buffer that did not say", {std::nullopt, std::vector{kRow2}}, "whole"},
      {"more parts than are kept: all of it",
       std::vector<Damage>(5, std::vector<DamageRect>(16, kRow1)), "whole"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::deque<Handed> handed;
    std::deque<Handed*> queue;
    for (const Damage& d : row.waiting) {
      queue.push_back(&handed.emplace_back(d));
    }
    std::vector<Handed*> givenBack;
    // Each row counts afresh after a picture was used whose buffer did not say.
    Handed used(std::nullopt);
    BufferDamage damage;
    damage.add(*used.buffer);
    damage.clear();
    Handed* newest = damage.takeNewest<Handed>(
        [&]() -> Handed* {
          if (queue.empty()) {
            return nullptr;
          }
          Handed* next = queue.front();
          queue.pop_front();
          return next;
        },
        [&](Handed* older) { givenBack.push_back(older); });
    EXPECT_EQ(newest, &handed.back());
    EXPECT_EQ(givenBack.size(), handed.size() - 1);
    EXPECT_EQ(said(damage), row.expected);
  }
}

}  // namespace
}  // namespace kestrano::wayland
