#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "platform/error.h"
#include "platform/linux/x11/shm_segment.h"
#include "platform/linux/x11/x_connection.h"

namespace kestrano::x11 {

// Reads one rectangle of the root window (every window on it included) as
// 32-bit pixels, B, G, R, X in memory. Through a shared-memory segment when
// the server offers MIT-SHM, else through the socket.
class ScreenGrabber {
 public:
  // A grabbed picture; its pixels stay valid until the next grab. The caller
  // may draw into them.
  struct Image {
    std::uint8_t* data = nullptr;
    int stride = 0;
    int width = 0;
    int height = 0;
  };

  // Nothing, with `error` set, when the screen's pixels are not 32-bit
  // little-endian RGB or the rectangle is empty.
  static std::unique_ptr<ScreenGrabber> create(XConnection& x, const Rect& area,
                                               std::optional<Error>& error);

  std::optional<Image> grab(std::optional<Error>& error);

 private:
  ScreenGrabber(XConnection& x, const Rect& area, std::unique_ptr<ShmSegment> shm)
      : x_(x), area_(area), shm_(std::move(shm)) {}
  Error grabError(const xcb_generic_error_t* error) const;

  XConnection& x_;
  const Rect area_;
  std::unique_ptr<ShmSegment> shm_;
  XcbPtr<xcb_get_image_reply_t> socketImage_;  // the last picture read without SHM
};

}  // namespace kestrano::x11
