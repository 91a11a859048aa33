#include "platform/linux/x11/cursor_painter.h"

#include <xcb/xfixes.h>

#include <algorithm>

namespace kestrano::x11 {
namespace {

// Cursor images (XFixes 4) came after the version we need for regions.
constexpr std::uint32_t kXFixesMajor = 4;
constexpr std::uint32_t kXFixesMinor = 0;

}  // namespace

std::unique_ptr<CursorPainter> CursorPainter::create(XConnection& x, const Rect& area) {
  xcb_connection_t* c = x.get();
  const xcb_query_extension_reply_t* ext = xcb_get_extension_data(c, &xcb_xfixes_id);
  if (ext == nullptr || ext->present == 0) {
    return nullptr;
  }
  // XFixes answers nothing else before the client has told its version.
  XcbPtr<xcb_xfixes_query_version_reply_t> version(xcb_xfixes_query_version_reply(
      c, xcb_xfixes_query_version(c, kXFixesMajor, kXFixesMinor), nullptr));
  if (!version || version->major_version < kXFixesMajor) {
    return nullptr;
  }
  xcb_xfixes_select_cursor_input(c, x.root(), XCB_XFIXES_CURSOR_NOTIFY_MASK_DISPLAY_CURSOR);
  return std::unique_ptr<CursorPainter>(new CursorPainter(x, area, ext->first_event));
}

bool CursorPainter::handleEvent(const xcb_generic_event_t* event) {
  if ((event->response_type & 0x7f) != firstEvent_ + XCB_XFIXES_CURSOR_NOTIFY) {
    return false;
  }
  auto* notify = reinterpret_cast<const xcb_xfixes_cursor_notify_event_t*>(event);
  if (notify->cursor_serial != serial_) {
    imageStale_ = true;
  }
  return true;
}

bool CursorPainter::readImage() {
  xcb_connection_t* c = x_.get();
  XcbPtr<xcb_xfixes_get_cursor_image_reply_t> reply(
      xcb_xfixes_get_cursor_image_reply(c, xcb_xfixes_get_cursor_image(c), nullptr));
  if (!reply) {
    return false;
  }
  const std::uint32_t* pixels = xcb_xfixes_get_cursor_image_cursor_image(reply.get());
  int count = xcb_xfixes_get_cursor_image_cursor_image_length(reply.get());
  width_ = reply->width;
  height_ = reply->height;
  if (count < width_ * height_) {
    width_ = height_ = 0;  // a malformed reply: draw nothing rather than read past it
  }
  hotX_ = reply->xhot;
  hotY_ = reply->yhot;
  serial_ = reply->cursor_serial;
  image_.assign(pixels, pixels + static_cast<std::size_t>(width_) * height_);
  imageStale_ = false;
  return true;
}

std::optional<Error> CursorPainter::refresh() {
  if (imageStale_ && !readImage()) {
    return x_.lostError();
  }
  xcb_connection_t* c = x_.get();
  XcbPtr<xcb_query_pointer_reply_t> pointer(
      xcb_query_pointer_reply(c, xcb_query_pointer(c, x_.root()), nullptr));
  if (!pointer) {
    return x_.lostError();
  }
  CursorPlacement p;
  p.serial = serial_;
  if (pointer->same_screen != 0) {
    p.left = pointer->root_x - hotX_ - area_.x;
    p.top = pointer->root_y - hotY_ - area_.y;
    p.visible = width_ > 0 && height_ > 0 && p.left < area_.width && p.top < area_.height &&
                p.left + width_ > 0 && p.top + height_ > 0;
  }
  if (!p.visible) {
    p.left = p.top = 0;  // an off-area pointer moving about changes nothing seen
  }
  placement_ = p;
  return std::nullopt;
}

Rect CursorPainter::paintedRect() const {
  if (!placement_.visible) {
    return Rect{};
  }
  std::int64_t left = std::max<std::int64_t>(0, placement_.left);
  std::int64_t top = std::max<std::int64_t>(0, placement_.top);
  std::int64_t right = std::min<std::int64_t>(area_.width, placement_.left + width_);
  std::int64_t bottom = std::min<std::int64_t>(area_.height, placement_.top + height_);
  return Rect{left, top, right - left, bottom - top};
}

void CursorPainter::paint(std::uint8_t* pixels, int stride, int width, int height) const {
  if (!placement_.visible) {
    return;
  }
  auto left = static_cast<int>(placement_.left);
  auto top = static_cast<int>(placement_.top);
  int x0 = std::max(0, -left);
  int y0 = std::max(0, -top);
  int x1 = std::min(width_, width - left);
  int y1 = std::min(height_, height - top);
  for (int cy = y0; cy < y1; ++cy) {
    std::uint8_t* row = pixels + static_cast<std::ptrdiff_t>(top + cy) * stride;
    for (int cx = x0; cx < x1; ++cx) {
      std::uint32_t argb = image_[static_cast<std::size_t>(cy) * width_ + cx];
      std::uint32_t alpha = argb >> 24;
      if (alpha == 0) {
        continue;
      }
      std::uint8_t* px = row + static_cast<std::ptrdiff_t>(left + cx) * 4;
      std::uint32_t keep = 255 - alpha;
      // Premultiplied: source + destination * (1 - alpha), per channel.
      for (int ch = 0; ch < 3; ++ch) {
        std::uint32_t src = (argb >> (8 * ch)) & 0xff;
        px[ch] = static_cast<std::uint8_t>(
            std::min<std::uint32_t>(255, src + (px[ch] * keep + 127) / 255));
      }
    }
  }
}

}  // namespace kestrano::x11
