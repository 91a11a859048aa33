#include "platform/linux/x11/monitor_list.h"

#include <xcb/randr.h>

namespace kestrano::x11 {
namespace {

// Monitors arrived with RandR 1.5.
constexpr std::uint32_t kMonitorsMajor = 1;
constexpr std::uint32_t kMonitorsMinor = 5;

bool hasMonitors(xcb_connection_t* c) {
  const xcb_query_extension_reply_t* ext = xcb_get_extension_data(c, &xcb_randr_id);
  if (ext == nullptr || ext->present == 0) {
    return false;
  }
  XcbPtr<xcb_randr_query_version_reply_t> version(xcb_randr_query_version_reply(
      c, xcb_randr_query_version(c, kMonitorsMajor, kMonitorsMinor), nullptr));
  return version &&
         (version->major_version > kMonitorsMajor ||
          (version->major_version == kMonitorsMajor && version->minor_version >= kMonitorsMinor));
}

}  // namespace

std::optional<std::vector<Display>> listMonitors(XConnection& x, std::optional<Error>& error) {
  xcb_connection_t* c = x.get();
  std::vector<Display> displays;
  if (!hasMonitors(c)) {
    if (x.broken()) {
      error = x.lostError();
      return std::nullopt;
    }
    const xcb_screen_t* s = x.screen();
    displays.push_back(Display{s->root, 0, 0, s->width_in_pixels, s->height_in_pixels});
    return displays;
  }
  XcbPtr<xcb_randr_get_monitors_reply_t> reply(xcb_randr_get_monitors_reply(
      c, xcb_randr_get_monitors(c, x.root(), /*get_active=*/1), nullptr));
  if (!reply) {
    error = x.lostError();
    return std::nullopt;
  }
  for (auto it = xcb_randr_get_monitors_monitors_iterator(reply.get()); it.rem > 0;
       xcb_randr_monitor_info_next(&it)) {
    const xcb_randr_monitor_info_t* m = it.data;
    // The monitor's name atom is unique on the server and stays with it.
    displays.push_back(Display{m->name, m->x, m->y, m->width, m->height});
  }
  return displays;
}

}  // namespace kestrano::x11
