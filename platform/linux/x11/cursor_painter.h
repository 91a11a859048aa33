#pragma once

#include <xcb/xcb.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "platform/error.h"
#include "platform/linux/x11/x_connection.h"

namespace kestrano::x11 {

// Where the pointer image lands on the captured area, and which image it is.
struct CursorPlacement {
  bool visible = false;   // some of it lies on the area
  std::int64_t left = 0;  // top-left corner relative to the area
  std::int64_t top = 0;
  std::uint32_t serial = 0;  // XFixes' number for the image

  friend bool operator==(const CursorPlacement&, const CursorPlacement&) = default;
};

// The pointer drawn into captured pictures. The server tells through XFixes
// when its image changes, so the image is read again only then; the position
// is asked for on every refresh.
class CursorPainter {
 public:
  // Nothing when the server has no XFixes (pictures then go without pointer).
  static std::unique_ptr<CursorPainter> create(XConnection& x, const Rect& area);

  // Takes a cursor-change event; false when the event is not one.
  bool handleEvent(const xcb_generic_event_t* event);
  // Reads the position, and the image if it changed. An error when the
  // connection broke.
  std::optional<Error> refresh();
  const CursorPlacement& placement() const { return placement_; }
  // The part of the area that paint() covers at the current placement, in
  // the area's coordinates; empty when the pointer is not on it.
  Rect paintedRect() const;

  // Blends the image (premultiplied ARGB) onto BGRX pixels of the area.
  void paint(std::uint8_t* pixels, int stride, int width, int height) const;

 private:
  CursorPainter(XConnection& x, const Rect& area, std::uint8_t firstEvent)
      : x_(x), area_(area), firstEvent_(firstEvent) {}
  bool readImage();

  XConnection& x_;
  const Rect area_;
  const std::uint8_t firstEvent_;
  bool imageStale_ = true;
  std::uint32_t serial_ = 0;
  int width_ = 0;
  int height_ = 0;
  int hotX_ = 0;
  int hotY_ = 0;
  std::vector<std::uint32_t> image_;
  CursorPlacement placement_;
};

}  // namespace kestrano::x11
