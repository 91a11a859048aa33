#include "platform/linux/x11/damage_watch.h"

#include <algorithm>

namespace kestrano::x11 {
namespace {

// DAMAGE 1.1 for subtract into a region; XFixes 2 for regions. XFixes is
// asked for 4 as the cursor painter does on the same connection, since the
// server keeps the version the client asked for last.
constexpr std::uint32_t kDamageMajor = 1;
constexpr std::uint32_t kDamageMinor = 1;
constexpr std::uint32_t kRegionsMajor = 2;
constexpr std::uint32_t kXFixesAsked = 4;

bool present(xcb_connection_t* c, xcb_extension_t* id) {
  const xcb_query_extension_reply_t* ext = xcb_get_extension_data(c, id);
  return ext != nullptr && ext->present != 0;
}

// The part of `r` on `area`, relative to the area's corner; empty when none.
Rect clipped(const xcb_rectangle_t& r, const Rect& area) {
  std::int64_t left = std::max<std::int64_t>(r.x, area.x);
  std::int64_t top = std::max<std::int64_t>(r.y, area.y);
  std::int64_t right = std::min<std::int64_t>(r.x + r.width, area.x + area.width);
  std::int64_t bottom = std::min<std::int64_t>(r.y + r.height, area.y + area.height);
  if (left >= right || top >= bottom) {
    return Rect{};
  }
  return Rect{left - area.x, top - area.y, right - left, bottom - top};
}

}  // namespace

std::unique_ptr<DamageWatch> DamageWatch::create(XConnection& x, const Rect& area) {
  xcb_connection_t* c = x.get();
  if (!present(c, &xcb_damage_id) || !present(c, &xcb_xfixes_id)) {
    return nullptr;
  }
  // Both extensions answer nothing else before the client has told its version.
  XcbPtr<xcb_xfixes_query_version_reply_t> fixes(
      xcb_xfixes_query_version_reply(c, xcb_xfixes_query_version(c, kXFixesAsked, 0), nullptr));
  XcbPtr<xcb_damage_query_version_reply_t> damage(xcb_damage_query_version_reply(
      c, xcb_damage_query_version(c, kDamageMajor, kDamageMinor), nullptr));
  if (!fixes || !damage || fixes->major_version < kRegionsMajor ||
      damage->major_version < kDamageMajor ||
      (damage->major_version == kDamageMajor && damage->minor_version < kDamageMinor)) {
    return nullptr;
  }
  xcb_damage_damage_t d = xcb_generate_id(c);
  xcb_damage_create(c, d, x.root(), XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
  xcb_xfixes_region_t region = xcb_generate_id(c);
  xcb_xfixes_create_region(c, region, 0, nullptr);
  const xcb_query_extension_reply_t* ext = xcb_get_extension_data(c, &xcb_damage_id);
  return std::unique_ptr<DamageWatch>(new DamageWatch(x, area, d, region, ext->first_event));
}

DamageWatch::~DamageWatch() {
  xcb_damage_destroy(x_.get(), damage_);
  xcb_xfixes_destroy_region(x_.get(), region_);
  xcb_flush(x_.get());
}

bool DamageWatch::handleEvent(const xcb_generic_event_t* event) {
  if ((event->response_type & 0x7f) != firstEvent_ + XCB_DAMAGE_NOTIFY) {
    return false;
  }
  pending_ = true;
  return true;
}

std::optional<std::vector<Rect>> DamageWatch::takeChange(std::optional<Error>& error) {
  std::vector<Rect> drawn;
  if (!pending_) {
    return drawn;
  }
  pending_ = false;
  xcb_connection_t* c = x_.get();
  xcb_damage_subtract(c, damage_, XCB_NONE, region_);
  XcbPtr<xcb_xfixes_fetch_region_reply_t> reply(
      xcb_xfixes_fetch_region_reply(c, xcb_xfixes_fetch_region(c, region_), nullptr));
  if (!reply) {
    error = x_.lostError();
    return std::nullopt;
  }
  const xcb_rectangle_t* rects = xcb_xfixes_fetch_region_rectangles(reply.get());
  int count = xcb_xfixes_fetch_region_rectangles_length(reply.get());
  for (int i = 0; i < count; ++i) {
    Rect r = clipped(rects[i], area_);
    if (r.width > 0) {
      drawn.push_back(r);
    }
  }
  return drawn;
}

}  // namespace kestrano::x11
