#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "platform/error.h"
#include "platform/linux/av/av_resources.h"
#include "platform/video_frame.h"

namespace kestrano {

// Source rows [first, end).
struct RowSpan {
  int first = 0;
  int end = 0;
};

// The byte order of a source's 4-byte pixels; the fourth byte is ignored.
enum class SourcePixels { bgrx, rgbx };

// Scales BGRX (or RGBX) pictures of one size to I420 frames of another in a single
// libswscale pass (scaling and colour conversion together are cheaper than
// two passes).
//
// Most of a desktop stays the same from one picture to the next, so after
// the first picture only the bands of rows the caller says changed are
// scaled again and the rest of the previous frame is reused. A band is scaled with enough
// rows around it that its result is the same as scaling the whole picture.
// This needs the heights in a small whole-number ratio (1080 -> 720 is 3:2);
// other sizes are always scaled whole. Used by one thread.
class FrameScaler {
 public:
  // Nothing, with `error` set, when libswscale refuses the sizes.
  static std::unique_ptr<FrameScaler> create(int sourceWidth, int sourceHeight, int width,
                                             int height, std::optional<Error>& error,
                                             SourcePixels layout = SourcePixels::bgrx);
  ~FrameScaler();
  FrameScaler(const FrameScaler&) = delete;
  FrameScaler& operator=(const FrameScaler&) = delete;

  // `pixels` holds sourceHeight rows of sourceWidth BGRX pixels, all of
  // them possibly changed since the last call. Nothing when no memory can be
  // had for the picture.
  std::optional<VideoFrame> scale(const std::uint8_t* pixels, int stride);
  // The same picture, where only the rows in `changed` differ from the one
  // of the last call (in any order, overlapping or not; rows outside the
  // picture are ignored). The first picture is scaled whole regardless.
  std::optional<VideoFrame> scale(const std::uint8_t* pixels, int stride,
                                  std::span<const RowSpan> changed);

  // Source rows scaled by the last call (for benchmarks and tests).
  int lastScaledRows() const { return lastScaledRows_; }

 private:
  using ContextPtr = av::SwsContextPtr;

  FrameScaler(ContextPtr context, SourcePixels layout, int sourceWidth, int sourceHeight, int width,
              int height);
  void scaleWhole(const std::uint8_t* pixels, int stride);
  // Scales source units [first, end) into the scratch frame and copies the
  // output rows of units [keepFirst, keepEnd) into the kept frame.
  bool scaleBand(const std::uint8_t* pixels, int stride, int first, int end, int keepFirst,
                 int keepEnd);
  SwsContext* bandContext(int units);
  // `changed`: one flag per unit.
  std::optional<VideoFrame> scaleUnits(const std::uint8_t* pixels, int stride,
                                       std::vector<bool> changed);

  ContextPtr whole_;
  const SourcePixels layout_;
  const int sourceWidth_;
  const int sourceHeight_;
  const int width_;
  const int height_;
  // A unit: sourceUnit_ source rows that scale to exactly outputUnit_ output
  // rows (an even number, so chroma rows line up too). 0: no banding.
  int sourceUnit_ = 0;
  int outputUnit_ = 0;
  int units_ = 0;
  int reachUnits_ = 0;  // how far the filter reaches, in units

  std::optional<VideoFrame> kept_;     // the frame made from the last picture
  std::optional<VideoFrame> scratch_;  // band results before their edges are cut off
  std::vector<std::pair<int, ContextPtr>> bandContexts_;  // by band height in units
  int lastScaledRows_ = 0;
};

}  // namespace kestrano
