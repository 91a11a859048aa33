#pragma once

#include <xcb/damage.h>
#include <xcb/xfixes.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "platform/error.h"
#include "platform/linux/x11/x_connection.h"

namespace kestrano::x11 {

// Tells where something was drawn on a rectangle of the root window, so an
// unchanged screen is neither grabbed nor scaled, and a changed one is
// scaled again only where it changed. The server reports when the damage
// becomes non-empty; only then is the damaged region fetched.
class DamageWatch {
 public:
  // Nothing when the server lacks DAMAGE or XFixes regions; callers then
  // treat every moment as a change.
  static std::unique_ptr<DamageWatch> create(XConnection& x, const Rect& area);
  ~DamageWatch();
  DamageWatch(const DamageWatch&) = delete;
  DamageWatch& operator=(const DamageWatch&) = delete;

  // Takes a damage event; false when the event is not one.
  bool handleEvent(const xcb_generic_event_t* event);
  // The parts of the rectangle drawn on since the last call, clipped to it,
  // in its own coordinates (empty: nothing drawn), and forgets the damage up
  // to now. Call it just before grabbing, so drawing that happens during the
  // grab is reported again next time. Nothing, with `error` set, when the
  // connection broke.
  std::optional<std::vector<Rect>> takeChange(std::optional<Error>& error);

 private:
  DamageWatch(XConnection& x, const Rect& area, xcb_damage_damage_t damage,
              xcb_xfixes_region_t region, std::uint8_t firstEvent)
      : x_(x), area_(area), damage_(damage), region_(region), firstEvent_(firstEvent) {}

  XConnection& x_;
  const Rect area_;
  const xcb_damage_damage_t damage_;
  const xcb_xfixes_region_t region_;  // receives the damage each takeChange removes
  const std::uint8_t firstEvent_;
  bool pending_ = false;
};

}  // namespace kestrano::x11
