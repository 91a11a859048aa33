#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

namespace kestrano {

// bgra: one plane, 4 bytes per pixel (B, G, R, A in memory).
// i420: planar Y, U, V, chroma at half width and half height (rounded up),
// the layout H.264 encoders take without conversion.
enum class PixelFormat { bgra, i420 };

// One picture that owns its pixels. Rows are padded to 64 bytes so SIMD
// converters can work on them in place.
class VideoFrame {
 public:
  struct Plane {
    std::uint8_t* data = nullptr;
    int stride = 0;  // bytes per row
    int rows = 0;
  };

  // Nothing when the size is not positive or too large, or the memory cannot
  // be had: the caller drops the picture rather than the process.
  static std::optional<VideoFrame> create(int width, int height, PixelFormat format);
  VideoFrame(VideoFrame&&) noexcept = default;
  VideoFrame& operator=(VideoFrame&&) noexcept = default;

  int width() const { return width_; }
  int height() const { return height_; }
  PixelFormat pixelFormat() const { return format_; }
  int planeCount() const { return format_ == PixelFormat::bgra ? 1 : 3; }
  const Plane& plane(int index) const { return planes_.at(static_cast<std::size_t>(index)); }

 private:
  struct AlignedDelete {
    void operator()(std::uint8_t* p) const;
  };

  VideoFrame(int width, int height, PixelFormat format);

  int width_;
  int height_;
  PixelFormat format_;
  std::unique_ptr<std::uint8_t[], AlignedDelete> storage_;
  std::array<Plane, 3> planes_{};
};

}  // namespace kestrano
