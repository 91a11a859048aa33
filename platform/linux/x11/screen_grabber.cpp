#include "platform/linux/x11/screen_grabber.h"

#include "platform/linux/capture/capture_errors.h"

namespace kestrano::x11 {
namespace {

// Every plane of the pixel values.
constexpr std::uint32_t kAllPlanes = ~0u;

// What the rest of the pipeline reads: 32 bits per pixel, blue in the lowest
// byte, in little-endian byte order.
bool isBgrx(const XConnection& x) {
  const xcb_setup_t* setup = xcb_get_setup(x.get());
  const xcb_screen_t* s = x.screen();
  if (setup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST ||
      (s->root_depth != 24 && s->root_depth != 32)) {
    return false;
  }
  bool thirtyTwoBits = false;
  for (auto f = xcb_setup_pixmap_formats_iterator(setup); f.rem > 0; xcb_format_next(&f)) {
    if (f.data->depth == s->root_depth) {
      thirtyTwoBits = f.data->bits_per_pixel == 32;
    }
  }
  for (auto d = xcb_screen_allowed_depths_iterator(s); d.rem > 0; xcb_depth_next(&d)) {
    for (auto v = xcb_depth_visuals_iterator(d.data); v.rem > 0; xcb_visualtype_next(&v)) {
      if (v.data->visual_id == s->root_visual) {
        return thirtyTwoBits && v.data->red_mask == 0xff0000 && v.data->green_mask == 0xff00 &&
               v.data->blue_mask == 0xff;
      }
    }
  }
  return false;
}

std::string describe(const Rect& r) {
  return std::to_string(r.width) + "x" + std::to_string(r.height) + "+" + std::to_string(r.x) +
         "+" + std::to_string(r.y);
}

}  // namespace

std::unique_ptr<ScreenGrabber> ScreenGrabber::create(XConnection& x, const Rect& area,
                                                     std::optional<Error>& error) {
  const xcb_screen_t* s = x.screen();
  if (area.width <= 0 || area.height <= 0 || area.x < 0 || area.y < 0 ||
      area.x + area.width > s->width_in_pixels || area.y + area.height > s->height_in_pixels) {
    error = captureError(
        CaptureErrorCode::areaUnavailable,
        "the display rectangle " + describe(area) + " is not on the screen of " + x.displayName());
    return nullptr;
  }
  if (!isBgrx(x)) {
    error = captureError(CaptureErrorCode::unsupportedScreen,
                         "the screen of " + x.displayName() +
                             " does not use 32-bit RGB pixels, which capture needs");
    return nullptr;
  }
  auto bytes = static_cast<std::size_t>(area.width) * static_cast<std::size_t>(area.height) * 4;
  auto shm = ShmSegment::attach(x.get(), bytes);
  if (x.broken()) {
    error = x.lostError();
    return nullptr;
  }
  return std::unique_ptr<ScreenGrabber>(new ScreenGrabber(x, area, std::move(shm)));
}

Error ScreenGrabber::grabError(const xcb_generic_error_t* error) const {
  if (error == nullptr || x_.broken()) {
    return x_.lostError();
  }
  return captureError(CaptureErrorCode::areaUnavailable,
                      "the display rectangle " + describe(area_) +
                          " can no longer be read from the screen of " + x_.displayName() +
                          " (X error " + std::to_string(error->error_code) + ")");
}

std::optional<ScreenGrabber::Image> ScreenGrabber::grab(std::optional<Error>& error) {
  xcb_connection_t* c = x_.get();
  auto x = static_cast<std::int16_t>(area_.x);
  auto y = static_cast<std::int16_t>(area_.y);
  auto w = static_cast<std::uint16_t>(area_.width);
  auto h = static_cast<std::uint16_t>(area_.height);
  xcb_generic_error_t* rawError = nullptr;
  if (shm_) {
    XcbPtr<xcb_shm_get_image_reply_t> reply(
        xcb_shm_get_image_reply(c,
                                xcb_shm_get_image(c, x_.root(), x, y, w, h, kAllPlanes,
                                                  XCB_IMAGE_FORMAT_Z_PIXMAP, shm_->id(), 0),
                                &rawError));
    XcbPtr<xcb_generic_error_t> failure(rawError);
    if (!reply) {
      error = grabError(failure.get());
      return std::nullopt;
    }
    return Image{shm_->data(), static_cast<int>(w) * 4, w, h};
  }
  socketImage_.reset(xcb_get_image_reply(
      c, xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, x_.root(), x, y, w, h, kAllPlanes),
      &rawError));
  XcbPtr<xcb_generic_error_t> failure(rawError);
  if (!socketImage_) {
    error = grabError(failure.get());
    return std::nullopt;
  }
  auto length = static_cast<std::size_t>(xcb_get_image_data_length(socketImage_.get()));
  if (length < static_cast<std::size_t>(w) * h * 4) {
    error = captureError(CaptureErrorCode::unsupportedScreen,
                         "the X server " + x_.displayName() + " sent a short image");
    return std::nullopt;
  }
  return Image{xcb_get_image_data(socketImage_.get()), static_cast<int>(w) * 4, w, h};
}

}  // namespace kestrano::x11
