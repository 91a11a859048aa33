#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "platform/error.h"
#include "platform/video_frame.h"

struct SwsContext;

namespace kestrano::x11 {

// Scales BGRX pictures of one size to I420 frames of another in a single
// libswscale pass (scaling and colour conversion together are cheaper than
// two passes).
class FrameScaler {
 public:
  // Nothing, with `error` set, when libswscale refuses the sizes.
  static std::unique_ptr<FrameScaler> make(int sourceWidth, int sourceHeight, int width, int height,
                                           std::optional<Error>& error);
  ~FrameScaler();
  FrameScaler(const FrameScaler&) = delete;
  FrameScaler& operator=(const FrameScaler&) = delete;

  // `pixels` holds sourceHeight rows of sourceWidth BGRX pixels.
  VideoFrame scale(const std::uint8_t* pixels, int stride) const;

 private:
  FrameScaler(SwsContext* context, int sourceHeight, int width, int height)
      : context_(context), sourceHeight_(sourceHeight), width_(width), height_(height) {}

  SwsContext* context_;
  int sourceHeight_;
  int width_;
  int height_;
};

}  // namespace kestrano::x11
