#include "platform/linux/wayland/latest_picture.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace kestrano::wayland {
namespace {

// A picture PipeWire might hand over: 4x3 pixels in rows padded to 24
// bytes, each byte its row number, with the damage given (none: unsaid).
struct Handed {
  int height = 3;
  SourcePixels layout = SourcePixels::bgrx;
  std::optional<std::vector<DamageRect>> damage;
};

void put(LatestPicture& latest, const Handed& h) {
  std::vector<std::uint8_t> pixels(24 * static_cast<std::size_t>(h.height));
  for (std::size_t i = 0; i < pixels.size(); ++i) {
    pixels[i] = static_cast<std::uint8_t>(i / 24);
  }
  PipeWireFrame f;
  f.pixels = pixels.data();
  f.stride = 24;
  f.width = 4;
  f.height = h.height;
  f.layout = h.layout;
  if (h.damage) {
    f.damage = std::span<const DamageRect>(*h.damage);
  }
  latest.put(f);
}

// "whole", or the changed rows as "first-end ..." in the order kept.
std::string changes(const Picture& p) {
  if (p.whole) {
    return "whole";
  }
  std::ostringstream text;
  for (const RowSpan& r : p.changed) {
    text << (&r == p.changed.data() ? "" : " ") << r.first << "-" << r.end;
  }
  return text.str();
}

// Each taken picture is the last one put (4x3), its rows copied without their
// padding.
TEST(LatestPicture, KeepsTheNewestWithEveryChangeNotYetTaken) {
  std::vector<std::uint8_t> unpadded(4 * 4 * 3);
  for (std::size_t i = 0; i < unpadded.size(); ++i) {
    unpadded[i] = static_cast<std::uint8_t>(i / 16);
  }
  const std::vector<DamageRect> row1{{0, 1, 4, 1}};
  const std::vector<DamageRect> rows0to2{{1, 0, 2, 2}};
  const std::vector<DamageRect> none{};
  struct Row {
    const char* name;
    std::vector<Handed> handed;  // put in turn, none taken in between
    std::string expected;
  };
  const Row rows[] = {
      {"damage unsaid", {{}}, "whole"},
      {"damage said", {{.damage = row1}}, "1-2"},
      {"nothing changed", {{.damage = none}}, ""},
      {"a replaced picture's damage carries over",
       {{.damage = row1}, {.damage = rows0to2}},
       "0-2 1-2"},
      {"after an unsaid one, all of it", {{}, {.damage = row1}}, "whole"},
      {"another height, all of it", {{.height = 2, .damage = row1}, {.damage = row1}}, "whole"},
      {"another byte order, all of it",
       {{.layout = SourcePixels::rgbx, .damage = row1}, {.damage = row1}},
       "whole"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    LatestPicture latest;
    for (const Handed& h : row.handed) {
      put(latest, h);
    }
    std::optional<Picture> p = latest.take();
    ASSERT_TRUE(p);
    EXPECT_EQ(changes(*p), row.expected);
    EXPECT_EQ(p->pixels, unpadded);
    EXPECT_EQ(std::pair(p->width, p->height), std::pair(4, 3));
    EXPECT_FALSE(latest.take()) << "taken twice";
  }
}

}  // namespace
}  // namespace kestrano::wayland
